// The program entry of the helper modes on Unix-like systems.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "agent_init.h"
#include "execute.h"
#include "proc_info.h"

namespace {

void execute_ignore_signal(int) {}

// A helper inherits every descriptor the JVM had open without close-on-exec (its files, sockets,
// listening ports). It needs none of them beyond the standard three; holding them would keep
// them alive after the JVM has ended.
void execute_close_inherited_descriptors() {
#if defined(__linux__) && defined(SYS_close_range)
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
#ifdef __linux__
  if (DIR *descriptors = opendir("/proc/self/fd")) {
    int own = dirfd(descriptors);
    while (dirent *entry = readdir(descriptors)) {
      char *end = nullptr;
      long descriptor = strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0' && descriptor > 2 && descriptor != own) close((int)descriptor);
    }
    closedir(descriptors);
    return;
  }
#endif
  rlimit limit{};
  long highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? (long)limit.rlim_cur : 65536;
  if (highest > 65536) highest = 65536;
  for (long descriptor = 3; descriptor < highest; ++descriptor) close((int)descriptor);
}

}  // namespace

int execute_os_main(int argc, char **argv) {
  execute_close_inherited_descriptors();
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

bool execute_self(char *const arguments[], const char **reason, int32_t *pid) {
  *reason = "";
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->self_executable[0] == '\0') {
    *reason = "agent not configured";
    return false;
  }
  if (!create_process(globals->self_executable, arguments, pid)) {
    *reason = "create_process failed";
    return false;
  }
  return true;
}
