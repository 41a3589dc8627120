// The library as a program: helper modes ("notify", "monitor"), starting itself, and starting the
// uploader fork.
#pragma once

#include <cstddef>
#include <cstdint>

struct appendable;

void execute_pre_entry_point();
// Returns the helper's exit status: 0 when its work succeeded.
int execute_entry_point(char **arguments, int count);
// Starts the agent's own file with the list (mode word first, null-terminated) as its arguments.
// On failure *reason is set and false returned; on success *reason is "".
bool execute_self(char *const arguments[], const char **reason, int32_t *pid);

// Starts the uploader JVM: the configured JVM arguments, "-Xmx256m", "-DvorkelFork=1", "-jar",
// the agent jar, "forked_job", mode ("oom" or "all") and directory, with "VORKEL_HOME" set to
// the agent's home directory. The agent does not wait for it.
bool oom_start_fork(const char *mode, const char *directory);

// The program entry of a helper process: signal handling, then dispatch on the mode word.
int execute_os_main(int argc, char **argv);

// Command lines in the form the Windows argument parser reads back, for the Windows build's
// process creation and its rundll32 start; portable, so that they are tested everywhere.
constexpr size_t EXECUTE_WINDOWS_COMMAND_LINE_SIZE = 2048;
constexpr size_t EXECUTE_WINDOWS_RUNDLL_TARGET_SIZE = 1024;
constexpr int EXECUTE_NO_RAW_ARGUMENT = -1;

// Appends argument, quoted when it is empty or holds a space, tab, newline, vertical tab or double
// quote (or a comma, when quote_comma): inside the quotes, n backslashes before a double quote
// become 2n + 1 backslashes and the quote, n backslashes at the end become 2n. False when the
// buffer overflowed.
bool execute_windows_append_argument(appendable *buffer, const char *argument, bool quote_comma);
// "vorkel", then a space and each entry of the null-terminated list; the entry at raw_index is
// copied as it is unless empty. False (after logging) when it does not fit in size bytes.
bool execute_windows_command_line(char *buffer, size_t size, char *const arguments[], int raw_index);
// The rundll32 target: the library path and "agent_win32_entry", each quoted as above with commas
// quoted too, joined by ",". False when it does not fit.
bool execute_windows_rundll_target(char *buffer, size_t size, const char *library_path);
