#include "core/hashmap.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<hashmap_allocator> test_allocator{nullptr};

void *hashmap_calloc(size_t count, size_t size) {
  hashmap_allocator allocator = test_allocator.load(std::memory_order_relaxed);
  return allocator != nullptr ? allocator(count, size) : calloc(count, size);
}

inline hashmap_entry *entry_at(hashmap_entry *base, uint64_t entry_size, uint64_t index) {
  return reinterpret_cast<hashmap_entry *>(reinterpret_cast<char *>(base) + index * entry_size);
}

bool hashAllocEntries(hashmap *map, uint64_t n) {
  auto *chunk = static_cast<hashmap_chunk *>(hashmap_calloc(1, sizeof(hashmap_chunk)));
  if (chunk == nullptr) return false;
  auto *entries = static_cast<hashmap_entry *>(hashmap_calloc(n, map->entry_size));
  if (entries == nullptr) {
    free(chunk);
    return false;
  }
  map->entries_allocated += n;
  map->chunk_count += 1;
  // Pushed in increasing address order, so the chunk's last entry is handed out first.
  for (uint64_t i = 0; i < n; ++i) {
    hashmap_entry *entry = entry_at(entries, map->entry_size, i);
    entry->next = map->free_list;
    map->free_list = entry;
  }
  chunk->entries = entries;
  chunk->next = map->chunks;
  map->chunks = chunk;
  return true;
}

void expandIfNecessary(hashmap *map) {
  if (map->size <= map->bucket_count * 3 / 4) return;
  uint64_t new_count = map->bucket_count * 2;
  auto **new_buckets = static_cast<hashmap_entry **>(
      hashmap_calloc(new_count, sizeof(hashmap_entry *)));  // NOLINT(bugprone-sizeof-expression): a table of pointers
  if (new_buckets == nullptr) return;                       // longer chains, still correct
  for (uint64_t i = 0; i < map->bucket_count; ++i) {
    hashmap_entry *entry = map->buckets[i];
    while (entry != nullptr) {
      hashmap_entry *next = entry->next;
      uint64_t index = hashmap_index(new_count, entry->hash);
      entry->next = new_buckets[index];
      new_buckets[index] = entry;
      entry = next;
    }
  }
  free(map->buckets);
  map->buckets = new_buckets;
  map->bucket_count = new_count;
}

}  // namespace

uint32_t hashmapIntHash(uint64_t key) { return (uint32_t)key ^ (uint32_t)(key >> 32); }
bool hashmapIntEquals(uint64_t a, uint64_t b) { return a == b; }
void hashmapFreeEntry(hashmap_entry *) {}

void hashmap_set_allocator_for_tests(hashmap_allocator allocator) {
  test_allocator.store(allocator, std::memory_order_relaxed);
}

hashmap *hashmapCreate(uint64_t initial_entries, uint64_t entry_size, hashmap_free_function free_entry,
                       hashmap_hash_function hash, hashmap_equals_function equals) {
  // Sizes beyond this are mistakes, and would overflow the bucket arithmetic below.
  constexpr uint64_t MAX_INITIAL_ENTRIES = (uint64_t)1 << 40;
  if (entry_size < sizeof(hashmap_entry) || entry_size > ((uint64_t)1 << 32) || initial_entries > MAX_INITIAL_ENTRIES) {
    errno = EINVAL;
    return nullptr;
  }
  entry_size = (entry_size + 7) & ~(uint64_t)7;

  uint64_t wanted = initial_entries * 4 / 3;
  uint64_t bucket_count = 1;
  while (bucket_count <= wanted) bucket_count <<= 1;

  auto *map = static_cast<hashmap *>(calloc(1, sizeof(hashmap)));
  if (map == nullptr) return nullptr;
  map->buckets = static_cast<hashmap_entry **>(hashmap_calloc(
      bucket_count, sizeof(hashmap_entry *)));  // NOLINT(bugprone-sizeof-expression): a table of pointers
  if (map->buckets == nullptr) {
    free(map);
    errno = ENOMEM;
    return nullptr;
  }
  map->bucket_count = bucket_count;
  map->hash_function = hash != nullptr ? hash : hashmapIntHash;
  map->equals_function = equals != nullptr ? equals : hashmapIntEquals;
  map->free_entry = free_entry != nullptr ? free_entry : hashmapFreeEntry;
  map->entry_size = entry_size;
  if (initial_entries > 0 && !hashAllocEntries(map, initial_entries)) {
    free(map->buckets);
    free(map);
    errno = ENOMEM;
    return nullptr;
  }
  agent_mutex_init(map->mutex);
  return map;
}

hashmap *hashmapCreateDefault(uint64_t initial_entries, uint64_t entry_size) {
  return hashmapCreate(initial_entries, entry_size, hashmapFreeEntry, hashmapIntHash, hashmapIntEquals);
}

hashmap *hashmapCreateDefaultWithFree(uint64_t initial_entries, uint64_t entry_size, hashmap_free_function free_entry) {
  return hashmapCreate(initial_entries, entry_size, free_entry, hashmapIntHash, hashmapIntEquals);
}

void hashmapFree(hashmap *map) {
  if (map == nullptr) return;
  if (map->free_entry != hashmapFreeEntry) {
    for (uint64_t i = 0; i < map->bucket_count; ++i) {
      for (hashmap_entry *entry = map->buckets[i]; entry != nullptr;) {
        hashmap_entry *next = entry->next;
        map->free_entry(entry);
        entry = next;
      }
    }
  }
  for (hashmap_chunk *chunk = map->chunks; chunk != nullptr;) {
    hashmap_chunk *next = chunk->next;
    free(chunk->entries);
    free(chunk);
    chunk = next;
  }
  free(map->buckets);
  agent_mutex_destroy(map->mutex);
  free(map);
}

hashmap_entry *hashmap_add_entry(hashmap *map, uint64_t key, uint32_t hash, hashmap_entry **link, int *created) {
  if (created != nullptr) *created = 0;
  if (map->free_list == nullptr && !hashAllocEntries(map, map->size + 20)) {
    errno = ENOMEM;
    return nullptr;
  }
  hashmap_entry *entry = map->free_list;
  map->free_list = entry->next;
  memset(entry, 0, map->entry_size);
  entry->key = key;
  entry->hash = hash;
  entry->next = nullptr;
  *link = entry;
  map->size += 1;
  expandIfNecessary(map);  // moves chain links, never entries
  if (created != nullptr) *created = 1;
  return entry;
}

void hashmapRemove(hashmap *map, uint64_t key) {
  uint32_t hash = hashmap_hash(map, key);
  hashmap_entry **link = &map->buckets[hashmap_index(map->bucket_count, hash)];
  while (*link != nullptr) {
    hashmap_entry *entry = *link;
    if (entry->key == key) {
      map->free_entry(entry);
      *link = entry->next;
      entry->next = map->free_list;
      map->free_list = entry;
      map->size -= 1;
      return;
    }
    link = &entry->next;
  }
}

void hashmapForEach(hashmap *map, hashmap_visitor visitor, void *context) {
  for (uint64_t i = 0; i < map->bucket_count; ++i) {
    hashmap_entry *entry = map->buckets[i];
    while (entry != nullptr) {
      hashmap_entry *next = entry->next;  // the visitor may remove this entry
      if (!visitor(entry, context)) return;
      entry = next;
    }
  }
}

void hashmapKeys(const hashmap *map, uint64_t *count, uint64_t **keys) {
  *count = 0;
  *keys = nullptr;
  if (map->size == 0) return;
  auto *array = static_cast<uint64_t *>(malloc(map->size * sizeof(uint64_t)));
  if (array == nullptr) return;
  uint64_t n = 0;
  for (uint64_t i = 0; i < map->bucket_count; ++i) {
    for (hashmap_entry *entry = map->buckets[i]; entry != nullptr; entry = entry->next) array[n++] = entry->key;
  }
  *count = n;
  *keys = array;
}

uint64_t hashmapSize(const hashmap *map) { return map->size; }

uint64_t hashmapCurrentCapacity(const hashmap *map) { return map->bucket_count * 3 / 4; }

uint64_t hashmapCountCollisions(const hashmap *map) {
  uint64_t collisions = 0;
  for (uint64_t i = 0; i < map->bucket_count; ++i) {
    hashmap_entry *entry = map->buckets[i];
    if (entry == nullptr) continue;
    for (entry = entry->next; entry != nullptr; entry = entry->next) ++collisions;
  }
  return collisions;
}

uint64_t hashmapMemoryUsage(const hashmap *map) {
  return 16 * map->chunk_count + map->entry_size * map->entries_allocated + 8 * map->bucket_count;
}

void hashmapLock(hashmap *map) { agent_mutex_lock(map->mutex); }
void hashmapUnlock(hashmap *map) { agent_mutex_unlock(map->mutex); }
