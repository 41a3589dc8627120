// The allocation statistics' state and the steps that run under stats_lock, shared by the
// module's files: the bookkeeping (statistics.cpp), recording from Java (statistics_record.cpp)
// and the array sizes (statistics_arrays.cpp).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/hashmap.h"
#include "statistics/statistics.h"

struct stats_state {
  hashmap *allocations;       // allocation id (signed, widened) -> stats_allocation_record
  hashmap *generations;       // generation key -> stats_generation_record
  uint32_t next_class_index;  // last class index handed out (under stats_target_lock)
  uint64_t live_tagged;
  uint64_t total_tagged;
  uint64_t string_bytes;  // stored names and birthplaces, each its length plus 1
  std::atomic<jclass> classloader_class;
  std::atomic<jclass> class_class;  // java/lang/Class: its instances carry class indexes, never statistics tags
};
extern stats_state stats;

// Both are made on their first use: ObjectFree may arrive on other threads as
// soon as the tagging environment exists.
extern agent_mutex stats_lock;         // the maps, their records and the counters
extern agent_mutex stats_target_lock;  // giving out class indexes
extern std::atomic<bool> are_stats_initialised;

inline stats_allocation_record *stats_allocation_of(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<stats_allocation_record>(entry) : nullptr;
}
inline stats_generation_record *stats_generation_of(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<stats_generation_record>(entry) : nullptr;
}

inline jvmtiEnv *stats_tagging_environment() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->tag_jvmti : nullptr;
}

// With stats_lock held: the allocation record of an id, made with copies of the texts when new
// (see stats_insert_allocation), and the counting of one instance (see stats_count_instance).
stats_allocation_record *stats_insert_allocation_locked(uint32_t alloc_id, const char *class_name,
                                                        const char *birthplace, bool is_classloader, int32_t array_type,
                                                        const char **failure, const char **warning);
stats_count_result stats_count_instance_locked(stats_allocation_record *allocation, uint32_t alloc_id,
                                               uint32_t generation, int32_t array_type, int32_t array_length,
                                               uint64_t *tag, bool *needs_size);
