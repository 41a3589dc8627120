// The "notify" helper mode: one snapshot status notification to the collector.
#pragma once

// The argument list as the snapshot builds it: "notify", host, port, version, account id, JVM id,
// session id, description, timestamp, status, message.
constexpr int OOM_NOTIFY_ARGUMENT_COUNT = 11;
constexpr int OOM_NOTIFY_TIMEOUT_MS = 2000;

// True when the notification was sent; a notification that could not be sent is dropped.
bool oom_notify_entry_point(char **arguments, int count);
