#include "statistics/statistics.h"

#include <atomic>

#include "base/common.h"
#include "core/log.h"
#include "core/reflection.h"
#include "statistics/statistics_state.h"

namespace {

constexpr stats_array_layout DEFAULT_LAYOUT{16, 16, 8};

constexpr int64_t align8(int64_t size) { return (size + 7) & ~(int64_t)7; }

// Read on the recording path without a lock; written once by the calibration.
struct {
  std::atomic<int32_t> primitive_array_overhead{16};
  std::atomic<int32_t> object_array_overhead{16};
  std::atomic<int32_t> reference_size{8};
} stats_arrays;

}  // namespace

stats_array_layout stats_layout_from_sizes(const stats_array_sizes &sizes) {
  stats_array_layout layout = DEFAULT_LAYOUT;
  if (sizes.int0 >= 0) layout.primitive_array_overhead = (int32_t)sizes.int0;
  if (sizes.int1 >= 0 && sizes.int1 == layout.primitive_array_overhead) layout.primitive_array_overhead -= 4;
  if (sizes.object0 >= 0) layout.object_array_overhead = (int32_t)sizes.object0;
  if (sizes.object1 >= 0 && sizes.object1 == layout.object_array_overhead) layout.object_array_overhead -= 4;
  if (sizes.object16 >= 0) layout.reference_size = (int32_t)((sizes.object16 - layout.object_array_overhead) / 16);
  return layout;
}

stats_array_layout stats_get_array_layout() {
  return {stats_arrays.primitive_array_overhead.load(std::memory_order_relaxed),
          stats_arrays.object_array_overhead.load(std::memory_order_relaxed),
          stats_arrays.reference_size.load(std::memory_order_relaxed)};
}

void stats_set_array_layout(const stats_array_layout &layout) {
  stats_arrays.primitive_array_overhead.store(layout.primitive_array_overhead, std::memory_order_relaxed);
  stats_arrays.object_array_overhead.store(layout.object_array_overhead, std::memory_order_relaxed);
  stats_arrays.reference_size.store(layout.reference_size, std::memory_order_relaxed);
}

namespace {

// The size the JVM reports for a new array, or -1 after logging which step of the check failed.
int64_t calibration_size(JNIEnv *jni, jvmtiEnv *jvmti, jobject array, const char *check) {
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Calibration: %s check failed (failed to create array). (%s:%d)", check, "stats_array_calibrate",
                  __LINE__);
    return -1;
  }
  jlong size = 0;
  jvmtiError error = jvmti->GetObjectSize(array, &size);
  jni->DeleteLocalRef(array);
  if (error != JVMTI_ERROR_NONE) {
    log_error_raw(jni, "Calibration: %s check failed (failed to get object size). (%s:%d)", check,
                  "stats_array_calibrate", __LINE__);
    return -1;
  }
  return size;
}

}  // namespace

void stats_array_calibrate(JNIEnv *jni, jvmtiEnv *jvmti) {
  static constexpr const char *PRIMITIVE = "primitive array overhead";
  static constexpr const char *OBJECT = "object array overhead";
  static constexpr const char *REFERENCE = "object ref size";

  // The layout in use changes once, to the measured one: a size estimated meanwhile by another
  // thread uses the previous layout, never a default that a second calibration would pass through.
  if (jni == nullptr || jvmti == nullptr) return;
  stats_array_sizes sizes{-1, -1, -1, -1, -1};
  sizes.int0 = calibration_size(jni, jvmti, jni->NewIntArray(0), PRIMITIVE);
  sizes.int1 = calibration_size(jni, jvmti, jni->NewIntArray(1), PRIMITIVE);
  jclass object_class = reflection_find_class(jni, "java/lang/Object");
  if (object_class == nullptr) {
    log_error_raw(jni, "Calibration: %s check failed (failed to find class). (%s:%d)", OBJECT, VORKEL_HERE, __LINE__);
  } else {
    sizes.object0 = calibration_size(jni, jvmti, jni->NewObjectArray(0, object_class, nullptr), OBJECT);
    sizes.object1 = calibration_size(jni, jvmti, jni->NewObjectArray(1, object_class, nullptr), OBJECT);
    sizes.object16 = calibration_size(jni, jvmti, jni->NewObjectArray(16, object_class, nullptr), REFERENCE);
    jni->DeleteLocalRef(object_class);
  }
  stats_array_layout layout = stats_layout_from_sizes(sizes);
  stats_set_array_layout(layout);
  log_debug(jni, "Array layout: primitive array overhead %d, object array overhead %d, reference size %d.",
            (int)layout.primitive_array_overhead, (int)layout.object_array_overhead, (int)layout.reference_size);
}

int64_t stats_array_size(int32_t array_type, int32_t length) {
  if (length < 0) return 0;
  int64_t n = length;
  switch (array_type) {
    case STATS_ARRAY_BOOLEAN:
    case STATS_ARRAY_BYTE:
      return align8(stats_arrays.primitive_array_overhead.load(std::memory_order_relaxed) + n);
    case STATS_ARRAY_CHAR:
    case STATS_ARRAY_SHORT:
      return align8(stats_arrays.primitive_array_overhead.load(std::memory_order_relaxed) + 2 * n);
    case STATS_ARRAY_FLOAT:
    case STATS_ARRAY_INT:
      return align8(stats_arrays.primitive_array_overhead.load(std::memory_order_relaxed) + 4 * n);
    case STATS_ARRAY_DOUBLE:
    case STATS_ARRAY_LONG:
      return align8(stats_arrays.primitive_array_overhead.load(std::memory_order_relaxed) + 8 * n);
    case STATS_ARRAY_REFERENCE:
      return align8(stats_arrays.object_array_overhead.load(std::memory_order_relaxed) +
                    (int64_t)stats_arrays.reference_size.load(std::memory_order_relaxed) * n);
    default:
      return 0;
  }
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_initialiseLocks(JNIEnv *jni, jobject) {
  jvmtiEnv *jvmti = stats_tagging_environment();
  if (jvmti == nullptr) {
    log_error_raw(jni, "%s (%s:%d)",
                  "Calibration: the tagging environment is missing; array sizes keep their defaults.",
                  "stats_array_calibrate", __LINE__);
  }
  stats_array_calibrate(jni, jvmti);
}
