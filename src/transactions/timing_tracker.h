// Operation timings of user transactions: per thread, count, total and longest duration of each
// kind of file-stream operation, flushed into one TimingOperationSummary per fetch.
#pragma once

#include <jni.h>

#include <cstdint>

struct thread_locals;

// The kinds of timed operations; also the operation codes of the file-stream tracker.
enum timing_operation_kind : int32_t {
  TIMING_FIS_READ_BYTE = 0,    // single-byte read of a java/io/FileInputStream
  TIMING_FIS_READ_BLOCK = 1,   // block read of a java/io/FileInputStream
  TIMING_FOS_WRITE_BYTE = 2,   // single-byte write of a java/io/FileOutputStream
  TIMING_FOS_WRITE_BLOCK = 3,  // block write of a java/io/FileOutputStream
};
constexpr int TIMING_OPERATION_KINDS = 4;

// Durations in clock ticks.
struct timing_operation_counter {
  int64_t count;
  int64_t total;
  int64_t max;
};

bool timing_tracker_initialise(JNIEnv *jni);
// Counts one operation of kind that took duration ticks; nothing for a null record or an unknown kind.
void timing_tracker_register_operation(thread_locals *record, int32_t kind, int64_t duration);
// A local reference to a TimingOperationSummary of the twelve counters (count, total ns, max ns per
// kind), which are then zeroed; null (counters untouched) when nothing was counted or on failure.
jobject timing_tracker_flush_transaction(JNIEnv *jni, thread_locals *record);
