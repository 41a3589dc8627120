// The thread-local record of every platform thread that joined a transaction: made on demand,
// ended with the thread (ThreadEnd) and marked so that no record is made for it until it starts
// again. Virtual threads keep theirs in storage of their own (transactions/virtual_locals.h).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "platform/proc_info.h"
#include "transactions/transaction_state.h"

// Slot value of a thread that ended: no record may be made for it until it starts again.
constexpr uintptr_t THREAD_LOCALS_ENDED = 0xDEADC0DE;

// The calling thread's record, made zero-filled when it has none; null after its ThreadEnd or
// when memory is short.
thread_locals *thread_get_locals();
// The calling thread's record when it has one; never makes one.
thread_locals *thread_peek_locals();
thread_local_key thread_locals_get_handle();
// How many threads are inside a transaction now (joined, not yet released).
struct thread_transactions_record {
  std::atomic<uint32_t> inside;
};
extern thread_transactions_record thread_transactions;
void thread_transactions_entered();
void thread_transactions_left();

// The calling thread's transaction state while it is inside a transaction; null otherwise. On a
// virtual thread it is the virtual thread's own, never its carrier's, on whichever carrier it runs.
// The one look-up of every probe: while no thread is inside a transaction it is one load, inlined
// before the probe saves anything (a thread inside counted itself before it ran any code of its
// transaction, so it always sees the count above zero). Otherwise, outside a transaction, it costs
// the platform slot's read and, while some virtual thread is inside one, the look-up of the
// calling thread's id among the virtual threads' records.
thread_transaction_state *thread_find_current_transaction();
// Whether no thread is inside a transaction: then the calling thread is not either.
inline bool thread_transactions_none() { return thread_transactions.inside.load(std::memory_order_relaxed) == 0; }
inline thread_transaction_state *thread_current_transaction() {
  return thread_transactions_none() ? nullptr : thread_find_current_transaction();
}

// ThreadStart: a thread that ended and starts again may have a record again.
void JNICALL thread_start_callback(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread);
// ThreadEnd: takes the calling thread's record out of its slot (the caller releases and frees it;
// null when there was none) and marks the thread as ended.
thread_locals *thread_locals_end();
