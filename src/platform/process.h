// Child process tracking (reaping started children) and the executable check, for Unix-like systems.
#pragma once

#include <cstdint>

// Slots of the table; children beyond it are tracked in an overflow list.
constexpr int PROC_MAX_TRACKED_CHILDREN = 128;

bool proc_setup_child_tracking();
bool proc_register_child(int32_t pid);
bool proc_check_executable_permission(const char *path);

// One pass of the reaper (what the reaper thread does every five seconds), for callers that
// cannot wait for the thread.
void proc_reap_children();
// Tracked children and the slot of a pid (PROC_MAX_TRACKED_CHILDREN and up in the overflow list,
// -1 when untracked), for diagnostics and tests.
int proc_tracked_child_count();
int proc_tracked_child_slot(int32_t pid);
