// Test-kit natives of vorkel.test.TransactionProbe: the contention probe's internals (its floor,
// a thread's records, a pause inside blocker detection), operation timings and the process's native heap use.
#include <jni.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>

#include "base/common.h"
#include "transactions/contention_internal.h"
#include "core/hires_time.h"
#include "platform/fast_clock.h"
#include "core/log.h"
#include "core/thread_info.h"
#include "transactions/timing_tracker.h"
#include "transactions/thread_locals.h"
#include "transactions/user_transaction.h"
#include "transactions/virtual_locals.h"

namespace {
// Per hook stage: how long blocker detection sleeps there (0: not at all), and how often it did.
std::atomic<int64_t> pause_ms[2];
std::atomic<int32_t> paused[2];

void pause_examination(contention_hook_stage stage) {
  int64_t pause = pause_ms[stage].load();
  if (pause <= 0) return;
  paused[stage].fetch_add(1);
  usleep((useconds_t)(pause * 1000));
}

jint set_pause(contention_hook_stage stage, jlong ms) {
  pause_ms[stage] = ms;
  bool any = pause_ms[0].load() > 0 || pause_ms[1].load() > 0;
  contention_set_examination_hook_for_tests(any ? pause_examination : nullptr);
  return paused[stage].load();
}

contention_locals *own_locals() {
  thread_locals *record = thread_peek_locals();
  return record != nullptr ? &record->transaction_state.contention : nullptr;
}
}  // namespace

// Sets the floor below which no wait is recorded; returns the previous one (milliseconds).
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TransactionProbe_setMinimumWaitMillis(JNIEnv *, jclass, jlong ms) {
  int64_t previous = hires_duration_to_ms(contention.minimum_wait);
  contention.minimum_wait = ms_to_hires_duration(ms);
  return previous;
}

// The calling thread's long-wait count and root-cause flag, as count * 10 + flag; -1 without a record.
VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_ownWaitState(JNIEnv *, jclass) {
  contention_locals *locals = own_locals();
  return locals != nullptr ? (jint)(locals->long_wait_count * 10 + locals->root_cause_found) : -1;
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_TransactionProbe_clearRootCause(JNIEnv *, jclass) {
  if (contention_locals *locals = own_locals()) locals->root_cause_found = 0;
}

// From now on every blocker detection sleeps this long between examining and merging (0: never);
// returns how many detections paused there so far.
VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_pauseExaminations(JNIEnv *, jclass, jlong ms) {
  return set_pause(CONTENTION_HOOK_BEFORE_MERGE, ms);
}

// The same right after an owner was first found, before its stack is taken.
VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_pauseAfterOwnerFound(JNIEnv *, jclass, jlong ms) {
  return set_pause(CONTENTION_HOOK_OWNER_FOUND, ms);
}

namespace {
void log_inside_entered(JNIEnv *jni) { log_info(jni, "probe: logged inside MonitorContendedEntered"); }
}  // namespace

VORKEL_EXPORT void JNICALL Java_vorkel_test_TransactionProbe_logInsideMonitorEntered(JNIEnv *, jclass, jboolean on) {
  contention_set_entered_hook_for_tests(on ? log_inside_entered : nullptr);
}

// Counts one operation of kind lasting millis in the calling thread's transaction, as the file
// stream hooks do.
VORKEL_EXPORT void JNICALL Java_vorkel_test_TransactionProbe_registerOperation(JNIEnv *, jclass, jint kind,
                                                                               jlong millis) {
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction != nullptr) {
    timing_tracker_register_operation(
        transaction->operation_timings, kind,
        fast_clock_from_counter_duration(ms_to_hires_duration(millis), fast_clock_rate()));
  }
}

// Bytes of the C heap in use (the JVM's and the agent's).
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TransactionProbe_nativeHeapInUse(JNIEnv *, jclass) {
  struct mallinfo2 info = mallinfo2();
  return (jlong)(info.uordblks + info.hblkhd);
}

// Waits in progress in the process-wide list.
VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_activeWaits(JNIEnv *, jclass) {
  agent_mutex_guard guard(contention.lock);
  return (jint)contention.active_count;
}

VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_virtualRecords(JNIEnv *, jclass) {
  return (jint)virtual_locals_count();
}

VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_spareRecords(JNIEnv *, jclass) {
  return (jint)virtual_locals_spare_count();
}

VORKEL_EXPORT jint JNICALL Java_vorkel_test_TransactionProbe_transactionsInside(JNIEnv *, jclass) {
  return (jint)thread_transactions.inside.load();
}

// Nanoseconds per call of thread_current_transaction on the calling thread, over count calls.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TransactionProbe_lookupNanos(JNIEnv *, jclass, jint count) {
  if (count <= 0) return -1;
  volatile uintptr_t sink = 0;
  uint64_t start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) sink = sink + (uintptr_t)thread_current_transaction();
  return (jlong)((perfCounterCurrent() - start) / (uint64_t)count);
}
