// The "notify" helper mode: one snapshot status notification to the collector.
#pragma once

// True when the notification was sent.
bool oom_notify_entry_point(char **arguments, int count);
