// The snapshot's memory guard: enough physical memory must be left for the bookkeeping that the
// objects seen so far imply, checked before the snapshot and every 131072 heap-walk visits.
#pragma once

#include <cstdint>

constexpr uint64_t MEMORY_TRACKER_CHECK_INTERVAL = 0x20000;
constexpr uint64_t MEMORY_TRACKER_MINIMUM_AVAILABLE = 52428800;  // 50 MiB
constexpr uint64_t MEMORY_TRACKER_INITIAL_RESERVE = 0x500018;
constexpr uint64_t MEMORY_TRACKER_PERIODIC_RESERVE = 0x400000;

struct memory_tracker {
  uint64_t check_interval;
  uint64_t visits;
  uint64_t visits_since_check;
  uint64_t tagged;
  uint64_t physical_memory;  // all ones when unknown
  uint64_t minimum_available;
  uint8_t failed;
};

// Where the tracker reads memory figures; the system's by default.
struct memory_source {
  uint64_t (*maximum)();
  uint64_t (*available)();
  bool (*test_allocation)(uint64_t size);
};
void snapshot_memory_tracker_set_source(const memory_source *source);  // null restores the system's

void snapshot_memory_tracker_initialise(memory_tracker *tracker);
bool snapshot_memory_tracker_initial_check(memory_tracker *tracker);
// The periodic check itself (the 131072nd visit since the last one).
bool snapshot_memory_tracker_periodic_check(memory_tracker *tracker);
// Once per heap-walk callback: false once the tracker has failed. Inline, as it runs per reference.
inline bool snapshot_memory_tracker_visit(memory_tracker *tracker) {
  ++tracker->visits;
  if (++tracker->visits_since_check == tracker->check_interval && !tracker->failed) {
    return snapshot_memory_tracker_periodic_check(tracker);
  }
  return !tracker->failed;
}
void snapshot_memory_tracker_tagged(memory_tracker *tracker, uint64_t count);
// Memory the bookkeeping of tagged + 131072 objects needs, with the given reserve.
uint64_t snapshot_memory_tracker_need(uint64_t tagged, uint64_t reserve);
