#include "transactions/user_transaction.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "core/reflection.h"
#include "transactions/contention_monitor.h"
#include "transactions/file_streams.h"
#include "transactions/thread_locals.h"
#include "transactions/timing_tracker.h"
#include "transactions/virtual_locals.h"

namespace {

constexpr int64_t NO_THRESHOLD = -1;
constexpr int64_t TEN_YEARS_MS = HIRES_GUARANTEED_SECONDS * 1000;

struct {
  agent_mutex owner_lock;   // threshold_owner is swapped by whichever thread sets the threshold
  jobject threshold_owner;  // global reference to the latest setter's receiver
  std::atomic<int64_t> minimum_major_contributor_threshold{NO_THRESHOLD};
  // The summaries' element type and the root-cause marker with its constructor, found at the
  // first join: a JVM that never begins a transaction loads neither.
  reflection_lazy_class summary;
  reflection_lazy_class marker;
  std::atomic<bool> unknown_thread_logged;
} ut;

// Drops what the thread collected for its transaction: the reference, the stream table and the
// contention locals (an active wait is unlinked from the process-wide list).
void release_transaction(JNIEnv *jni, thread_transaction_state &state) {
  if (state.transaction != nullptr) thread_transactions_left();
  reflection_delete_global(jni, state.transaction);
  state.transaction = nullptr;
  file_streams_locals_free(&state.file_streams);
  contention_locals_free(&state.contention, jni);
}

// Clears a released state for a new transaction, all but the stream table's entries and saved
// stacks (most of its size), which are unused while their counts are zero: an entry is cleared
// when it is taken, and the counts are cleared by file_streams_locals_init.
void clear_state(thread_transaction_state &state) {
  state.transaction = nullptr;
  state.contributor_threshold = 0;
  memset(state.operation_timings, 0, sizeof state.operation_timings);
  memset(&state.contention, 0, sizeof state.contention);
  file_streams_locals_init(&state.file_streams);
}

// The record a join uses: a platform thread's slot record, or a virtual thread's own. A thread
// that has a slot record is a platform thread (a carrier never joins, so it never gets one); a
// virtual thread inside a transaction has its record already; otherwise the JVM is asked.
thread_locals *join_record(JNIEnv *jni) {
  if (thread_locals *record = thread_peek_locals()) return record;
  virtual_locals_thread kind;
  thread_locals *record = virtual_locals_get(jni, release_transaction, &kind);
  if (kind == virtual_locals_thread::platform) return thread_get_locals();
  if (kind == virtual_locals_thread::unknown && !ut.unknown_thread_logged.exchange(true)) {
    log_warn(jni, "%s", "Cannot tell whether this thread is virtual: its transaction is not followed (logged once).");
  }
  return record;
}

// The classes of the summaries, looked up by the first join of any thread rather than at the
// agent's start. Looking a class up reads the agent jar through the hooked file natives, so it
// happens before the thread's new transaction begins: it counts in none.
void find_classes(JNIEnv *jni) {
  bool found = reflection_lazy_find(jni, ut.summary, "vorkel/runtime/agent/probes/ut/natives/NativeTransactionSummary",
                                    nullptr, nullptr) != nullptr &&
               reflection_lazy_find(jni, ut.marker, "vorkel/runtime/agent/probes/ut/natives/RootCausePresenceMarker",
                                    "<init>", "()V") != nullptr;
  if (!found && !ut.summary.reported.exchange(true)) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to find user transaction class/method.", "user_transaction_find_classes",
                  __LINE__);
  }
  timing_tracker_find_classes(jni);
  file_streams_find_classes(jni);
}

}  // namespace

int64_t user_transaction_ms_to_ticks(int64_t milliseconds) {
  if (milliseconds > TEN_YEARS_MS) return INT64_MAX;
  if (milliseconds < -TEN_YEARS_MS) return INT64_MIN;
  return ms_to_hires_duration(milliseconds);
}

int64_t user_transaction_minimum_major_contributor_threshold() { return ut.minimum_major_contributor_threshold; }

void user_transaction_initialise(JNIEnv *jni) {
  ut.minimum_major_contributor_threshold = NO_THRESHOLD;
  virtual_locals_initialise(jni);
}

void JNICALL user_transaction_thread_end(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread) {
  thread_locals *record = thread_locals_end();
  if (record == nullptr) return;
  release_transaction(jni, record->transaction_state);
  free(record);
}

VORKEL_EXPORT void JNICALL
Java_vorkel_runtime_agent_probes_ut_natives_UserTransactionNativeImpl_setMinimumMajorContributorThreshold(
    JNIEnv *jni, jobject receiver, jlong threshold) {
  {
    agent_mutex_guard guard(ut.owner_lock);
    reflection_delete_global(jni, ut.threshold_owner);
    ut.threshold_owner = reflection_global(jni, receiver);
  }
  ut.minimum_major_contributor_threshold =
      threshold == -1 || threshold == INT64_MAX ? NO_THRESHOLD : user_transaction_ms_to_ticks(threshold);
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_probes_ut_natives_UserTransactionNativeImpl_joinTransactionNative(
    JNIEnv *jni, jobject receiver, jobject transaction, jlong threshold_ms) {
  if (transaction == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Cannot join a null transaction; the thread's state is unchanged.",
                  "joinTransactionNative", __LINE__);
    throw_vorkel_exception(jni, "joinTransactionNative: the transaction is null");
    return;
  }
  thread_locals *record = join_record(jni);
  if (record == nullptr) return;
  thread_transaction_state &state = record->transaction_state;
  release_transaction(jni, state);
  find_classes(jni);
  clear_state(state);
  contention_locals_init(&state.contention);
  state.contributor_threshold = user_transaction_ms_to_ticks(threshold_ms);
  state.transaction = reflection_global(jni, transaction);
  if (state.transaction != nullptr) thread_transactions_entered();
}

VORKEL_EXPORT jobjectArray JNICALL
Java_vorkel_runtime_agent_probes_ut_natives_UserTransactionNativeImpl_fetchNativeSummaries(JNIEnv *jni,
                                                                                           jobject receiver) {
  thread_transaction_state *state = thread_current_transaction();
  if (state == nullptr) return nullptr;
  jclass summary_class = ut.summary.klass.load(std::memory_order_acquire);
  if (summary_class == nullptr) return nullptr;
  jobjectArray array = jni->NewObjectArray(4, summary_class, nullptr);
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", "Failed to create timing summary array.", "user_transaction_fetch_operations",
                  __LINE__);
    return nullptr;
  }
  bool store_failed = false;
  // A store that fails (a summary that is not a NativeTransactionSummary) leaves that element null.
  auto store = [&](jsize index, jobject summary) {
    if (summary == nullptr) return;
    jni->SetObjectArrayElement(array, index, summary);
    if (jni->ExceptionCheck()) {
      jni->ExceptionClear();
      store_failed = true;
    }
    jni->DeleteLocalRef(summary);
  };
  store(0, timing_tracker_flush_transaction(jni, state->operation_timings));
  store(1, file_streams_flush_transaction(jni, &state->file_streams));
  if (state->contention.root_cause_found) {
    jclass marker_class = ut.marker.klass.load(std::memory_order_acquire);
    jobject marker = marker_class != nullptr
                         ? jni->NewObject(marker_class, ut.marker.method.load(std::memory_order_relaxed))
                         : nullptr;
    if (marker == nullptr || jni->ExceptionCheck()) {
      if (jni->ExceptionCheck()) jni->ExceptionClear();
      log_error_raw(jni, "%s (%s:%d)", "Failed to create root cause presence marker.",
                    "user_transaction_flush_transaction", __LINE__);
      marker = nullptr;
    }
    store(2, marker);
  }
  store(3, contention_log_flush_transaction(jni, &state->contention));
  if (store_failed || jni->ExceptionCheck()) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", "Failed to fill timing summary array.", "user_transaction_fetch_operations",
                  __LINE__);
  }
  return array;
}

// Whether the calling thread's transaction holds long waits not fetched yet: the Java half reports
// a transaction that is not slow only when it has one, and fetches nothing for the others.
VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_probes_ut_natives_UserTransactionNativeImpl_hasLongWaitsNative(
    JNIEnv *jni, jobject receiver) {
  thread_transaction_state *state = thread_current_transaction();
  return state != nullptr && state->contention.long_wait_count > 0 ? JNI_TRUE : JNI_FALSE;
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_probes_ut_natives_UserTransactionNativeImpl_leaveTransactionNative(
    JNIEnv *jni, jobject receiver) {
  // A virtual thread's record goes with its transaction; a platform thread keeps its own.
  if (thread_locals *record = virtual_locals_peek(jni)) {
    release_transaction(jni, record->transaction_state);
    virtual_locals_free(jni, record);
    return;
  }
  thread_locals *record = thread_peek_locals();
  if (record != nullptr) release_transaction(jni, record->transaction_state);
}
