#include "snapshot/oom_notify.h"

#include <cstring>

#include "core/agent_state.h"
#include "helpers/execute.h"
#include "helpers/http_query.h"
#include "core/log.h"
#include "snapshot/oom_writer.h"
#include "platform/sockets.h"
#include "base/string_util.h"

namespace {

// The notification part of the OOM configuration (set by oom_configure).
struct {
  int32_t notifications_enabled;
  char notification_host[256];
  int32_t notification_port;
} oom_notify;

}  // namespace

void oom_notify_configure(const char *host, int port, bool enabled) {
  xsnprintf(oom_notify.notification_host, sizeof oom_notify.notification_host, "%s", host);
  oom_notify.notification_port = port;
  oom_notify.notifications_enabled = enabled ? 1 : 0;
}

void oom_send_status_notification(snapshot_record *snapshot, const char *level, const char *message) {
  if (strcmp(level, "error") == 0 || strcmp(level, "fatal") == 0) {
    log_error_raw(nullptr, "Sending snapshot processing error (level %s): %s", level, message);
  } else {
    log_debug(nullptr, "Sending processing message %s: %s", level, message);
  }
  if (!oom_notify.notifications_enabled) return;
  agent_globals_record *globals = agent_globals;
  char port[16], start_time[32];
  xsnprintf(port, sizeof port, "%d", (int)oom_notify.notification_port);
  xsnprintf(start_time, sizeof start_time, "%lld", (long long)snapshot->start_time);
  char *const arguments[] = {const_cast<char *>("notify"),
                             oom_notify.notification_host,
                             port,
                             const_cast<char *>(SNAPSHOT_DUMP_VERSION),
                             globals->account_id,
                             globals->jvm_id,
                             globals->session_id,
                             snapshot->description,
                             start_time,
                             const_cast<char *>(level),
                             const_cast<char *>(message),
                             nullptr};
  const char *reason = "";
  if (!execute_self(arguments, &reason, nullptr)) {
    log_error_raw(nullptr, "Starting notification sender process failed: %s", reason);
  }
}

bool oom_notify_parse_arguments(char **arguments, int count, oom_notify_request *request) {
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
  if (!http_valid_host_name(arguments[1])) {
    log_error_raw(nullptr, "Invalid collector host for OOM notify \"%s\".", arguments[1]);
    return false;
  }
  if (!http_parse_port(arguments[2], &request->host.port)) {
    log_error_raw(nullptr, "Invalid collector port for OOM notify \"%s\".", arguments[2]);
    return false;
  }
  safe_strncpy(request->host.host, arguments[1], sizeof request->host.host);
  static const char *const names[] = {"version",     "accountId", "jvmId",  "sessionId",
                                      "description", "timestamp", "status", "message"};
  for (int i = 0; i < OOM_NOTIFY_ARGUMENT_COUNT - 3; ++i) request->fields[i] = {names[i], arguments[i + 3]};
  request->fields[OOM_NOTIFY_ARGUMENT_COUNT - 3] = {nullptr, nullptr};
  return true;
}

bool oom_notify_entry_point(char **arguments, int count) {
  oom_notify_request request;
  if (!oom_notify_parse_arguments(arguments, count, &request)) return false;
  sockets_initialize(nullptr);
  log_info(nullptr, "Sending OOM status notification %s: %s.", arguments[9], arguments[10]);
  if (!http_execute_post(&request.host, "/oom/notification", request.fields, nullptr, OOM_NOTIFY_TIMEOUT_MS)) {
    log_error_raw(nullptr, "Could not send OOM status notification.");
    return false;
  }
  return true;
}
