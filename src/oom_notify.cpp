#include "oom_notify.h"

#include "http_query.h"
#include "log.h"
#include "sockets.h"

bool oom_notify_entry_point(char **arguments, int count) {
  if (count != OOM_NOTIFY_ARGUMENT_COUNT || arguments == nullptr) {
    log_error_raw(nullptr, "Invalid number of arguments to OOM notify, expected %d, got %d.", OOM_NOTIFY_ARGUMENT_COUNT,
                  count);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (arguments[i] == nullptr) {
      log_error_raw(nullptr, "Invalid number of arguments to OOM notify, expected %d, got %d.",
                    OOM_NOTIFY_ARGUMENT_COUNT, i);
      return false;
    }
  }
  sockets_initialize(nullptr);
  http_host host;
  http_init_host(&host, arguments[1], arguments[2]);
  const http_field fields[] = {
      {"version", arguments[3]},     {"accountId", arguments[4]}, {"jvmId", arguments[5]},
      {"sessionId", arguments[6]},   {"description", arguments[7]}, {"timestamp", arguments[8]},
      {"status", arguments[9]},      {"message", arguments[10]},  {nullptr, nullptr},
  };
  log_info(nullptr, "Sending OOM status notification %s: %s.", arguments[9], arguments[10]);
  if (!http_execute_post(&host, "/oom/notification", fields, nullptr, OOM_NOTIFY_TIMEOUT_MS)) {
    log_error_raw(nullptr, "Could not send OOM status notification.");
    return false;
  }
  return true;
}
