// Process creation as the Windows build does it, beside the portable create_process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win/command_line.h"

// Starts the program at path with the command line "vorkel" followed by each entry of the
// null-terminated list (every entry is an argument), quoted by the Windows argument rule; the
// entry at raw_index (COMMAND_LINE_NO_RAW_ARGUMENT for none) is copied as it is unless empty. No
// window, a process group of its own, this process's environment (with the "NAME=value" entries
// of variables in place of same-named ones, when given) and directory; handles are closed at once
// and the child's id stored when asked for.
// The module (DLL or program) of this process whose image holds address: its handle (an HMODULE),
// base and size. False when none of the first 512 modules does.
bool process_find_module(const void *address, void **module, const char **base, size_t *size);

bool create_process_special(const char *path, char *const arguments[], int raw_index, int32_t *pid,
                            const char *const *variables = nullptr);
