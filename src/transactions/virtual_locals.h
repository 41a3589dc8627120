// The records of virtual threads inside transactions (JDK 21 and later).
//
// A virtual thread runs its natives and raises its JVMTI events on a carrier thread, whose
// platform slot every virtual thread mounted there shares, and from JDK 24 a virtual thread that
// blocks on a monitor can resume on another carrier. So its record is filed under the virtual
// thread's id (java.lang.Thread.tid) in a table of the agent's own: on whichever carrier the
// thread runs, the JVM names the virtual thread as the current thread of its natives and events
// (measured on JDK 25, without the capability can_support_virtual_threads). The JVMTI
// thread-local storage would do as well, but storing into it makes the JVM build a JVMTI state
// for each virtual thread, and tear it down when the thread ends.
//
// A virtual thread has a record only while it is inside a transaction: the join makes it, the
// leave frees it, and a thread that ended without leaving has its record freed by a later join's
// sweep. While no virtual thread is inside a transaction, looking for one costs an atomic load.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "transactions/transaction_state.h"

// Drops what a record's transaction holds (its references, tables and contention locals).
using virtual_locals_release = void (*)(JNIEnv *jni, thread_transaction_state &state);

// What virtual_locals_get found the calling thread to be.
enum class virtual_locals_thread : uint8_t { platform, virtual_thread, unknown };

// Learns how to tell virtual threads; on a JVM without them nothing of this module ever runs.
void virtual_locals_initialise(JNIEnv *jni);
// The calling virtual thread's record, made (or taken from the spares, as its leave released it)
// when it has none; null when the thread is
// a platform thread, cannot be told apart, or memory or the JVM refuse the record (*kind says
// which thread it is). Making a record may first sweep the records of ended threads.
thread_locals *virtual_locals_get(JNIEnv *jni, virtual_locals_release release, virtual_locals_thread *kind);
// The calling thread's record when it is a virtual thread that has one; never makes one.
thread_locals *virtual_locals_peek(JNIEnv *jni);
// Frees the calling virtual thread's record (its transaction released by the caller).
void virtual_locals_free(JNIEnv *jni, thread_locals *record);
// Local references to at most max of the virtual threads that have records, for blocker
// detection; returns how many were stored.
uint32_t virtual_locals_threads(JNIEnv *jni, jthread *threads, uint32_t max);
// How many virtual threads have records now, and how many given-back records are kept.
uint32_t virtual_locals_count();
uint32_t virtual_locals_spare_count();

// The part of thread_current_transaction for virtual threads: null unless some virtual thread is
// inside a transaction, then the calling thread's transaction state when it has one.
thread_transaction_state *virtual_locals_current_transaction();
