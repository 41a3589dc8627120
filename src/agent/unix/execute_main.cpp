// The program entry of the helper modes on Unix-like systems.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include "agent/execute_modes.h"
#include "platform/unix/unix_os.h"

namespace {

void execute_os_on_signal(int) {}

// A helper inherits every descriptor the JVM had open without close-on-exec (its files, sockets,
// listening ports). It needs none of them beyond the standard three; holding them would keep
// them alive after the JVM has ended.
void execute_close_inherited_descriptors() {
  if (unix_os_close_descriptors_above_standard()) return;
  rlimit limit{};
  long highest =
      getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? (long)limit.rlim_cur : 65536;
  if (highest > 65536) highest = 65536;
  for (long descriptor = 3; descriptor < highest; ++descriptor) close((int)descriptor);
}

}  // namespace

int execute_os_main(int argc, char **argv) {
  execute_close_inherited_descriptors();
  // Hang-up and interrupt must not end a helper before it has reported.
  struct sigaction action {};
  action.sa_handler = execute_os_on_signal;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  execute_pre_entry_point();
  return execute_entry_point(argv, argc);
}
