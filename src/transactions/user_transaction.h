// User transactions: the per-thread transaction state at the head of every thread-local record,
// the record hooks, and the natives through which the Java half joins a thread to a transaction,
// fetches its four native summaries and leaves it. A platform thread's state is in its slot record
// (transactions/thread_locals.h), a virtual thread's in a record of its own that lives as long as
// its transaction (transactions/virtual_locals.h).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "transactions/transaction_state.h"

// The thresholds reset and the virtual-thread test chosen; the classes of the summaries are looked
// up at the first fetch.
void user_transaction_initialise(JNIEnv *jni);
// ThreadEnd: what the ending thread collected for a transaction is dropped with its record.
void JNICALL user_transaction_thread_end(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread);
// Milliseconds to clock ticks, saturating beyond ten years either way.
int64_t user_transaction_ms_to_ticks(int64_t milliseconds);
// The latest setMinimumMajorContributorThreshold in ticks; -1 when none.
int64_t user_transaction_minimum_major_contributor_threshold();
