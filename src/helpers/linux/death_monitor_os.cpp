// The exit monitor's platform part on Linux. The monitor is a child of the JVM it watches: the
// JVM has ended when the monitor's parent is no longer the JVM. A process descriptor of the
// parent wakes the monitor the moment that happens; where the kernel has none, the parent is
// polled every 100 ms.
#include "helpers/death_monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/log.h"
#include "base/string_util.h"

namespace {

// True when the descriptor reported the parent's end; false when it could not be used.
bool death_monitor_wait_on_descriptor(int32_t pid) {
#ifdef SYS_pidfd_open
  int descriptor = (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
  if (descriptor < 0) return false;
  bool ended = false;
  // The descriptor names the parent only if the parent was still ours after it was opened;
  // otherwise the number may already belong to another process.
  if (getppid() != pid) {
    ended = true;
  } else {
    for (;;) {
      pollfd fd{descriptor, POLLIN, 0};
      int result = poll(&fd, 1, -1);
      if (result > 0) {
        ended = true;
        break;
      }
      if (result < 0 && errno != EINTR) break;
    }
  }
  close(descriptor);
  return ended;
#else
  return false;
#endif
}

}  // namespace

void death_monitor_os_initialise(JNIEnv *, int32_t) {}

bool death_monitor_wait_for_parent(int32_t pid, int32_t *kind, int32_t *code) {
  if (getppid() == pid && !death_monitor_wait_on_descriptor(pid)) {
    while (getppid() == pid) usleep(100000);
  }
  *kind = DEATH_MONITOR_EXITED_UNKNOWN_CODE;
  *code = 0;
  return true;
}

void death_monitor_get_temp_dir(char *buffer, size_t size) {
  const char *directory = getenv("TMPDIR");
  if (directory != nullptr && directory[0] != '\0') {
    size_t length = strlen(directory);
    const char *separator = directory[length - 1] == '/' ? "" : "/";
    int written = xsnprintf(buffer, size, "%s%s", directory, separator);
    if (written >= 0 && (size_t)written < size) return;
  }
  safe_strncpy(buffer, "/tmp/", size);
}

const char *death_monitor_platform_name() { return "linux"; }

void death_monitor_os_release_console() {
  int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_device < 0) return;
  dup2(null_device, STDIN_FILENO);
  dup2(null_device, STDOUT_FILENO);
  // Standard error stays for errors that reach no log file.
  if (log_file_active()) dup2(null_device, STDERR_FILENO);
  close(null_device);
}
