// The snapshot's class listing and class sizes: the Classes and Class Sizes sections of the info
// file, the class ids handed out before the walk, and the class map behind them.
//
// Class details come from JVMTI, or in "full" mode (has_full_hotspot_symbols) from the VM's own
// structures; class metadata sizes come from get_class_size in one place (the Class Sizes lines).
#pragma once

#include <jvmti.h>

#include <cstdint>

struct hashmap;
struct hashmap_entry;
struct snapshot_dump;

constexpr uint64_t CLASS_MAP_INITIAL_ENTRIES = 1024;
constexpr uint64_t CLASS_MAP_ENTRY_SIZE = 72;

// The value of a class map entry.
struct class_info_entry {
  jclass klass;
  uint32_t base_size;
  uint32_t metadata_size;
  jmethodID *methods;
  int32_t method_count;
  char *signature;
  uint8_t written;
  uint8_t deferred;
};

// The metadata line "Class size type": "none" on J9, else "full" or "partial".
const char *oom_classes_size_type();

// Null (after logging) when memory is short; the snapshot then goes on without class sizes.
hashmap *oom_classes_map_create();
// Gives back what the entries hold (JVMTI memory, local references) and frees the map.
void oom_classes_map_release(snapshot_dump *dump);
class_info_entry *create_class_info_entry(hashmap *class_map, int64_t id, jclass klass);

// The listing before the walk: every loaded class gets the next id as a temporary tag (its own
// tag kept in the backup), its entry and its lines. Sets dump->id_count and the class loader
// flags, and returns the id count.
uint64_t dump_all_class_info(snapshot_dump *dump);
// The walk's first callback, with the VM stopped: where a listing from VM structures writes.
void oom_classes_at_walk_start(snapshot_dump *dump);
// The walk met a class object: its size is the class's base size.
void oom_classes_set_base_size(snapshot_dump *dump, uint64_t id, jlong size);
// After the walk: the deferred classes, then the classes that the walk met but the first listing
// did not know (loaded in between).
void snapshot_dump_post_class_info(snapshot_dump *dump);
// The Class Sizes section (written at a safepoint); the entries give back what they hold.
void snapshot_dump_class_sizes(snapshot_dump *dump);
