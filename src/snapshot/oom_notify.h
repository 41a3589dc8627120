// Snapshot status notifications: the snapshot's side, which starts a "notify" helper process for
// every status, and the helper mode itself, which sends one notification to the collector.
#pragma once

#include "helpers/http_query.h"

struct snapshot_record;

// The argument list as the snapshot builds it: "notify", host, port, version, account id, JVM id,
// session id, description, timestamp, status, message.
constexpr int OOM_NOTIFY_ARGUMENT_COUNT = 11;
constexpr int OOM_NOTIFY_TIMEOUT_MS = 2000;

// Where the notifications go, and whether they are sent at all (the OOM configuration).
void oom_notify_configure(const char *host, int port, bool enabled);
// Logs the status and, when notifications are enabled, starts a "notify" helper without waiting
// for it. Levels: "start", "error", "fatal".
void oom_send_status_notification(snapshot_record *snapshot, const char *level, const char *message);

// A notify argument list as read: the collector and the query fields, whose values point into the list.
struct oom_notify_request {
  http_host host;
  http_field fields[OOM_NOTIFY_ARGUMENT_COUNT - 2];
};
// False (after logging why) when the list is not one the helper can send: a wrong count, a missing
// argument, a host name that cannot go into a request or a port that is no port.
bool oom_notify_parse_arguments(char **arguments, int count, oom_notify_request *request);

// The "notify" helper mode: true when the notification was sent; one that could not be sent is
// dropped.
bool oom_notify_entry_point(char **arguments, int count);
