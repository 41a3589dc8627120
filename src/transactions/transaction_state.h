// The state of a thread's transaction, with each probe's part of it, in the thread-local record.
#pragma once

#include <jni.h>

#include <cstdint>

#include "transactions/contention_locals.h"
#include "transactions/file_streams_locals.h"
#include "transactions/timing_counters.h"

// Cleared when the thread joins a transaction (the stream table's entries only as they are taken).
struct thread_transaction_state {
  jobject transaction;            // JNI global reference; null outside a transaction
  int64_t contributor_threshold;  // clock ticks: shortest monitor wait this transaction records
  timing_operation_counter operation_timings[TIMING_OPERATION_KINDS];
  contention_locals contention;
  file_streams_locals file_streams;  // last: its tables, most of the size, are used from the front
};

// One zero-filled record per Java thread, made on demand in a thread-local slot.
struct thread_locals {
  thread_transaction_state transaction_state;
};
