#include "transactions/timing_tracker.h"

#include <cstring>

#include "core/agent_util.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "core/reflection.h"
#include "core/thread_info.h"
#include "platform/fast_clock.h"

namespace {

constexpr const char *FLUSH = "timing_tracker_flush_transaction";

// TimingOperationSummary and its constructor "([J)V", found at the first join.
struct {
  reflection_lazy_class summary;
} timing;

void clear_and_log(JNIEnv *jni, const char *message, int line) {
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  log_error_raw(jni, "%s (%s:%d)", message, FLUSH, line);
}

}  // namespace

void timing_tracker_find_classes(JNIEnv *jni) {
  if (reflection_lazy_find(jni, timing.summary, "vorkel/runtime/agent/probes/ut/natives/TimingOperationSummary",
                           "<init>", "([J)V") == nullptr &&
      !timing.summary.reported.exchange(true)) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to find timing class/method.", "timing_tracker_find_classes", __LINE__);
  }
}

jobject timing_tracker_flush_transaction(JNIEnv *jni, timing_operation_counter *counters) {
  if (counters == nullptr) return nullptr;
  bool counted = false;
  for (int kind = 0; kind < TIMING_OPERATION_KINDS; ++kind) counted = counted || counters[kind].count != 0;
  if (!counted) return nullptr;
  jclass summary_class = timing.summary.klass.load(std::memory_order_acquire);
  if (summary_class == nullptr) return nullptr;

  // Most kinds are untouched in a transaction: only the counted ones are converted.
  jlong values[3 * TIMING_OPERATION_KINDS] = {};
  const double rate = fast_clock_rate();
  for (int kind = 0; kind < TIMING_OPERATION_KINDS; ++kind) {
    if (counters[kind].count == 0) continue;
    values[3 * kind] = counters[kind].count;
    values[3 * kind + 1] = hires_duration_to_ns(fast_clock_to_counter_duration(counters[kind].total, rate));
    values[3 * kind + 2] = hires_duration_to_ns(fast_clock_to_counter_duration(counters[kind].max, rate));
  }
  memset(counters, 0, sizeof(timing_operation_counter) * TIMING_OPERATION_KINDS);
  jlongArray array = jni->NewLongArray(3 * TIMING_OPERATION_KINDS);
  if (array == nullptr) {
    clear_and_log(jni, "Could not create long array for transaction operation info.", __LINE__);
    return nullptr;
  }
  jni->SetLongArrayRegion(array, 0, 3 * TIMING_OPERATION_KINDS, values);
  if (jni->ExceptionCheck()) {
    clear_and_log(jni, "Failed to fill timing array elements.", __LINE__);
    jni->DeleteLocalRef(array);
    return nullptr;
  }
  jobject summary = jni->NewObject(summary_class, timing.summary.method.load(std::memory_order_relaxed), array);
  jni->DeleteLocalRef(array);
  if (summary == nullptr) {
    clear_and_log(jni, "Failed to create timing summary object.", __LINE__);
    return nullptr;
  }
  return summary;
}
