// The library as a program: the helper modes ("notify", "monitor") and their dispatch, and the
// uploader fork's start for the Java half. Starting a helper is helpers/execute.h.
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

// The program entry of a helper process: signal handling, then dispatch on the mode word.
int execute_os_main(int argc, char **argv);
