// Test-kit natives of vorkel.test.StatisticsProbe: the allocation statistics' records and counters,
// array sizes, the tagging environment's bare tag calls and the flushing of ObjectFree events.
#include <jni.h>
#include <jvmti.h>

#include <cstdlib>
#include <vector>

#include "agent/agent_init.h"
#include "statistics/classloader_tracker.h"
#include "base/common.h"
#include "probe_kit.h"
#include "statistics/statistics.h"
#include "core/tag_access.h"

// live tagged, total tagged, string bytes, last class index, memory usage.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_StatisticsProbe_totals(JNIEnv *jni, jclass) {
  stats_totals totals = stats_get_totals();
  return probe_long_array(jni, {(jlong)totals.live_tagged, (jlong)totals.total_tagged, (jlong)totals.string_bytes,
                                (jlong)totals.next_class_index, (jlong)stats_get_memory_usage()});
}

// total instances, live instances, instance size, live generations, array type, is class loader;
// null for an unknown id.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_StatisticsProbe_allocation(JNIEnv *jni, jclass, jlong id) {
  stats_allocation_info info{};
  if (!stats_get_allocation_info((int64_t)id, &info)) return nullptr;
  return probe_long_array(jni,
                          {(jlong)info.total_instances, (jlong)info.live_instances, (jlong)info.instance_size,
                           (jlong)info.live_generation_count, (jlong)info.array_type, info.is_classloader ? 1 : 0});
}

// live count, sequence, recorded, array bytes; null when the key has no record.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_StatisticsProbe_generation(JNIEnv *jni, jclass, jlong key) {
  stats_generation_info info{};
  if (!stats_get_generation_info((uint64_t)key, &info)) return nullptr;
  return probe_long_array(
      jni, {(jlong)info.live_count, (jlong)info.sequence, (jlong)info.recorded, (jlong)info.array_bytes});
}

VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_StatisticsProbe_allocationIds(JNIEnv *jni, jclass) {
  uint64_t count = 0;
  int64_t *ids = nullptr;
  stats_get_all_allocation_ids(&count, &ids);
  std::vector<jlong> values(ids, ids + count);
  free(ids);
  return probe_long_array(jni, values);
}

VORKEL_EXPORT jbyteArray JNICALL Java_vorkel_test_StatisticsProbe_classNameBytes(JNIEnv *jni, jclass, jlong id) {
  return probe_bytes(jni, stats_get_class_name((int64_t)id));
}

VORKEL_EXPORT jbyteArray JNICALL Java_vorkel_test_StatisticsProbe_birthplaceBytes(JNIEnv *jni, jclass, jlong id) {
  return probe_bytes(jni, stats_get_birthplace_string((int64_t)id));
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_StatisticsProbe_isClassloader(JNIEnv *jni, jclass, jclass klass) {
  return stats_is_classloader(jni, klass) ? JNI_TRUE : JNI_FALSE;
}

// primitive array overhead, object array overhead, reference size.
VORKEL_EXPORT jintArray JNICALL Java_vorkel_test_StatisticsProbe_arrayLayout(JNIEnv *jni, jclass) {
  stats_array_layout layout = stats_get_array_layout();
  jint values[3] = {layout.primitive_array_overhead, layout.object_array_overhead, layout.reference_size};
  jintArray array = jni->NewIntArray(3);
  if (array != nullptr) jni->SetIntArrayRegion(array, 0, 3, values);
  return array;
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_StatisticsProbe_arraySize(JNIEnv *, jclass, jint type, jint length) {
  return (jlong)stats_array_size(type, length);
}

// What the JVM says an object occupies, or -1.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_StatisticsProbe_objectSize(JNIEnv *, jclass, jobject object) {
  jlong size = -1;
  if (probe_tag_env() == nullptr || probe_tag_env()->GetObjectSize(object, &size) != JVMTI_ERROR_NONE) return -1;
  return size;
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_StatisticsProbe_tagOf(JNIEnv *, jclass, jobject object) {
  return (jlong)tag_access_get_tag(probe_tag_env(), object);
}

// The bare JVMTI SetTag of the tagging environment, for comparison in the benchmark.
VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_StatisticsProbe_bareSetTag(JNIEnv *, jclass, jobject object,
                                                                           jlong tag) {
  return probe_tag_env()->SetTag(object, tag) == JVMTI_ERROR_NONE ? JNI_TRUE : JNI_FALSE;
}

// An ObjectFree of the tagging environment, as the JVM would post it.
VORKEL_EXPORT void JNICALL Java_vorkel_test_StatisticsProbe_objectFree(JNIEnv *, jclass, jlong tag) {
  agent_object_free_tagged(probe_tag_env(), tag);
}

// Posts the ObjectFree events of what was collected; the number of tagged objects alive, or -1.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_StatisticsProbe_flushObjectFree(JNIEnv *, jclass) {
  return probe_count_tagged();
}

// The class loader tracker's first-seen time of a tag, or 0 when it tracks no loader by it.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_StatisticsProbe_loaderFirstSeen(JNIEnv *, jclass, jlong tag) {
  struct search {
    uint64_t tag;
    uint64_t first_seen;
  } context{(uint64_t)tag, 0};
  cltracker_enumerate(
      [](hashmap_entry *entry, void *argument) {
        auto *wanted = static_cast<search *>(argument);
        if (entry->key != wanted->tag) return true;
        wanted->first_seen = hashmap_value<cltracker_loader_info>(entry)->first_seen;
        return false;
      },
      &context);
  return (jlong)context.first_seen;
}
