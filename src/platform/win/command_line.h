// Command lines in the form the Windows argument parser reads back, for the Windows build's
// process creation and its rundll32 start. Needs no Windows header: it is built and unit-tested on
// every platform.
#pragma once

#include <cstddef>

struct appendable;

constexpr size_t COMMAND_LINE_SIZE = 2048;
constexpr size_t COMMAND_LINE_RUNDLL_TARGET_SIZE = 1024;
constexpr int COMMAND_LINE_NO_RAW_ARGUMENT = -1;

// Appends argument, quoted when it is empty or holds a space, tab, newline, vertical tab or double
// quote (or a comma, when quote_comma): inside the quotes, n backslashes before a double quote
// become 2n + 1 backslashes and the quote, n backslashes at the end become 2n. False when the
// buffer overflowed.
bool command_line_append_argument(appendable *buffer, const char *argument, bool quote_comma);
// "vorkel", then a space and each entry of the null-terminated list; the entry at raw_index is
// copied as it is unless empty. False (after logging) when it does not fit in size bytes.
bool command_line_build(char *buffer, size_t size, char *const arguments[], int raw_index);
// The rundll32 target: the library path and "agent_win32_entry", each quoted as above with commas
// quoted too, joined by ",". False when it does not fit.
bool command_line_rundll_target(char *buffer, size_t size, const char *library_path);
