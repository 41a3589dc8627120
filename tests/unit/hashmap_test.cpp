// The hash map: chains, growth, pooled entries, memory accounting, visiting and exhaustion.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "core/hashmap.h"

namespace {

struct value64 {
  uint64_t a;
  uint64_t b;
  uint64_t c;
  uint64_t d;
  uint64_t e;
};

struct map_deleter {
  void operator()(hashmap *map) const { hashmapFree(map); }
};
using map_ptr = std::unique_ptr<hashmap, map_deleter>;

TEST(HashMap, BucketCountIsTheNextPowerOfTwoAboveFourThirds) {
  map_ptr thousand(hashmapCreateDefault(1000, 112));
  map_ptr thirty_two(hashmapCreateDefault(32, 32));
  map_ptr empty(hashmapCreateDefault(0, 32));
  ASSERT_TRUE(thousand && thirty_two && empty);
  EXPECT_EQ(thousand->bucket_count, 2048u);
  EXPECT_EQ(thirty_two->bucket_count, 64u);
  EXPECT_EQ(empty->bucket_count, 1u);
  EXPECT_EQ(hashmapCurrentCapacity(thirty_two.get()), 48u);
  // 16 for the chunk record, 1000 entries of 112 bytes, 2048 bucket pointers.
  EXPECT_EQ(hashmapMemoryUsage(thousand.get()), 128400u);
  // Too small for the header is refused.
  EXPECT_EQ(hashmapCreateDefault(4, 16), nullptr);
}

TEST(HashMap, MixingMatchesTheDocumentedSteps) {
  // Hash 1 (keys 1 and 2^32): h = 1 + ~(1 << 9); h ^= h >> 14; h *= 17; h ^= h >> 10.
  uint32_t h = 1;
  h = h + ~(h << 9);
  h ^= h >> 14;
  h *= 17;
  h ^= h >> 10;
  map_ptr map(hashmapCreateDefault(8, 32));
  ASSERT_TRUE(map);
  hashmap_entry *entry = hashmapPut(map.get(), 1, nullptr);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->hash, h);
  EXPECT_EQ(hashmapIntHash(0x0000000500000003ULL), 6u);
}

TEST(HashMap, KeysWithTheSameHashShareAChainAndAreToldApartByKey) {
  map_ptr map(hashmapCreateDefault(16, hashmap_entry_size<uint64_t>()));
  ASSERT_TRUE(map);
  EXPECT_EQ(hashmapIntHash(1), hashmapIntHash(4294967296ULL));
  int created = -1;
  hashmap_entry *one = hashmapPut(map.get(), 1, &created);
  EXPECT_EQ(created, 1);
  hashmap_entry *big = hashmapPut(map.get(), 4294967296ULL, &created);
  EXPECT_EQ(created, 1);
  ASSERT_TRUE(one && big);
  EXPECT_NE(one, big);
  *hashmap_value<uint64_t>(one) = 11;
  *hashmap_value<uint64_t>(big) = 22;
  EXPECT_EQ(hashmapCountCollisions(map.get()), 1u);
  EXPECT_EQ(one->next, big);  // new entries go to the end of the chain
  EXPECT_EQ(*hashmap_value<uint64_t>(hashmapGet(map.get(), 1)), 11u);
  EXPECT_EQ(*hashmap_value<uint64_t>(hashmapGet(map.get(), 4294967296ULL)), 22u);
  EXPECT_EQ(hashmapGet(map.get(), 4294967297ULL), nullptr);

  // Putting an existing key gives the same entry, untouched, and the size stays.
  EXPECT_EQ(hashmapPut(map.get(), 4294967296ULL, &created), big);
  EXPECT_EQ(created, 0);
  EXPECT_EQ(*hashmap_value<uint64_t>(big), 22u);
  EXPECT_EQ(hashmapSize(map.get()), 2u);

  // Removing the chain's head keeps the other reachable.
  hashmapRemove(map.get(), 1);
  EXPECT_FALSE(hashmapContainsKey(map.get(), 1));
  EXPECT_TRUE(hashmapContainsKey(map.get(), 4294967296ULL));
  EXPECT_EQ(hashmapSize(map.get()), 1u);
  hashmapRemove(map.get(), 1);  // absent: nothing happens
  EXPECT_EQ(hashmapSize(map.get()), 1u);
}

// Whether b follows a along a's chain.
bool comes_before(const hashmap_entry *a, const hashmap_entry *b) {
  for (const hashmap_entry *entry = a->next; entry != nullptr; entry = entry->next) {
    if (entry == b) return true;
  }
  return false;
}

TEST(HashMap, GrowsAtTheFortyNinthEntryWithStableEntriesAndReversedChains) {
  map_ptr map(hashmapCreateDefault(32, 64));
  ASSERT_TRUE(map);
  std::vector<hashmap_entry *> entries;
  for (uint64_t key = 0; key < 48; ++key) {
    hashmap_entry *entry = hashmapPut(map.get(), key * 7919, nullptr);
    ASSERT_NE(entry, nullptr);
    *hashmap_value<uint64_t>(entry) = key;
    entries.push_back(entry);
  }
  EXPECT_EQ(map->bucket_count, 64u);
  // The 33rd entry needed a second chunk of size + 20 = 52 entries.
  EXPECT_EQ(map->chunk_count, 2u);
  EXPECT_EQ(map->entries_allocated, 32u + 52u);

  // Two keys sharing a chain before growing (same hash) share it after, in reversed order.
  hashmapRemove(map.get(), 47 * 7919);
  hashmapRemove(map.get(), 46 * 7919);
  entries.pop_back();
  entries.pop_back();
  hashmap_entry *first = hashmapPut(map.get(), 5, nullptr);
  hashmap_entry *second = hashmapPut(map.get(), 5ULL << 32, nullptr);
  ASSERT_TRUE(comes_before(first, second));
  EXPECT_EQ(hashmapSize(map.get()), 48u);
  EXPECT_EQ(map->bucket_count, 64u);

  hashmap_entry *forty_ninth = hashmapPut(map.get(), 1234567, nullptr);
  ASSERT_NE(forty_ninth, nullptr);
  EXPECT_EQ(forty_ninth->key, 1234567u);
  EXPECT_EQ(map->bucket_count, 128u);
  EXPECT_EQ(hashmapCurrentCapacity(map.get()), 96u);
  EXPECT_TRUE(comes_before(second, first));
  for (uint64_t key = 0; key < entries.size(); ++key) {
    EXPECT_EQ(hashmapGet(map.get(), key * 7919), entries[key]);
    EXPECT_EQ(*hashmap_value<uint64_t>(entries[key]), key);
  }
}

TEST(HashMap, NewEntriesAreZeroFilledEvenWhenRecycled) {
  map_ptr map(hashmapCreateDefault(2, hashmap_entry_size<value64>()));
  ASSERT_TRUE(map);
  hashmap_entry *entry = hashmapPut(map.get(), 9, nullptr);
  *hashmap_value<value64>(entry) = value64{1, 2, 3, 4, 5};
  hashmapRemove(map.get(), 9);
  hashmap_entry *again = hashmapPut(map.get(), 10, nullptr);
  EXPECT_EQ(again, entry);  // the free list hands the removed entry out again
  const value64 *value = hashmap_value<value64>(again);
  EXPECT_EQ(value->a | value->b | value->c | value->d | value->e, 0u);
  // The chunk's last entry is handed out first.
  map_ptr fresh(hashmapCreateDefault(3, 32));
  hashmap_entry *taken = hashmapPut(fresh.get(), 1, nullptr);
  EXPECT_EQ(reinterpret_cast<char *>(taken), reinterpret_cast<char *>(fresh->chunks->entries) + 2 * 32);
}

TEST(HashMap, ForEachMayRemoveTheVisitedEntryAndStopsOnFalse) {
  map_ptr map(hashmapCreateDefault(8, 32));
  // Same-hash keys make chains, so removal in the middle of a chain is exercised too.
  std::set<uint64_t> all;
  for (uint64_t i = 0; i < 200; ++i) {
    uint64_t key = (i % 3 == 0) ? (i << 32) | i : i;
    ASSERT_NE(hashmapPut(map.get(), key, nullptr), nullptr);
    all.insert(key);
  }
  ASSERT_GT(hashmapCountCollisions(map.get()), 0u);
  struct walk {
    hashmap *map;
    std::set<uint64_t> visited;
  } state{map.get(), {}};
  hashmapForEach(
      map.get(),
      [](hashmap_entry *entry, void *context) {
        auto *w = static_cast<walk *>(context);
        w->visited.insert(entry->key);
        if (entry->key % 2 == 0) hashmapRemove(w->map, entry->key);
        return true;
      },
      &state);
  EXPECT_EQ(state.visited, all);
  EXPECT_EQ(hashmapSize(map.get()), 100u);
  for (uint64_t key : all) EXPECT_EQ(hashmapContainsKey(map.get(), key), key % 2 != 0) << key;

  int visits = 0;
  hashmapForEach(
      map.get(), [](hashmap_entry *, void *context) { return ++*static_cast<int *>(context) < 5; }, &visits);
  EXPECT_EQ(visits, 5);

  uint64_t count = 0;
  uint64_t *keys = nullptr;
  hashmapKeys(map.get(), &count, &keys);
  ASSERT_EQ(count, 100u);
  std::set<uint64_t> listed(keys, keys + count);
  EXPECT_EQ(listed.size(), 100u);
  for (uint64_t key : listed) EXPECT_TRUE(key % 2 != 0);
  free(keys);
}

int freed_entries;
void count_free(hashmap_entry *) { ++freed_entries; }

TEST(HashMap, FreeCallbackRunsOnRemovalAndForEveryEntryLeftAtFree) {
  freed_entries = 0;
  hashmap *map = hashmapCreateDefaultWithFree(4, 32, count_free);
  ASSERT_NE(map, nullptr);
  for (uint64_t key = 1; key <= 10; ++key) hashmapPut(map, key, nullptr);
  hashmapRemove(map, 4);
  EXPECT_EQ(freed_entries, 1);
  hashmapFree(map);
  EXPECT_EQ(freed_entries, 10);
}

// An allocator that fails once the given number of allocations has been made.
int allocations_left;
void *limited_calloc(size_t count, size_t size) {
  if (allocations_left <= 0) return nullptr;
  --allocations_left;
  return calloc(count, size);
}

class HashMapExhaustion : public ::testing::Test {
 protected:
  void TearDown() override { hashmap_set_allocator_for_tests(nullptr); }
};

TEST_F(HashMapExhaustion, PutFailsWithEnomemAndTheMapKeepsWorking) {
  map_ptr map(hashmapCreateDefault(2, 32));
  ASSERT_TRUE(map);
  ASSERT_NE(hashmapPut(map.get(), 1, nullptr), nullptr);
  ASSERT_NE(hashmapPut(map.get(), 2, nullptr), nullptr);
  uint64_t usage = hashmapMemoryUsage(map.get());
  // The chunk record is had, its entry array is not: nothing may leak or change.
  allocations_left = 1;
  hashmap_set_allocator_for_tests(limited_calloc);
  errno = 0;
  int created = -1;
  EXPECT_EQ(hashmapPut(map.get(), 3, &created), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(created, 0);
  EXPECT_EQ(hashmapSize(map.get()), 2u);
  EXPECT_EQ(hashmapMemoryUsage(map.get()), usage);
  // Existing keys are still found and returned.
  EXPECT_NE(hashmapPut(map.get(), 2, nullptr), nullptr);

  // A bucket array that cannot grow leaves longer chains, and every entry is still found.
  hashmap_set_allocator_for_tests(nullptr);
  map_ptr small(hashmapCreateDefault(32, 32));
  ASSERT_TRUE(small);
  for (uint64_t key = 0; key < 48; ++key) ASSERT_NE(hashmapPut(small.get(), key, nullptr), nullptr);
  ASSERT_NE(small->free_list, nullptr);  // the 49th entry needs no chunk, only the growth allocates
  allocations_left = 0;
  hashmap_set_allocator_for_tests(limited_calloc);
  ASSERT_NE(hashmapPut(small.get(), 48, nullptr), nullptr);
  EXPECT_EQ(small->bucket_count, 64u);
  for (uint64_t key = 0; key < 49; ++key) EXPECT_TRUE(hashmapContainsKey(small.get(), key)) << key;
  // Once memory is back, the next insertion grows the table.
  hashmap_set_allocator_for_tests(nullptr);
  ASSERT_NE(hashmapPut(small.get(), 49, nullptr), nullptr);
  EXPECT_EQ(small->bucket_count, 128u);

  // Creation that cannot get its first chunk returns null.
  allocations_left = 1;
  hashmap_set_allocator_for_tests(limited_calloc);
  EXPECT_EQ(hashmapCreateDefault(10, 32), nullptr);
}

}  // namespace
