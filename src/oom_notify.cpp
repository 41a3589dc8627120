// Stand-in until the notification sender is built: the helper reports that it cannot send.
#include "oom_notify.h"

#include "log.h"

bool oom_notify_entry_point(char **arguments, int count) {
  log_error_raw(nullptr, "OOM notification sender is not available in this build, %d arguments ignored.", count);
  return false;
}
