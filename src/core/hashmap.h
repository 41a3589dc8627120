// The agent's container: a chained hash table from 64-bit integer keys to fixed-size entries kept
// in the map's own pooled chunks. Entries never move while they are in the map, so an entry
// pointer stays valid until its key is removed or the map is freed. No operation locks: every user
// guards its maps itself (or takes the map's own mutex through hashmapLock / hashmapUnlock).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/agent_locks.h"

// The 24-byte header of every entry; the user's value bytes follow it.
struct hashmap_entry {
  uint64_t key;
  uint32_t hash;  // mixed hash of the key, kept for growing
  hashmap_entry *next;
};
static_assert(sizeof(hashmap_entry) == 24, "entry header layout");

// The value part behind an entry's header, viewed as T.
template <typename T>
inline T *hashmap_value(hashmap_entry *entry) {
  static_assert(alignof(T) <= alignof(hashmap_entry), "values are 8-byte aligned");
  return reinterpret_cast<T *>(reinterpret_cast<char *>(entry) + sizeof(hashmap_entry));
}
template <typename T>
inline const T *hashmap_value(const hashmap_entry *entry) {
  static_assert(alignof(T) <= alignof(hashmap_entry), "values are 8-byte aligned");
  return reinterpret_cast<const T *>(reinterpret_cast<const char *>(entry) + sizeof(hashmap_entry));
}
// Entry size for a value type: the header plus the value.
template <typename T>
constexpr uint64_t hashmap_entry_size() {
  return sizeof(hashmap_entry) + sizeof(T);
}

using hashmap_hash_function = uint32_t (*)(uint64_t key);
using hashmap_equals_function = bool (*)(uint64_t a, uint64_t b);
using hashmap_free_function = void (*)(hashmap_entry *entry);
// Visitor of hashmapForEach: false stops the walk. It may remove the entry it was given (and no other).
using hashmap_visitor = bool (*)(hashmap_entry *entry, void *context);

struct hashmap_chunk {
  hashmap_entry *entries;
  hashmap_chunk *next;
};
static_assert(sizeof(hashmap_chunk) == 16, "chunk record layout");

struct hashmap {
  hashmap_entry **buckets;  // chain heads, a power of two of them
  uint64_t bucket_count;
  hashmap_hash_function hash_function;
  hashmap_equals_function equals_function;  // kept only: keys compare as plain 64-bit values
  hashmap_free_function free_entry;
  agent_mutex mutex;
  uint64_t size;
  uint64_t entry_size;
  hashmap_entry *free_list;
  hashmap_chunk *chunks;  // newest first
  uint64_t entries_allocated;
  uint64_t chunk_count;
};

uint32_t hashmapIntHash(uint64_t key);
bool hashmapIntEquals(uint64_t a, uint64_t b);
void hashmapFreeEntry(hashmap_entry *entry);

// Entry sizes count the 24-byte header; a size that is not a multiple of 8 is rounded up so that
// every entry stays aligned. Null when memory is short or the entry size is below the header's.
hashmap *hashmapCreate(uint64_t initial_entries, uint64_t entry_size, hashmap_free_function free_entry,
                       hashmap_hash_function hash, hashmap_equals_function equals);
hashmap *hashmapCreateDefault(uint64_t initial_entries, uint64_t entry_size);
hashmap *hashmapCreateDefaultWithFree(uint64_t initial_entries, uint64_t entry_size, hashmap_free_function free_entry);
void hashmapFree(hashmap *map);

// The entry of key, made (zero-filled) when absent; *created says which. Null with errno ENOMEM
// when no entry could be had.
inline hashmap_entry *hashmapPut(hashmap *map, uint64_t key, int *created);
inline hashmap_entry *hashmapGet(const hashmap *map, uint64_t key);
inline bool hashmapContainsKey(const hashmap *map, uint64_t key);
void hashmapRemove(hashmap *map, uint64_t key);
void hashmapForEach(hashmap *map, hashmap_visitor visitor, void *context);
// A new array (freed by the caller) of all keys in visiting order; count 0 and null when empty or
// when the array cannot be allocated.
void hashmapKeys(const hashmap *map, uint64_t *count, uint64_t **keys);

uint64_t hashmapSize(const hashmap *map);
uint64_t hashmapCurrentCapacity(const hashmap *map);
uint64_t hashmapCountCollisions(const hashmap *map);
// Bytes held for entries, chunk records and buckets (the map record itself not counted).
uint64_t hashmapMemoryUsage(const hashmap *map);

void hashmapLock(hashmap *map);
void hashmapUnlock(hashmap *map);

// Spreads the bits of a 32-bit hash so that keys differing only in high bits land apart.
constexpr uint32_t hashmap_mix(uint32_t h) {
  h += ~(h << 9);
  h ^= (h >> 14);
  h *= 17;
  h ^= (h >> 10);
  return h;
}

// The mixed hash of a key. Every map of the agent hashes integers; calling the function through
// its pointer would cost more than the rest of a lookup, so the common one is done in line.
inline uint32_t hashmap_hash(const hashmap *map, uint64_t key) {
  uint32_t h = map->hash_function == hashmapIntHash ? (uint32_t)key ^ (uint32_t)(key >> 32) : map->hash_function(key);
  return hashmap_mix(h);
}

// The bucket of a mixed hash, taken as a signed 32-bit number widened to 64 bits.
constexpr uint64_t hashmap_index(uint64_t bucket_count, uint32_t hash) {
  return (bucket_count - 1) & (uint64_t)(int64_t)(int32_t)hash;
}

// Lookups are the hot path of every user and stay in line, so that a loop of lookups can overlap
// their memory accesses.
inline hashmap_entry *hashmapGet(const hashmap *map, uint64_t key) {
  uint32_t hash = hashmap_hash(map, key);
  for (hashmap_entry *entry = map->buckets[hashmap_index(map->bucket_count, hash)]; entry != nullptr;
       entry = entry->next) {
    if (entry->key == key) return entry;
  }
  return nullptr;
}

inline bool hashmapContainsKey(const hashmap *map, uint64_t key) { return hashmapGet(map, key) != nullptr; }

// Adds a new entry at link, the end of the chain of hash (the slow half of hashmapPut).
hashmap_entry *hashmap_add_entry(hashmap *map, uint64_t key, uint32_t hash, hashmap_entry **link, int *created);

inline hashmap_entry *hashmapPut(hashmap *map, uint64_t key, int *created) {
  uint32_t hash = hashmap_hash(map, key);
  hashmap_entry **link = &map->buckets[hashmap_index(map->bucket_count, hash)];
  for (; *link != nullptr; link = &(*link)->next) {
    if ((*link)->key == key) {
      if (created != nullptr) *created = 0;
      return *link;
    }
  }
  return hashmap_add_entry(map, key, hash, link, created);
}

// Tests only: the zero-filling allocator behind every chunk, chunk record and bucket array
// (calloc when null), so that exhaustion can be produced on demand.
using hashmap_allocator = void *(*)(size_t count, size_t size);
void hashmap_set_allocator_for_tests(hashmap_allocator allocator);
