#include "statistics.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "agent_init.h"
#include "agent_locks.h"
#include "agent_util.h"
#include "classloader_tracker.h"
#include "common.h"
#include "hashmap.h"
#include "log.h"
#include "reflection.h"
#include "string_util.h"
#include "tag_access.h"

namespace {

struct {
  hashmap *allocations;   // allocation id (signed, widened) -> stats_allocation_record
  hashmap *generations;   // generation key -> stats_generation_record
  uint32_t next_class_index;  // last class index handed out (under stats_target_lock)
  uint64_t live_tagged;
  uint64_t total_tagged;
  uint64_t string_bytes;  // stored names and birthplaces, each its length plus 1
  // Read on the recording path without a lock; written once by the calibration.
  std::atomic<int32_t> primitive_array_overhead{16};
  std::atomic<int32_t> object_array_overhead{16};
  std::atomic<int32_t> reference_size{8};
  std::atomic<jclass> classloader_class;
} stats;

// Both are recursive from their static initialisation: ObjectFree may arrive on other threads as
// soon as the tagging environment exists.
agent_mutex stats_lock;         // the maps, their records and the counters
agent_mutex stats_target_lock;  // giving out class indexes
std::atomic<bool> are_stats_initialised;

constexpr stats_array_layout DEFAULT_LAYOUT{16, 16, 8};

constexpr int64_t align8(int64_t size) { return (size + 7) & ~(int64_t)7; }

stats_allocation_record *allocation_of(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<stats_allocation_record>(entry) : nullptr;
}
stats_generation_record *generation_of(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<stats_generation_record>(entry) : nullptr;
}

void allocation_free_callback(hashmap_entry *entry) {
  stats_allocation_record *allocation = allocation_of(entry);
  if (allocation->birthplace != nullptr) {
    stats.string_bytes -= strlen(allocation->birthplace) + 1;
    free(allocation->birthplace);
    allocation->birthplace = nullptr;
  }
  if (allocation->class_name != nullptr) {
    stats.string_bytes -= strlen(allocation->class_name) + 1;
    free(allocation->class_name);
    allocation->class_name = nullptr;
  }
}

// The following run with stats_lock held.

stats_allocation_record *insert_allocation_locked(uint32_t alloc_id, const char *class_name, const char *birthplace,
                                                  bool is_classloader, int32_t array_type, const char **failure,
                                                  const char **warning) {
  int created = 0;
  hashmap_entry *entry = hashmapPut(stats.allocations, stats_allocation_key(alloc_id), &created);
  if (entry == nullptr) {
    *failure = "Failed to insert allocation to map.";
    return nullptr;
  }
  stats_allocation_record *allocation = allocation_of(entry);
  if (!created) return allocation;  // another thread made it meanwhile: its texts stay
  allocation->live_generations = nullptr;
  allocation->live_generation_count = 0;
  allocation->changed = 1;
  allocation->is_classloader = is_classloader ? 1 : 0;
  allocation->instance_size = -1;
  allocation->array_type = array_type;
  allocation->birthplace = string_duplicate(birthplace);
  allocation->class_name = string_duplicate(class_name);
  if (allocation->birthplace != nullptr) stats.string_bytes += strlen(allocation->birthplace) + 1;
  if (allocation->class_name != nullptr) stats.string_bytes += strlen(allocation->class_name) + 1;
  if (allocation->birthplace == nullptr || allocation->class_name == nullptr) {
    *warning = "Failed to store class name or birthplace.";
  }
  return allocation;
}

stats_count_result count_instance_locked(stats_allocation_record *allocation, uint32_t alloc_id, uint32_t generation,
                                         int32_t array_type, int32_t array_length, uint64_t *tag, bool *needs_size) {
  uint64_t key = stats_generation_key(alloc_id, generation);
  int created = 0;
  hashmap_entry *entry = hashmapPut(stats.generations, key, &created);
  if (entry == nullptr) return STATS_GENERATION_NOT_STORED;
  stats_generation_record *record = generation_of(entry);
  if (created) {
    record->prev = nullptr;
    record->next = allocation->live_generations;
    if (record->next != nullptr) record->next->prev = record;
    allocation->live_generations = record;
    allocation->live_generation_count += 1;
  } else if (record->sequence >= STATS_MAX_SEQUENCE) {
    return STATS_GENERATION_FULL;
  }
  record->recorded += 1;
  if (array_type >= 0) record->array_bytes += (uint64_t)stats_array_size(array_type, array_length);
  record->live_count += 1;
  allocation->total_instances += 1;
  allocation->live_instances += 1;
  stats.total_tagged += 1;
  stats.live_tagged += 1;
  allocation->changed = 1;
  record->changed = 1;
  record->sequence += 1;
  *needs_size = allocation->live_generation_count >= (int32_t)STATS_LIVE_GENERATIONS_FOR_SIZE &&
                allocation->instance_size == -1;
  *tag = stats_build_tag(key, record->sequence);
  return STATS_COUNTED;
}

// One live instance less under the tag's generation key; the record goes when its last instance
// does. The caller has found both records and checked live_count.
void release_instance_locked(stats_allocation_record *allocation, stats_generation_record *record,
                             uint64_t generation_key) {
  record->live_count -= 1;
  allocation->live_instances -= 1;
  stats.live_tagged -= 1;
  allocation->changed = 1;
  if (record->live_count != 0) return;
  if (record->prev != nullptr) {
    record->prev->next = record->next;
  } else {
    allocation->live_generations = record->next;
  }
  if (record->next != nullptr) record->next->prev = record->prev;
  allocation->live_generation_count -= 1;
  // A later instance under the same key starts a fresh record at sequence 1.
  hashmapRemove(stats.generations, generation_key);
}

const char *stored_text_locked(int64_t allocation_id, bool class_name) {
  if (!are_stats_initialised.load(std::memory_order_acquire)) return nullptr;
  stats_allocation_record *allocation =
      allocation_of(hashmapGet(stats.allocations, stats_allocation_key((uint32_t)allocation_id)));
  if (allocation == nullptr) return nullptr;
  return class_name ? allocation->class_name : allocation->birthplace;
}

// Class loader test of a class, through JNI (never under stats_lock).
bool is_classloader_class(JNIEnv *jni, jclass klass) {
  jclass loader_class = stats.classloader_class.load(std::memory_order_acquire);
  if (jni == nullptr || klass == nullptr || loader_class == nullptr) return false;
  return jni->IsAssignableFrom(klass, loader_class) == JNI_TRUE;
}

// The allocation record of an id. Called with stats_lock held and returns with it held; the lock
// is released around the JNI work of a new record. Null with *failure set (to be logged after the
// lock is released).
stats_allocation_record *fetch_allocation(JNIEnv *jni, uint32_t alloc_id, jobject instance, jclass type,
                                          jstring class_name, jstring birthplace, int32_t array_type,
                                          const char **failure, const char **warning) {
  stats_allocation_record *allocation =
      allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
  if (allocation != nullptr) return allocation;

  agent_mutex_unlock(stats_lock);
  char name_copy[STATS_CLASS_NAME_SIZE];
  char birthplace_copy[STATS_BIRTHPLACE_SIZE];
  bool converted;
  {
    jni_utf_chars name_chars(jni, class_name);
    jni_utf_chars birthplace_chars(jni, birthplace);
    converted = name_chars && birthplace_chars;
    if (converted) {
      stats_copy_text(name_copy, sizeof name_copy, name_chars.get());
      stats_copy_text(birthplace_copy, sizeof birthplace_copy, birthplace_chars.get());
    }
  }
  bool is_classloader = false;
  if (converted) {
    if (type != nullptr) {
      is_classloader = is_classloader_class(jni, type);
    } else {
      // The class index was given without the class: ask the instance's own class.
      jclass instance_class = jni->GetObjectClass(instance);
      is_classloader = is_classloader_class(jni, instance_class);
      jni->DeleteLocalRef(instance_class);
    }
  }
  agent_mutex_lock(stats_lock);

  if (!converted) {
    *failure = "Failed to get UTF string for class name or birthplace.";
    return nullptr;
  }
  return insert_allocation_locked(alloc_id, name_copy, birthplace_copy, is_classloader, array_type, failure, warning);
}

// The class index carried by a Class object's tag; 0 when the tag says nothing about it. While a
// snapshot has the class under a temporary tag, the index is the tag kept in its backup.
uint32_t class_index_of_tag(uint64_t tag) {
  if (tag_is_temporary(tag)) tag = tag_access_get_permanent_tag(tag);
  return (uint32_t)tag;
}

}  // namespace

void stats_pre_initialise() {
  agent_mutex_guard guard(stats_lock);
  if (are_stats_initialised.load(std::memory_order_acquire)) return;
  if (stats.allocations == nullptr) {
    stats.allocations =
        hashmapCreateDefaultWithFree(STATS_ALLOCATION_INITIAL_ENTRIES, hashmap_entry_size<stats_allocation_record>(),
                                     allocation_free_callback);
  }
  if (stats.generations == nullptr) {
    stats.generations =
        hashmapCreateDefault(STATS_GENERATION_INITIAL_ENTRIES, hashmap_entry_size<stats_generation_record>());
  }
  if (stats.allocations == nullptr || stats.generations == nullptr) {
    // Without its maps the module stays off: every instance is refused and nothing is counted.
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to create the allocation statistics maps.", VORKEL_HERE, __LINE__);
    return;
  }
  stats.live_tagged = 0;
  stats.string_bytes = 0;
  are_stats_initialised.store(true, std::memory_order_release);
}

bool stats_find_init_classes(JNIEnv *jni) {
  if (stats.classloader_class.load(std::memory_order_acquire) != nullptr) return true;
  jclass found = reflection_find_class(jni, "java/lang/ClassLoader");
  jclass global = static_cast<jclass>(reflection_global(jni, found));
  if (found != nullptr) jni->DeleteLocalRef(found);
  if (global == nullptr) {
    log_error_raw(jni, "Failed to find ClassLoader class. (%s:%d)", VORKEL_HERE, __LINE__);
    return false;
  }
  jclass expected = nullptr;
  if (!stats.classloader_class.compare_exchange_strong(expected, global, std::memory_order_acq_rel)) {
    reflection_delete_global(jni, global);
  }
  return true;
}

bool stats_is_classloader(JNIEnv *jni, jclass klass) { return is_classloader_class(jni, klass); }

uint32_t stats_get_class_index(jvmtiEnv *jvmti, jclass klass, bool *created) {
  *created = false;
  uint64_t tag = tag_access_get_tag(jvmti, klass);
  if (tag != 0) return class_index_of_tag(tag);

  agent_mutex_guard guard(stats_target_lock);
  tag = tag_access_get_tag(jvmti, klass);  // another thread may have given it one meanwhile
  if (tag != 0) return class_index_of_tag(tag);
  uint32_t index;
  do {
    index = ++stats.next_class_index & STATS_CLASS_INDEX_MASK;
  } while (index == 0);  // after 2^19 classes the counter wraps; 0 would untag the class
  if (!tag_access_set_tag(jvmti, klass, index)) return 0;
  *created = true;
  return index;
}

jlong stats_record_instance(jvmtiEnv *jvmti, JNIEnv *jni, jobject instance, jclass type, jstring class_name,
                            jstring birthplace, jint allocation_point, jint class_index, jint generation,
                            jint array_length, jint array_type) {
  if (!are_stats_initialised.load(std::memory_order_acquire) || jvmti == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Cannot record an instance: allocation statistics are not initialised.",
                  VORKEL_HERE, __LINE__);
    return -1;
  }
  if (instance == nullptr) {
    log_error_raw(jni, "Cannot record a null instance (allocation point %d). (%s:%d)", (int)allocation_point,
                  VORKEL_HERE, __LINE__);
    return -1;
  }
  if (class_name == nullptr || birthplace == nullptr) {
    log_error_raw(jni, "Cannot record an instance without %s (allocation point %d). (%s:%d)",
                  class_name == nullptr ? "a class name" : "a birthplace", (int)allocation_point, VORKEL_HERE,
                  __LINE__);
    return -1;
  }
  // Points 0-31 would make tags of other kinds (class indexes, loader or temporary tags), which
  // the ObjectFree dispatch would never bring back here.
  if (((uint32_t)allocation_point & STATS_ALLOCATION_POINT_MASK) < STATS_FIRST_ALLOCATION_POINT) {
    log_error_raw(jni, "Cannot record an instance under allocation point %d: its low 13 bits must be 32 or more. (%s:%d)",
                  (int)allocation_point, VORKEL_HERE, __LINE__);
    return -1;
  }
  uint32_t index = (uint32_t)class_index;
  if (index == 0) {
    if (type == nullptr) {
      log_error_raw(jni, "Cannot record an instance with neither a class nor a class index (allocation point %d). (%s:%d)",
                    (int)allocation_point, VORKEL_HERE, __LINE__);
      return -1;
    }
    bool created = false;
    index = stats_get_class_index(jvmti, type, &created);
    if (index == 0) {
      log_error_raw(jni, "%s (%s:%d)", "Failed to get tag for class.", VORKEL_HERE, __LINE__);
      return -1;
    }
  }

  uint32_t alloc_id = stats_alloc_id(index, (uint32_t)allocation_point);
  const char *failure = nullptr;
  const char *warning = nullptr;
  uint64_t tag = 0;
  bool needs_size = false;
  bool is_classloader = false;
  stats_count_result result = STATS_NOT_INITIALISED;

  agent_mutex_lock(stats_lock);
  stats_allocation_record *allocation =
      fetch_allocation(jni, alloc_id, instance, type, class_name, birthplace, array_type, &failure, &warning);
  if (allocation != nullptr) {
    result = count_instance_locked(allocation, alloc_id, (uint32_t)generation, array_type, array_length, &tag,
                                   &needs_size);
    is_classloader = allocation->is_classloader != 0;
  }
  agent_mutex_unlock(stats_lock);

  if (warning != nullptr) log_error_raw(jni, "%s (%s:%d)", warning, VORKEL_HERE, __LINE__);
  if (allocation == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", failure, VORKEL_HERE, __LINE__);
    return -1;
  }
  if (result == STATS_GENERATION_NOT_STORED) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to insert generation to map.", VORKEL_HERE, __LINE__);
    return -1;
  }
  if (result != STATS_COUNTED) return -1;  // 4095 instances of this generation key are alive

  if (needs_size) {
    // Asked outside the lock: a JVM that posts ObjectFree inside a collection would wait for the
    // lock while this thread waits for the collection.
    jlong size = 0;
    if (jvmti->GetObjectSize(instance, &size) == JVMTI_ERROR_NONE) {
      stats_store_instance_size(alloc_id, size);
    } else {
      log_error_raw(jni, "Failed to get size for allocation id %d. (%s:%d)", (int)alloc_id, VORKEL_HERE, __LINE__);
    }
  }

  uint64_t loader_tag = 0;
  if (is_classloader) {
    uint64_t current = tag_access_get_permanent_tag(tag_access_get_tag(jvmti, instance));
    if (tag_is_classloader(current)) {
      loader_tag = current;
      cltracker_update_tag(loader_tag, tag);
    }
  }
  if (!tag_access_set_tag(jvmti, instance, tag)) {
    // Nothing will ever free an instance that carries no tag: take its count back.
    if (loader_tag != 0) cltracker_update_tag(tag, loader_tag);
    stats_uncount_instance(tag, array_type, array_length);
    log_error_raw(jni, "Failed to tag instance of allocation id %d; it is not counted. (%s:%d)", (int)alloc_id,
                  VORKEL_HERE, __LINE__);
    return -1;
  }
  return (jlong)tag;
}

stats_allocation_record *stats_insert_allocation(uint32_t alloc_id, const char *class_name, const char *birthplace,
                                                 bool is_classloader, int32_t array_type, const char **failure,
                                                 const char **warning) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) {
    *failure = "Allocation statistics are not initialised.";
    return nullptr;
  }
  return insert_allocation_locked(alloc_id, class_name, birthplace, is_classloader, array_type, failure, warning);
}

stats_count_result stats_count_instance(stats_allocation_record *allocation, uint32_t alloc_id, uint32_t generation,
                                        int32_t array_type, int32_t array_length, uint64_t *tag, bool *needs_size) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return STATS_NOT_INITIALISED;
  return count_instance_locked(allocation, alloc_id, generation, array_type, array_length, tag, needs_size);
}

void stats_uncount_instance(uint64_t tag, int32_t array_type, int32_t array_length) {
  agent_mutex_guard guard(stats_lock);
  uint64_t key = stats_tag_generation_key(tag);
  stats_generation_record *record = generation_of(hashmapGet(stats.generations, key));
  stats_allocation_record *allocation =
      allocation_of(hashmapGet(stats.allocations, stats_allocation_key(stats_tag_get_alloc(tag))));
  if (record == nullptr || allocation == nullptr || record->live_count == 0) return;
  record->recorded -= 1;
  if (array_type >= 0) record->array_bytes -= (uint64_t)stats_array_size(array_type, array_length);
  allocation->total_instances -= 1;
  stats.total_tagged -= 1;
  release_instance_locked(allocation, record, key);
}

void stats_store_instance_size(uint32_t alloc_id, int64_t size) {
  agent_mutex_guard guard(stats_lock);
  stats_allocation_record *allocation =
      allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
  if (allocation != nullptr && allocation->instance_size == -1) allocation->instance_size = (int32_t)size;
}

void stats_object_free(jvmtiEnv *jvmti, uint64_t tag) { stats_free_instance(jvmti, tag); }

void stats_free_instance(jvmtiEnv *jvmti, uint64_t tag) {
  if (!stats_is_statistics_tag(tag)) return;
  if (!are_stats_initialised.load(std::memory_order_acquire)) return;
  uint64_t key = stats_tag_generation_key(tag);
  uint32_t alloc_id = stats_tag_get_alloc(tag);

  agent_mutex_lock(stats_lock);
  stats_generation_record *record = generation_of(hashmapGet(stats.generations, key));
  stats_allocation_record *allocation = allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
  if (record == nullptr || allocation == nullptr || record->live_count == 0) {
    uint32_t count = record != nullptr ? record->live_count : 0;
    agent_mutex_unlock(stats_lock);
    log_error_raw(nullptr,
                  "[%lld] [%lld] [%d] Generation %p (should be non-NULL), count %d (should be above 0), allocation %p "
                  "(should be non-NULL).",
                  (long long)tag, (long long)key, (int)alloc_id, static_cast<void *>(record), (int)count,
                  static_cast<void *>(allocation));
    return;
  }
  release_instance_locked(allocation, record, key);
  bool is_classloader = allocation->is_classloader != 0;
  agent_mutex_unlock(stats_lock);

  if (is_classloader) cltracker_object_free(jvmti, tag);
}

void stats_get_all_allocation_ids(uint64_t *count, int64_t **ids) {
  *count = 0;
  *ids = nullptr;
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return;
  uint64_t *keys = nullptr;
  hashmapKeys(stats.allocations, count, &keys);
  // The keys are the ids already read as signed numbers.
  *ids = reinterpret_cast<int64_t *>(keys);
}

const char *stats_get_class_name(int64_t allocation_id) {
  agent_mutex_guard guard(stats_lock);
  return stored_text_locked(allocation_id, true);
}

const char *stats_get_birthplace_string(int64_t allocation_id) {
  agent_mutex_guard guard(stats_lock);
  return stored_text_locked(allocation_id, false);
}

uint64_t stats_get_memory_usage() {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return 0;
  return hashmapMemoryUsage(stats.allocations) + hashmapMemoryUsage(stats.generations) + stats.string_bytes +
         STATS_BYTES_PER_LIVE_INSTANCE * stats.live_tagged;
}

bool stats_get_allocation_info(int64_t allocation_id, stats_allocation_info *info) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return false;
  const stats_allocation_record *allocation =
      allocation_of(hashmapGet(stats.allocations, stats_allocation_key((uint32_t)allocation_id)));
  if (allocation == nullptr) return false;
  info->total_instances = allocation->total_instances;
  info->live_instances = allocation->live_instances;
  info->instance_size = allocation->instance_size;
  info->live_generation_count = allocation->live_generation_count;
  info->array_type = allocation->array_type;
  info->is_classloader = allocation->is_classloader != 0;
  return true;
}

bool stats_get_generation_info(uint64_t generation_key, stats_generation_info *info) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return false;
  const stats_generation_record *record = generation_of(hashmapGet(stats.generations, generation_key));
  if (record == nullptr) return false;
  info->live_count = record->live_count;
  info->sequence = record->sequence;
  info->recorded = record->recorded;
  info->array_bytes = record->array_bytes;
  return true;
}

stats_totals stats_get_totals() {
  stats_totals totals{};
  {
    agent_mutex_guard guard(stats_lock);
    totals.live_tagged = stats.live_tagged;
    totals.total_tagged = stats.total_tagged;
    totals.string_bytes = stats.string_bytes;
  }
  agent_mutex_guard guard(stats_target_lock);
  totals.next_class_index = stats.next_class_index;
  return totals;
}

// ---------------------------------------------------------------------------------------------
// Array sizes

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
  return {stats.primitive_array_overhead.load(std::memory_order_relaxed),
          stats.object_array_overhead.load(std::memory_order_relaxed),
          stats.reference_size.load(std::memory_order_relaxed)};
}

void stats_set_array_layout(const stats_array_layout &layout) {
  stats.primitive_array_overhead.store(layout.primitive_array_overhead, std::memory_order_relaxed);
  stats.object_array_overhead.store(layout.object_array_overhead, std::memory_order_relaxed);
  stats.reference_size.store(layout.reference_size, std::memory_order_relaxed);
}

namespace {

// The size the JVM reports for a new array, or -1 after logging the step's message.
int64_t calibration_size(JNIEnv *jni, jvmtiEnv *jvmti, jobject array, const char *not_created, const char *not_sized) {
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", not_created, "stats_array_calibrate", __LINE__);
    return -1;
  }
  jlong size = 0;
  jvmtiError error = jvmti->GetObjectSize(array, &size);
  jni->DeleteLocalRef(array);
  if (error != JVMTI_ERROR_NONE) {
    log_error_raw(jni, "%s (%s:%d)", not_sized, "stats_array_calibrate", __LINE__);
    return -1;
  }
  return size;
}

}  // namespace

void stats_array_calibrate(JNIEnv *jni, jvmtiEnv *jvmti) {
  static constexpr const char *PRIMITIVE_NOT_CREATED =
      "Calibration: primitive array overhead check failed (failed to create array).";
  static constexpr const char *PRIMITIVE_NOT_SIZED =
      "Calibration: primitive array overhead check failed (failed to get object size).";
  static constexpr const char *OBJECT_NOT_CREATED =
      "Calibration: object array overhead check failed (failed to create array).";
  static constexpr const char *OBJECT_NOT_SIZED =
      "Calibration: object array overhead check failed (failed to get object size).";
  static constexpr const char *REFERENCE_NOT_CREATED =
      "Calibration: object ref size check failed (failed to create array).";
  static constexpr const char *REFERENCE_NOT_SIZED =
      "Calibration: object ref size check failed (failed to get object size).";

  stats_set_array_layout(DEFAULT_LAYOUT);
  if (jni == nullptr || jvmti == nullptr) return;
  stats_array_sizes sizes{-1, -1, -1, -1, -1};
  sizes.int0 = calibration_size(jni, jvmti, jni->NewIntArray(0), PRIMITIVE_NOT_CREATED, PRIMITIVE_NOT_SIZED);
  sizes.int1 = calibration_size(jni, jvmti, jni->NewIntArray(1), PRIMITIVE_NOT_CREATED, PRIMITIVE_NOT_SIZED);
  jclass object_class = reflection_find_class(jni, "java/lang/Object");
  if (object_class == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Calibration: object array overhead check failed (failed to find class).",
                  VORKEL_HERE, __LINE__);
  } else {
    sizes.object0 = calibration_size(jni, jvmti, jni->NewObjectArray(0, object_class, nullptr), OBJECT_NOT_CREATED,
                                     OBJECT_NOT_SIZED);
    sizes.object1 = calibration_size(jni, jvmti, jni->NewObjectArray(1, object_class, nullptr), OBJECT_NOT_CREATED,
                                     OBJECT_NOT_SIZED);
    sizes.object16 = calibration_size(jni, jvmti, jni->NewObjectArray(16, object_class, nullptr),
                                      REFERENCE_NOT_CREATED, REFERENCE_NOT_SIZED);
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
      return align8(stats.primitive_array_overhead.load(std::memory_order_relaxed) + n);
    case STATS_ARRAY_CHAR:
    case STATS_ARRAY_SHORT:
      return align8(stats.primitive_array_overhead.load(std::memory_order_relaxed) + 2 * n);
    case STATS_ARRAY_FLOAT:
    case STATS_ARRAY_INT:
      return align8(stats.primitive_array_overhead.load(std::memory_order_relaxed) + 4 * n);
    case STATS_ARRAY_DOUBLE:
    case STATS_ARRAY_LONG:
      return align8(stats.primitive_array_overhead.load(std::memory_order_relaxed) + 8 * n);
    case STATS_ARRAY_REFERENCE:
      return align8(stats.object_array_overhead.load(std::memory_order_relaxed) +
                    (int64_t)stats.reference_size.load(std::memory_order_relaxed) * n);
    default:
      return 0;
  }
}

void stats_copy_text(char *destination, size_t size, const char *text) {
  if (size == 0) return;
  size_t length = strnlen(text, size - 1);
  if (text[length] != '\0') {
    // Cut: step back over continuation bytes so that no character is left half.
    size_t end = length;
    while (end > 0 && ((unsigned char)text[end] & 0xC0) == 0x80) --end;
    length = end;
  }
  memcpy(destination, text, length);
  destination[length] = '\0';
}

// ---------------------------------------------------------------------------------------------
// Natives of vorkel.runtime.agent.collection.RuntimeStatistic

namespace {

jvmtiEnv *tagging_environment() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->tag_jvmti : nullptr;
}

}  // namespace

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_addInstanceRealInternal(
    JNIEnv *jni, jobject, jobject instance, jclass type, jstring class_name, jstring birthplace,
    jint allocation_point, jint class_index, jint generation, jint array_length, jint array_type) {
  return stats_record_instance(tagging_environment(), jni, instance, type, class_name, birthplace, allocation_point,
                               class_index, generation, array_length, array_type);
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_getStatsMemoryUsage(JNIEnv *,
                                                                                                    jobject) {
  return (jlong)stats_get_memory_usage();
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_initialiseLocks(JNIEnv *jni,
                                                                                               jobject) {
  jvmtiEnv *jvmti = tagging_environment();
  if (jvmti == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Calibration: the tagging environment is missing; array sizes keep their defaults.",
                  "stats_array_calibrate", __LINE__);
  }
  stats_array_calibrate(jni, jvmti);
}
