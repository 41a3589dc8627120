#include "statistics/statistics.h"

#include <cstring>

#include "core/agent_util.h"
#include "statistics/classloader_tracker.h"
#include "base/common.h"
#include "core/log.h"
#include "core/reflection.h"
#include "statistics/statistics_state.h"
#include "core/tag_access.h"

namespace {

// The allocation record of an id. Called with stats_lock held and returns with it held; the lock
// is released around the JNI work of a new record. Null with *failure set (to be logged after the
// lock is released).
stats_allocation_record *stats_fetch_allocation(JNIEnv *jni, uint32_t alloc_id, jobject instance, jclass type,
                                                jstring class_name, jstring birthplace, int32_t array_type,
                                                const char **failure, const char **warning) {
  stats_allocation_record *allocation =
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
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
      is_classloader = stats_is_classloader(jni, type);
    } else {
      // The class index was given without the class: ask the instance's own class.
      jclass instance_class = jni->GetObjectClass(instance);
      is_classloader = stats_is_classloader(jni, instance_class);
      jni->DeleteLocalRef(instance_class);
    }
  }
  agent_mutex_lock(stats_lock);

  if (!converted) {
    *failure = "Failed to get UTF string for class name or birthplace.";
    return nullptr;
  }
  return stats_insert_allocation_locked(alloc_id, name_copy, birthplace_copy, is_classloader, array_type, failure,
                                        warning);
}

// The class index carried by a Class object's tag; 0 when the tag says nothing about it. While a
// snapshot has the class under a temporary tag, the index is the tag kept in its backup.
uint32_t class_index_of_tag(uint64_t tag) {
  if (tag_is_temporary(tag)) tag = tag_access_get_permanent_tag(tag);
  return (uint32_t)tag;
}

// A global reference to the named class in the slot, once; false when the class is not found.
bool keep_class(JNIEnv *jni, const char *name, std::atomic<jclass> &slot) {
  if (slot.load(std::memory_order_acquire) != nullptr) return true;
  jclass found = reflection_find_class(jni, name);
  jclass global = static_cast<jclass>(reflection_global(jni, found));
  if (found != nullptr) jni->DeleteLocalRef(found);
  if (global == nullptr) return false;
  jclass expected = nullptr;
  if (!slot.compare_exchange_strong(expected, global, std::memory_order_acq_rel)) {
    reflection_delete_global(jni, global);
  }
  return true;
}

}  // namespace

bool stats_find_init_classes(JNIEnv *jni) {
  if (!keep_class(jni, "java/lang/Class", stats.class_class)) {
    log_error_raw(jni, "Failed to find Class class; Class objects are not refused. (%s:%d)", VORKEL_HERE, __LINE__);
  }
  if (!keep_class(jni, "java/lang/ClassLoader", stats.classloader_class)) {
    log_error_raw(jni, "Failed to find ClassLoader class. (%s:%d)", VORKEL_HERE, __LINE__);
    return false;
  }
  return true;
}

// Through JNI, so never under stats_lock.
bool stats_is_classloader(JNIEnv *jni, jclass klass) {
  jclass loader_class = stats.classloader_class.load(std::memory_order_acquire);
  if (jni == nullptr || klass == nullptr || loader_class == nullptr) return false;
  return jni->IsAssignableFrom(klass, loader_class) == JNI_TRUE;
}

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
    log_error_raw(jni,
                  "Cannot record an instance under allocation point %d: its low 13 bits must be 32 or more. (%s:%d)",
                  (int)allocation_point, VORKEL_HERE, __LINE__);
    return -1;
  }
  // A Class object's tag is its class's index: a statistics tag in its place would take the index
  // from every later instance of that class (and read as a wrong index).
  jclass class_class = stats.class_class.load(std::memory_order_acquire);
  if (class_class != nullptr && jni->IsInstanceOf(instance, class_class) == JNI_TRUE) {
    log_error_raw(jni, "Cannot record a Class object: its tag is a class index (allocation point %d). (%s:%d)",
                  (int)allocation_point, VORKEL_HERE, __LINE__);
    return -1;
  }
  uint32_t index = (uint32_t)class_index;
  if (index == 0) {
    if (type == nullptr) {
      log_error_raw(jni,
                    "Cannot record an instance with neither a class nor a class index (allocation point %d). (%s:%d)",
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
      stats_fetch_allocation(jni, alloc_id, instance, type, class_name, birthplace, array_type, &failure, &warning);
  if (allocation != nullptr) {
    result = stats_count_instance_locked(allocation, alloc_id, (uint32_t)generation, array_type, array_length, &tag,
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

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_addInstanceRealInternal(
    JNIEnv *jni, jobject, jobject instance, jclass type, jstring class_name, jstring birthplace, jint allocation_point,
    jint class_index, jint generation, jint array_length, jint array_type) {
  return stats_record_instance(stats_tagging_environment(), jni, instance, type, class_name, birthplace,
                               allocation_point, class_index, generation, array_length, array_type);
}
