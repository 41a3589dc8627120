// Allocation statistics: tags on followed instances, live counts per allocation point and generation.
//
// The Java half hands each instance it follows to addInstanceRealInternal. The instance gets a
// statistics tag in the tagging environment:
//
//   bits  0-18  class index (the tag of the instance's java.lang.Class object)
//   bits 19-31  allocation point number (32 and above; lower numbers are other tag kinds)
//   bits 32-43  sequence number of the instance within its generation key (1 to 4095)
//   bits 44-63  generation
//
// The low 32 bits are the allocation id, the tag without its sequence the generation key. Live
// counts are kept per allocation id and generation key and undone by ObjectFree.
//
// Locks: stats_target_lock (giving out class indexes) and stats_lock (maps, records, counters)
// are never nested. No JNI call, tag call or other JVM call is made while stats_lock is held.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

struct hashmap;

constexpr uint32_t STATS_CLASS_INDEX_MASK = 0x7FFFF;
constexpr uint32_t STATS_ALLOCATION_POINT_SHIFT = 19;
constexpr uint32_t STATS_ALLOCATION_POINT_MASK = 0x1FFF;   // 13 bits are kept
constexpr uint32_t STATS_FIRST_ALLOCATION_POINT = 32;      // 0-31 belong to other tag kinds
constexpr uint32_t STATS_FIRST_ALLOCATION_ID = 0x1000000;  // allocation point 32, class index 0
constexpr uint32_t STATS_GENERATION_SHIFT = 44;
constexpr uint32_t STATS_SEQUENCE_SHIFT = 32;
constexpr uint64_t STATS_SEQUENCE_BITS = 0xFFF00000000ULL;  // bits 32-43 of a tag
constexpr uint32_t STATS_MAX_SEQUENCE = 0xFFF;              // instances per generation key
constexpr uint32_t STATS_LIVE_GENERATIONS_FOR_SIZE = 30;    // live generations before sizing an instance
constexpr uint64_t STATS_BYTES_PER_LIVE_INSTANCE = 26;      // estimated cost of a live tag
constexpr size_t STATS_CLASS_NAME_SIZE = 1024;              // stored names keep at most 1023 bytes
constexpr size_t STATS_BIRTHPLACE_SIZE = 2048;              // stored birthplaces at most 2047 bytes
constexpr uint64_t STATS_ALLOCATION_INITIAL_ENTRIES = 1024;
constexpr uint64_t STATS_GENERATION_INITIAL_ENTRIES = 2048;

// Element type codes of stats_array_size: the JVM's newarray codes, and 16 for references.
constexpr int32_t STATS_ARRAY_BOOLEAN = 4;
constexpr int32_t STATS_ARRAY_CHAR = 5;
constexpr int32_t STATS_ARRAY_FLOAT = 6;
constexpr int32_t STATS_ARRAY_DOUBLE = 7;
constexpr int32_t STATS_ARRAY_BYTE = 8;
constexpr int32_t STATS_ARRAY_SHORT = 9;
constexpr int32_t STATS_ARRAY_INT = 10;
constexpr int32_t STATS_ARRAY_LONG = 11;
constexpr int32_t STATS_ARRAY_REFERENCE = 16;

// (class index & 0x7FFFF) | (allocation point << 19), in 32 bits: the point keeps its low 13 bits.
constexpr uint32_t stats_alloc_id(uint32_t class_index, uint32_t allocation_point) {
  return (class_index & STATS_CLASS_INDEX_MASK) | (allocation_point << STATS_ALLOCATION_POINT_SHIFT);
}
// allocation id | (generation << 44): the generation keeps its low 20 bits.
constexpr uint64_t stats_generation_key(uint32_t alloc_id, uint32_t generation) {
  return (uint64_t)alloc_id | ((uint64_t)generation << STATS_GENERATION_SHIFT);
}
constexpr uint64_t stats_key_generation(uint64_t generation_key) { return generation_key >> STATS_GENERATION_SHIFT; }
// The tag of the sequence-th instance under a generation key.
constexpr uint64_t stats_build_tag(uint64_t generation_key, uint32_t sequence) {
  return ((uint64_t)(sequence & STATS_MAX_SEQUENCE) << STATS_SEQUENCE_SHIFT) | generation_key;
}
constexpr uint32_t stats_tag_get_alloc(uint64_t tag) { return (uint32_t)tag; }
constexpr uint64_t stats_tag_generation_key(uint64_t tag) { return tag & ~STATS_SEQUENCE_BITS; }
constexpr uint32_t stats_tag_sequence(uint64_t tag) {
  return (uint32_t)((tag & STATS_SEQUENCE_BITS) >> STATS_SEQUENCE_SHIFT);
}
// The key of an allocation record: the id read as a signed 32-bit number, widened. Ids from
// 0x80000000 on (allocation points 4096 and above) are negative keys.
constexpr int64_t stats_allocation_key(uint32_t alloc_id) { return (int64_t)(int32_t)alloc_id; }
constexpr bool stats_is_statistics_tag(uint64_t tag) { return stats_tag_get_alloc(tag) >= STATS_FIRST_ALLOCATION_ID; }

static_assert(stats_generation_key(0x1000001, 0x100005) == stats_generation_key(0x1000001, 5), "20-bit generations");
static_assert(stats_alloc_id(1, 4096) == 0x80000001u && stats_allocation_key(0x80000001u) < 0, "negative keys");
static_assert(stats_tag_generation_key(stats_build_tag(stats_generation_key(0x1400003, 7), 4095)) ==
                  stats_generation_key(0x1400003, 7),
              "the generation key is the tag without its sequence");

// Module preparation at load: the maps and counters, once per process.
void stats_pre_initialise();
// At agent start: keeps java/lang/ClassLoader for the class loader test and java/lang/Class for
// refusing Class objects. False when ClassLoader is missing.
bool stats_find_init_classes(JNIEnv *jni);
// Whether the class is java.lang.ClassLoader or a subclass; false for null or before start.
bool stats_is_classloader(JNIEnv *jni, jclass klass);

// Tags and counts one instance; the new tag, or -1 (the instance stays untagged and uncounted).
// classIndex 0: taken from (or given to) the Class object type. arrayType below 0: not an array.
// A Class object is refused: its tag is its class's index.
jlong stats_record_instance(jvmtiEnv *jvmti, JNIEnv *jni, jobject instance, jclass type, jstring class_name,
                            jstring birthplace, jint allocation_point, jint class_index, jint generation,
                            jint array_length, jint array_type);
// The class index of a Class object (its tag), handing out the next one when it has none; 0 when
// none can be had. *created tells whether this call handed it out.
uint32_t stats_get_class_index(jvmtiEnv *jvmti, jclass klass, bool *created);

// ObjectFree of a permanent tag that is not a class loader tracker tag (tag dispatch).
void stats_object_free(jvmtiEnv *jvmti, uint64_t tag);
// Uncounts a freed statistics tag; tags below the first allocation id are ignored.
void stats_free_instance(jvmtiEnv *jvmti, uint64_t tag);

// For the snapshot: every allocation id (negative from 0x80000000 on) in a new array the caller
// frees, with its length; 0 and null when there is none or the array cannot be had.
void stats_get_all_allocation_ids(uint64_t *count, int64_t **ids);
// The stored texts of an allocation id, or null; they stay owned by the statistics (and live as
// long as the process: allocation records are never dropped).
const char *stats_get_class_name(int64_t allocation_id);
const char *stats_get_birthplace_string(int64_t allocation_id);

// Maps, strings and 26 bytes per live tracked instance; 0 before initialisation.
uint64_t stats_get_memory_usage();

// Array header sizes, measured once by stats_array_calibrate (defaults 16, 16, 8).
struct stats_array_layout {
  int32_t primitive_array_overhead;
  int32_t object_array_overhead;
  int32_t reference_size;
};
// Sizes the JVM reported for the calibration arrays; -1 where none was had.
struct stats_array_sizes {
  int64_t int0, int1, object0, object1, object16;
};
// The layout that the reported sizes give (an int[1] as large as an int[0] means the length field
// left four bytes of padding, which the first element took).
stats_array_layout stats_layout_from_sizes(const stats_array_sizes &sizes);
stats_array_layout stats_get_array_layout();
void stats_set_array_layout(const stats_array_layout &layout);
// Measures the header sizes with the calling thread's JNI environment (initialiseLocks).
void stats_array_calibrate(JNIEnv *jni, jvmtiEnv *jvmti);
// Estimated bytes of an array of the given element type code and length; 0 for other codes and
// for negative lengths.
int64_t stats_array_size(int32_t array_type, int32_t length);

// Copies text into a buffer of size bytes, cut so that it never ends inside a multi-byte
// character; always terminated.
void stats_copy_text(char *destination, size_t size, const char *text);

// ---------------------------------------------------------------------------------------------
// The bookkeeping behind recording and freeing, without JNI or JVMTI (also used by tests).

struct stats_generation_record;

struct stats_allocation_record {
  stats_generation_record *live_generations;  // generation records with live instances, newest first
  uint8_t changed;
  uint8_t is_classloader;
  char *birthplace;  // owned
  char *class_name;  // owned
  uint64_t total_instances;
  uint64_t live_instances;
  int32_t instance_size;  // -1 while unknown
  int32_t live_generation_count;
  int32_t array_type;
};

struct stats_generation_record {
  stats_generation_record *prev;
  stats_generation_record *next;
  uint32_t live_count;
  uint32_t sequence;  // instances tagged under this key since the record was made, at most 4095
  uint64_t array_bytes;
  uint32_t recorded;
  uint8_t changed;
};

enum stats_count_result : int32_t {
  STATS_COUNTED = 0,
  STATS_GENERATION_FULL = 1,        // 4095 instances under the key and some still alive
  STATS_GENERATION_NOT_STORED = 2,  // the generation map could not take the key
  STATS_NOT_INITIALISED = 3,
};

// Copies of one allocation record's counts and one generation record's, for probes and tests.
struct stats_allocation_info {
  uint64_t total_instances;
  uint64_t live_instances;
  int32_t instance_size;
  int32_t live_generation_count;
  int32_t array_type;
  bool is_classloader;
};
struct stats_generation_info {
  uint32_t live_count;
  uint32_t sequence;
  uint32_t recorded;
  uint64_t array_bytes;
};
struct stats_totals {
  uint64_t live_tagged;
  uint64_t total_tagged;
  uint64_t string_bytes;
  uint32_t next_class_index;
};

// The allocation record of an id, made with copies of the texts when it is new. Null with
// *failure set when the map cannot take it; *warning is set when a text could not be stored (the
// record is kept without it). Both are messages to log once stats_lock is released.
stats_allocation_record *stats_insert_allocation(uint32_t alloc_id, const char *class_name, const char *birthplace,
                                                 bool is_classloader, int32_t array_type, const char **failure,
                                                 const char **warning);
// Counts one instance under its allocation record (made by stats_insert_allocation) and puts its
// tag in *tag; *needs_size says that the allocation wants an instance size.
stats_count_result stats_count_instance(stats_allocation_record *allocation, uint32_t alloc_id, uint32_t generation,
                                        int32_t array_type, int32_t array_length, uint64_t *tag, bool *needs_size);
// Takes back a counted instance whose tag could not be set: as if it had never been recorded.
void stats_uncount_instance(uint64_t tag, int32_t array_type, int32_t array_length);
// Stores an instance size the JVM reported for an allocation whose size is still unknown.
void stats_store_instance_size(uint32_t alloc_id, int64_t size);

bool stats_get_allocation_info(int64_t allocation_id, stats_allocation_info *info);
bool stats_get_generation_info(uint64_t generation_key, stats_generation_info *info);
stats_totals stats_get_totals();
