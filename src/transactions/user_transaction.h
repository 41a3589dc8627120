// User transactions: the per-thread transaction state at the head of every thread-local record,
// the record hooks, and the natives through which the Java half joins a thread to a transaction,
// fetches its four native summaries and leaves it.
//
// Virtual threads are not followed: their natives run on a carrier's thread-local record, which
// would mix the work of every virtual thread mounted on that carrier. A join on a virtual thread
// is refused (logged once per process), so probes never see a carrier inside a transaction.
#pragma once

#include <jni.h>

#include <cstdint>

#include "transactions/contention_monitor.h"
#include "transactions/file_streams.h"
#include "transactions/timing_tracker.h"

struct thread_locals;

// Everything in it is cleared when the thread joins a transaction.
struct thread_transaction_state {
  jobject transaction;            // JNI global reference; null outside a transaction
  int64_t contributor_threshold;  // clock ticks: shortest monitor wait this transaction records
  file_streams_locals file_streams;
  timing_operation_counter operation_timings[TIMING_OPERATION_KINDS];
  contention_locals contention;
};

bool user_transaction_initialise(JNIEnv *jni);
void user_transaction_locals_constructor(thread_locals *record);
void user_transaction_locals_destructor(JNIEnv *jni, thread_locals *record);
// The calling thread's record while it is inside a transaction; null otherwise (no record is made).
thread_locals *user_transaction_get_locals();
// Milliseconds to clock ticks, saturating beyond ten years either way.
int64_t user_transaction_ms_to_ticks(int64_t milliseconds);
// The latest setMinimumMajorContributorThreshold in ticks; -1 when none.
int64_t user_transaction_minimum_major_contributor_threshold();
