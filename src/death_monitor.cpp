// Stand-in until the exit monitor is built: no companion process is started, and the helper
// mode reports that it cannot watch.
#include "death_monitor.h"

#include "log.h"

void death_monitor_initialise(JNIEnv *, const char *) {}
bool death_monitor_entry_point(char **, int count) {
  log_error_raw(nullptr, "Process exit monitor is not available in this build, %d arguments ignored.", count);
  return false;
}
