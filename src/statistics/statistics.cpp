#include "statistics/statistics.h"

#include <cstdlib>
#include <cstring>

#include "statistics/classloader_tracker.h"
#include "base/common.h"
#include "core/log.h"
#include "statistics/statistics_state.h"
#include "base/string_util.h"

stats_state stats;
agent_mutex stats_lock;
agent_mutex stats_target_lock;
std::atomic<bool> are_stats_initialised;

namespace {

void allocation_free_callback(hashmap_entry *entry) {
  stats_allocation_record *allocation = stats_allocation_of(entry);
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
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key((uint32_t)allocation_id)));
  if (allocation == nullptr) return nullptr;
  return class_name ? allocation->class_name : allocation->birthplace;
}

}  // namespace

// With stats_lock held.
stats_allocation_record *stats_insert_allocation_locked(uint32_t alloc_id, const char *class_name,
                                                        const char *birthplace, bool is_classloader, int32_t array_type,
                                                        const char **failure, const char **warning) {
  int created = 0;
  hashmap_entry *entry = hashmapPut(stats.allocations, stats_allocation_key(alloc_id), &created);
  if (entry == nullptr) {
    *failure = "Failed to insert allocation to map.";
    return nullptr;
  }
  stats_allocation_record *allocation = stats_allocation_of(entry);
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

stats_count_result stats_count_instance_locked(stats_allocation_record *allocation, uint32_t alloc_id,
                                               uint32_t generation, int32_t array_type, int32_t array_length,
                                               uint64_t *tag, bool *needs_size) {
  uint64_t key = stats_generation_key(alloc_id, generation);
  int created = 0;
  hashmap_entry *entry = hashmapPut(stats.generations, key, &created);
  if (entry == nullptr) return STATS_GENERATION_NOT_STORED;
  stats_generation_record *record = stats_generation_of(entry);
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
  *needs_size =
      allocation->live_generation_count >= (int32_t)STATS_LIVE_GENERATIONS_FOR_SIZE && allocation->instance_size == -1;
  *tag = stats_build_tag(key, record->sequence);
  return STATS_COUNTED;
}

void stats_pre_initialise() {
  agent_mutex_guard guard(stats_lock);
  if (are_stats_initialised.load(std::memory_order_acquire)) return;
  if (stats.allocations == nullptr) {
    stats.allocations = hashmapCreateDefaultWithFree(
        STATS_ALLOCATION_INITIAL_ENTRIES, hashmap_entry_size<stats_allocation_record>(), allocation_free_callback);
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

stats_allocation_record *stats_insert_allocation(uint32_t alloc_id, const char *class_name, const char *birthplace,
                                                 bool is_classloader, int32_t array_type, const char **failure,
                                                 const char **warning) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) {
    *failure = "Allocation statistics are not initialised.";
    return nullptr;
  }
  return stats_insert_allocation_locked(alloc_id, class_name, birthplace, is_classloader, array_type, failure, warning);
}

stats_count_result stats_count_instance(stats_allocation_record *allocation, uint32_t alloc_id, uint32_t generation,
                                        int32_t array_type, int32_t array_length, uint64_t *tag, bool *needs_size) {
  agent_mutex_guard guard(stats_lock);
  if (!are_stats_initialised.load(std::memory_order_acquire)) return STATS_NOT_INITIALISED;
  return stats_count_instance_locked(allocation, alloc_id, generation, array_type, array_length, tag, needs_size);
}

void stats_uncount_instance(uint64_t tag, int32_t array_type, int32_t array_length) {
  agent_mutex_guard guard(stats_lock);
  uint64_t key = stats_tag_generation_key(tag);
  stats_generation_record *record = stats_generation_of(hashmapGet(stats.generations, key));
  stats_allocation_record *allocation =
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key(stats_tag_get_alloc(tag))));
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
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
  if (allocation != nullptr && allocation->instance_size == -1) allocation->instance_size = (int32_t)size;
}

void stats_object_free(jvmtiEnv *jvmti, uint64_t tag) { stats_free_instance(jvmti, tag); }

void stats_free_instance(jvmtiEnv *jvmti, uint64_t tag) {
  if (!stats_is_statistics_tag(tag)) return;
  if (!are_stats_initialised.load(std::memory_order_acquire)) return;
  uint64_t key = stats_tag_generation_key(tag);
  uint32_t alloc_id = stats_tag_get_alloc(tag);

  agent_mutex_lock(stats_lock);
  stats_generation_record *record = stats_generation_of(hashmapGet(stats.generations, key));
  stats_allocation_record *allocation =
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key(alloc_id)));
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
      stats_allocation_of(hashmapGet(stats.allocations, stats_allocation_key((uint32_t)allocation_id)));
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
  const stats_generation_record *record = stats_generation_of(hashmapGet(stats.generations, generation_key));
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

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_collection_RuntimeStatistic_getStatsMemoryUsage(JNIEnv *,
                                                                                                      jobject) {
  return (jlong)stats_get_memory_usage();
}
