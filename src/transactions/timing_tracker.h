// Operation timings of user transactions: per thread, count, total and longest duration of each
// kind of file operation, flushed into one TimingOperationSummary per fetch. Durations are ticks of
// the fast counter (platform/fast_clock.h).
#pragma once

#include <jni.h>

#include <cstdint>

#include "transactions/timing_counters.h"

// Looks up the summary class once, at a thread's first join (user_transaction.cpp says why then).
void timing_tracker_find_classes(JNIEnv *jni);
// Counts one operation of kind that took duration ticks in a transaction's counters; nothing for
// an unknown kind.
inline void timing_tracker_register_operation(timing_operation_counter *counters, int32_t kind, int64_t duration) {
  if (counters == nullptr || kind < 0 || kind >= TIMING_OPERATION_KINDS) return;
  timing_operation_counter &counter = counters[kind];
  counter.count += 1;
  counter.total += duration;
  if (duration > counter.max) counter.max = duration;
}
// A local reference to a TimingOperationSummary of the twelve counters (count, total ns, max ns per
// kind), which are then zeroed; null (counters untouched) when nothing was counted, the class was
// not found or on failure.
jobject timing_tracker_flush_transaction(JNIEnv *jni, timing_operation_counter *counters);
