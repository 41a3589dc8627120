// Operation timings of user transactions: per thread, count, total and longest duration of each
// kind of file-stream operation, flushed into one TimingOperationSummary per fetch.
#pragma once

#include <jni.h>

#include <cstdint>

#include "transactions/timing_counters.h"

bool timing_tracker_initialise(JNIEnv *jni);
// Counts one operation of kind that took duration ticks in a transaction's counters; nothing for
// an unknown kind.
void timing_tracker_register_operation(timing_operation_counter *counters, int32_t kind, int64_t duration);
// A local reference to a TimingOperationSummary of the twelve counters (count, total ns, max ns per
// kind), which are then zeroed; null (counters untouched) when nothing was counted or on failure.
jobject timing_tracker_flush_transaction(JNIEnv *jni, timing_operation_counter *counters);
