// Lock contention probe: contended monitor entries of threads inside user transactions are timed;
// a wait of at least 30 ms and at least the transaction's threshold becomes a long-wait record with
// the lock's class, the waiting thread's name, method and stack, and, when blocker detection found
// it, the thread that held the lock and its stack.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "transactions/contention_locals.h"

void contention_pre_initialise();
void contention_set_supported();
void contention_set_blockers_supported();
// The JVM can list the monitors a thread owns: blocker detection then looks for the owner of a
// monitor that has no platform owner among the virtual threads inside transactions.
void contention_set_virtual_owners_supported();
bool contention_supported();
bool contention_blockers_supported();
void JNICALL contention_active_thread_enter(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object);
void JNICALL contention_active_thread_entered(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object);

// Hooks of user transactions.
void contention_locals_init(contention_locals *locals);
// Ends a wait in progress without recording it and frees every long-wait record.
void contention_locals_free(contention_locals *locals, JNIEnv *jni);
// A local reference to the configured summary object holding the records (newest first) and the
// missed detections; null, with the records kept, while disabled or when there is none.
jobject contention_log_flush_transaction(JNIEnv *jni, contention_locals *locals);

// djb2 over the bytes of text taken as signed 8-bit values, continuing from h (5381 to start).
constexpr uint64_t CONTENTION_HASH_SEED = 5381;
constexpr uint64_t contention_hash_continue(uint64_t h, const char *text) {
  for (; *text != '\0'; ++text) h = h * 33 + (uint64_t)(int64_t)(signed char)*text;
  return h;
}
constexpr uint64_t contention_class_hash(const char *signature) {
  return contention_hash_continue(CONTENTION_HASH_SEED, signature);
}
constexpr uint64_t contention_method_hash(const char *declaring_class, const char *method_name) {
  return contention_hash_continue(contention_hash_continue(CONTENTION_HASH_SEED, declaring_class), method_name);
}
