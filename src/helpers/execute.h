// The library as a program: helper modes ("notify", "monitor") and starting itself. (The uploader
// fork is started by the oom module.)
#pragma once

#include <cstdint>

enum execute_mode : int32_t {
  EXECUTE_MODE_UNKNOWN = 0,
  EXECUTE_MODE_MONITOR = 1,
  EXECUTE_MODE_NOTIFY = 2,
};
// The helper mode named by the list's first word; unknown (after logging why) for anything else.
execute_mode execute_parse_mode(char **arguments, int count);

void execute_pre_entry_point();
// Returns the helper's exit status: 0 when its work succeeded.
int execute_entry_point(char **arguments, int count);
// Starts the agent's own file with the list (mode word first, null-terminated) as its arguments.
// On failure *reason is set and false returned; on success *reason is "".
bool execute_self(char *const arguments[], const char **reason, int32_t *pid);

// The program entry of a helper process: signal handling, then dispatch on the mode word.
int execute_os_main(int argc, char **argv);
