// The program entry of the helper modes on Unix-like systems.
#include <signal.h>

#include "execute.h"

namespace {
void execute_ignore_signal(int) {}
}  // namespace

int execute_os_main(int argc, char **argv) {
  // Hang-up and interrupt must not end a helper before it has reported.
  struct sigaction action {};
  action.sa_handler = execute_ignore_signal;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  execute_pre_entry_point();
  return execute_entry_point(argv, argc);
}
