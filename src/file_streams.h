// File stream tracker: the JDK's file-stream natives, replaced when the JVM binds them.
#pragma once

#include <jni.h>
#include <jvmti.h>

struct thread_locals;

// The tracker's part of a thread's transaction state (per-transaction stream table, saved stack
// traces, next stack-trace time). Stand-in: the tracker keeps no per-transaction data yet, so the
// record is empty and every flush yields null.
struct file_streams_locals {};

bool file_streams_pre_initialise();
bool file_streams_initialise(JNIEnv *jni);
void JNICALL file_streams_object_free(jvmtiEnv *jvmti, jlong tag);
void file_streams_native_method_bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jmethodID method, void *address,
                                     void **new_address);
void file_streams_set_enabled(JNIEnv *jni, bool enabled);

// Per-transaction hooks of user transactions: a fresh table at join, freed at leave, join and thread
// end; the flush returns a local reference to a RecurringStreamOperationSummary, or null when the
// table is empty.
void file_streams_locals_init(file_streams_locals *locals);
void file_streams_locals_free(file_streams_locals *locals);
jobject file_streams_flush_transaction(JNIEnv *jni, thread_locals *record);
