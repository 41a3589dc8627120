#include "snapshot/snapshot_memory_tracker.h"

#include "core/log.h"
#include "platform/system_memory.h"

namespace {

const memory_source system_source{system_memory_get_maximum, system_memory_get_available,
                                  system_memory_test_allocation};

struct {
  const memory_source *source = &system_source;
} tracker_state;

// Passes when, after taking need, the available memory stays above the minimum, and a real
// allocation of need bytes succeeds. Unknown available memory always passes the comparison.
bool memory_test(memory_tracker *tracker, uint64_t available, uint64_t reserve) {
  uint64_t need = snapshot_memory_tracker_need(tracker->tagged, reserve);
  uint64_t floor = need + tracker->minimum_available;
  if (available == SYSTEM_MEMORY_UNKNOWN || available > floor) {
    if (tracker_state.source->test_allocation(need)) return true;
    log_warn(nullptr, "Test allocation of size %llu failed even though %llu is supposed to be available.",
             (unsigned long long)need, (unsigned long long)available);
    return false;
  }
  log_warn(nullptr,
           "Available memory safety check failed - available %llu of %llu, but a decrease by %llu must leave it "
           "above the minimum threshold of %llu",
           (unsigned long long)available, (unsigned long long)tracker->physical_memory, (unsigned long long)need,
           (unsigned long long)tracker->minimum_available);
  return false;
}

}  // namespace

void snapshot_memory_tracker_set_source(const memory_source *source) {
  tracker_state.source = source != nullptr ? source : &system_source;
}

uint64_t snapshot_memory_tracker_need(uint64_t tagged, uint64_t reserve) {
  uint64_t n = tagged + MEMORY_TRACKER_CHECK_INTERVAL;
  uint64_t quarter = n / 4 < 39321600 ? n / 4 : 39321600;
  uint64_t table = quarter > 307261 ? quarter : 307261;
  return 16 * n + 8 * table + reserve;
}

void snapshot_memory_tracker_initialise(memory_tracker *tracker) {
  *tracker = {};
  tracker->check_interval = MEMORY_TRACKER_CHECK_INTERVAL;
  tracker->physical_memory = tracker_state.source->maximum();
  if (tracker->physical_memory == SYSTEM_MEMORY_UNKNOWN) {
    tracker->minimum_available = MEMORY_TRACKER_MINIMUM_AVAILABLE;
  } else {
    uint64_t share = tracker->physical_memory * 2 / 100;
    tracker->minimum_available = share > MEMORY_TRACKER_MINIMUM_AVAILABLE ? share : MEMORY_TRACKER_MINIMUM_AVAILABLE;
  }
}

bool snapshot_memory_tracker_initial_check(memory_tracker *tracker) {
  uint64_t available = tracker_state.source->available();
  log_info(nullptr,
           "Memory state before taking a memory snapshot: %llu total physical memory, %llu available (minimum allowed "
           "%llu).",
           (unsigned long long)tracker->physical_memory, (unsigned long long)available,
           (unsigned long long)tracker->minimum_available);
  if (!memory_test(tracker, available, MEMORY_TRACKER_INITIAL_RESERVE)) {
    tracker->failed = 1;
    log_warn(nullptr, "Memory snapshot not started due to failed memory usage safety check.");
  }
  return !tracker->failed;
}

bool snapshot_memory_tracker_periodic_check(memory_tracker *tracker) {
  tracker->visits_since_check = 0;
  if (!memory_test(tracker, tracker_state.source->available(), MEMORY_TRACKER_PERIODIC_RESERVE)) {
    tracker->failed = 1;
    log_warn(nullptr, "Memory snapshot aborted due to failed memory usage safety check.");
  }
  return !tracker->failed;
}

void snapshot_memory_tracker_tagged(memory_tracker *tracker, uint64_t count) { tracker->tagged += count; }
