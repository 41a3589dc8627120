// Statistics tags and keys, array sizes and their calibration, cut texts, and the bookkeeping of
// allocation and generation records (counting, the per-key limit, freeing, memory) on real maps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "statistics/statistics.h"
#include "core/tag_access.h"
#include "test_util.h"

namespace {

TEST(StatisticsTags, HelpersEncodeAndDecodeEveryField) {
  // Class index 0x12345, allocation point 40: the id keeps 19 and 13 bits.
  EXPECT_EQ(stats_alloc_id(0x12345, 40), 0x01412345u);
  EXPECT_EQ(stats_alloc_id(0xFFF12345u, 40), 0x01412345u);         // bits above the class index are dropped
  EXPECT_EQ(stats_alloc_id(1, 8192 + 40), stats_alloc_id(1, 40));  // only 13 bits of the point
  EXPECT_EQ(stats_alloc_id(1, 4096), 0x80000001u);
  EXPECT_EQ(stats_alloc_id(0, STATS_FIRST_ALLOCATION_POINT), STATS_FIRST_ALLOCATION_ID);

  // Generation 0x100005 keeps its low 20 bits: the key of generation 5.
  uint64_t key = stats_generation_key(0x01412345u, 5);
  EXPECT_EQ(key, 0x0000500001412345ULL);
  EXPECT_EQ(stats_generation_key(0x01412345u, 0x100005), key);
  EXPECT_EQ(stats_key_generation(key), 5u);
  EXPECT_EQ(stats_key_generation(stats_generation_key(0x80000001u, 0xFFFFF)), 0xFFFFFu);
  // A signed 32-bit id must not spread into the generation bits.
  EXPECT_EQ(stats_generation_key(0x80000001u, 0), 0x80000001ULL);

  uint64_t tag = stats_build_tag(key, 4095);
  EXPECT_EQ(tag, 0x00005FFF01412345ULL);
  EXPECT_EQ(stats_tag_get_alloc(tag), 0x01412345u);
  EXPECT_EQ(stats_tag_generation_key(tag), key);
  EXPECT_EQ(stats_tag_sequence(tag), 4095u);
  EXPECT_EQ(stats_build_tag(key, 4096), key);  // the sequence keeps 12 bits
  EXPECT_EQ(tag_kind(tag), 40u);
  EXPECT_TRUE(tag_is_statistics(tag));
  EXPECT_FALSE(tag_is_classloader(tag));
  EXPECT_FALSE(tag_is_temporary(tag));

  // Keys of allocation records: ids from 0x80000000 on are negative.
  EXPECT_EQ(stats_allocation_key(0x7FFFFFFFu), 0x7FFFFFFF);
  EXPECT_EQ(stats_allocation_key(0x80000001u), -2147483647LL);
  EXPECT_EQ(stats_allocation_key(0xFFFFFFFFu), -1);

  EXPECT_FALSE(stats_is_statistics_tag(0x00FFFFFF));
  EXPECT_FALSE(stats_is_statistics_tag(0xFFFFFFFF00180000ULL));  // a class loader tracker tag
  EXPECT_FALSE(stats_is_statistics_tag(0x0000000100280005ULL));  // a temporary tag
  EXPECT_TRUE(stats_is_statistics_tag(0x01000000));
  EXPECT_TRUE(stats_is_statistics_tag(0x80000000));
}

class StatisticsArrays : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = stats_get_array_layout(); }
  void TearDown() override { stats_set_array_layout(saved_); }
  stats_array_layout saved_{};
};

TEST_F(StatisticsArrays, SizesOfEveryElementTypeFromTheDefaultLayout) {
  stats_set_array_layout({16, 16, 8});
  for (int32_t type : {STATS_ARRAY_BOOLEAN, STATS_ARRAY_BYTE}) {
    EXPECT_EQ(stats_array_size(type, 0), 16);
    EXPECT_EQ(stats_array_size(type, 1), 24);
    EXPECT_EQ(stats_array_size(type, 8), 24);
    EXPECT_EQ(stats_array_size(type, 9), 32);
  }
  for (int32_t type : {STATS_ARRAY_CHAR, STATS_ARRAY_SHORT}) {
    EXPECT_EQ(stats_array_size(type, 4), 24);
    EXPECT_EQ(stats_array_size(type, 5), 32);
  }
  for (int32_t type : {STATS_ARRAY_FLOAT, STATS_ARRAY_INT}) {
    EXPECT_EQ(stats_array_size(type, 1), 24);
    EXPECT_EQ(stats_array_size(type, 3), 32);
  }
  for (int32_t type : {STATS_ARRAY_DOUBLE, STATS_ARRAY_LONG}) {
    EXPECT_EQ(stats_array_size(type, 1), 24);
    EXPECT_EQ(stats_array_size(type, 2), 32);
  }
  EXPECT_EQ(stats_array_size(STATS_ARRAY_REFERENCE, 0), 16);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_REFERENCE, 3), 40);
  // The largest Java array does not overflow.
  EXPECT_EQ(stats_array_size(STATS_ARRAY_LONG, 0x7FFFFFFF), 16 + 8 * (int64_t)0x7FFFFFFF);
  // Other codes, and lengths no array has, are nothing.
  for (int32_t length : {0, 1, 5, 1000000}) {
    EXPECT_EQ(stats_array_size(12, length), 0);
    EXPECT_EQ(stats_array_size(-1, length), 0);
    EXPECT_EQ(stats_array_size(3, length), 0);
    EXPECT_EQ(stats_array_size(17, length), 0);
  }
  EXPECT_EQ(stats_array_size(STATS_ARRAY_INT, -1), 0);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_REFERENCE, -100), 0);
}

TEST_F(StatisticsArrays, CalibrationTakesFourBytesOffWhenTheFirstElementFitsTheHeader) {
  // int[1] as large as int[0] (16 bytes): the first element lives in the header's padding.
  stats_array_layout layout = stats_layout_from_sizes({16, 16, 16, 16, 80});
  EXPECT_EQ(layout.primitive_array_overhead, 12);
  EXPECT_EQ(layout.object_array_overhead, 12);
  EXPECT_EQ(layout.reference_size, 4);  // (80 - 12) / 16, truncated
  stats_set_array_layout(layout);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_INT, 1), 16);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_INT, 2), 24);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_LONG, 1), 24);
  EXPECT_EQ(stats_array_size(STATS_ARRAY_REFERENCE, 1), 16);
  for (int32_t length : {0, 1, 7, 1000}) EXPECT_EQ(stats_array_size(12, length), 0);

  // Compressed class pointers and references (a JDK 17 default).
  layout = stats_layout_from_sizes({16, 24, 16, 24, 80});
  EXPECT_EQ(layout.primitive_array_overhead, 16);
  EXPECT_EQ(layout.object_array_overhead, 16);
  EXPECT_EQ(layout.reference_size, 4);
  // Eight-byte references.
  EXPECT_EQ(stats_layout_from_sizes({16, 24, 16, 24, 144}).reference_size, 8);
}

TEST_F(StatisticsArrays, CalibrationKeepsDefaultsForSizesItCouldNotHave) {
  stats_array_layout layout = stats_layout_from_sizes({-1, -1, -1, -1, -1});
  EXPECT_EQ(layout.primitive_array_overhead, 16);
  EXPECT_EQ(layout.object_array_overhead, 16);
  EXPECT_EQ(layout.reference_size, 8);
  // int[0] unknown: int[1] is compared with the default, as the overhead it would replace.
  EXPECT_EQ(stats_layout_from_sizes({-1, 16, -1, -1, -1}).primitive_array_overhead, 12);
  EXPECT_EQ(stats_layout_from_sizes({-1, 24, -1, -1, -1}).primitive_array_overhead, 16);
  // Object[0] unknown: the reference size is taken against the default overhead.
  EXPECT_EQ(stats_layout_from_sizes({16, 24, -1, -1, 144}).reference_size, 8);
  EXPECT_EQ(stats_layout_from_sizes({16, 24, -1, 16, 80}).object_array_overhead, 12);
}

TEST(StatisticsTexts, CutsKeepWholeCharacters) {
  char small[8];
  memset(small, 'x', sizeof small);
  stats_copy_text(small, sizeof small, "abcdefghij");
  EXPECT_STREQ(small, "abcdefg");
  stats_copy_text(small, sizeof small, "abcdefg");  // exactly fits
  EXPECT_STREQ(small, "abcdefg");
  stats_copy_text(small, sizeof small, "");
  EXPECT_STREQ(small, "");
  // A two-byte character at bytes 6-7 would be split: it goes whole.
  stats_copy_text(small, sizeof small, "abcdef\xC3\xA9z");
  EXPECT_STREQ(small, "abcdef");
  // One that ends at byte 7 fits.
  stats_copy_text(small, sizeof small, "abcde\xC3\xA9z");
  EXPECT_STREQ(small, "abcde\xC3\xA9");
  // Three-byte characters cut after their first or second byte.
  stats_copy_text(small, sizeof small, "abcde\xE2\x82\xAC");
  EXPECT_STREQ(small, "abcde");
  stats_copy_text(small, sizeof small, "abcdef\xE2\x82\xAC");
  EXPECT_STREQ(small, "abcdef");
  // The modified UTF-8 form of U+0000 is a whole two-byte character.
  stats_copy_text(small, sizeof small, "abcde\xC0\x80zz");
  EXPECT_STREQ(small, "abcde\xC0\x80");

  std::string name(1500, 'N');
  char stored[STATS_CLASS_NAME_SIZE];
  stats_copy_text(stored, sizeof stored, name.c_str());
  EXPECT_EQ(strlen(stored), 1023u);
  std::string birthplace(3000, 'B');
  char stored_birthplace[STATS_BIRTHPLACE_SIZE];
  stats_copy_text(stored_birthplace, sizeof stored_birthplace, birthplace.c_str());
  EXPECT_EQ(strlen(stored_birthplace), 2047u);
}

TEST(StatisticsLifecycle, NothingIsKeptOrCountedBeforeInitialisation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a fresh process of its own, before stats_pre_initialise.
  EXPECT_EXIT(
      {
        bool fine = stats_get_memory_usage() == 0;
        uint64_t count = 7;
        int64_t *ids = reinterpret_cast<int64_t *>(&count);
        stats_get_all_allocation_ids(&count, &ids);
        fine &= count == 0 && ids == nullptr;
        fine &= stats_get_class_name(0x1400001) == nullptr && stats_get_birthplace_string(0x1400001) == nullptr;
        const char *failure = nullptr;
        const char *warning = nullptr;
        fine &= stats_insert_allocation(0x1400001, "a", "b", false, -1, &failure, &warning) == nullptr &&
                failure != nullptr;
        stats_free_instance(nullptr, stats_build_tag(stats_generation_key(0x1400001, 1), 1));  // ignored
        stats_pre_initialise();
        fine &= stats_get_memory_usage() > 0;
        exit(fine ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The bookkeeping on the process's real maps. Every test uses allocation ids of its own and
// compares counters before and after, since the maps live as long as the process.
class StatisticsRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    stats_pre_initialise();
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
  }
  std::string log() { return vt::NativeLog::read(dir_ / "logs").text(); }
  static stats_allocation_record *allocation(uint32_t id, const char *name = "Name", const char *place = "Place",
                                             bool is_classloader = false) {
    const char *failure = nullptr;
    const char *warning = nullptr;
    stats_allocation_record *record = stats_insert_allocation(id, name, place, is_classloader, -1, &failure, &warning);
    EXPECT_NE(record, nullptr) << (failure != nullptr ? failure : "");
    EXPECT_EQ(warning, nullptr);
    return record;
  }
  static uint64_t count(stats_allocation_record *record, uint32_t id, uint32_t generation, int32_t array_type = -1,
                        int32_t array_length = 0) {
    uint64_t tag = 0;
    bool needs_size = false;
    EXPECT_EQ(stats_count_instance(record, id, generation, array_type, array_length, &tag, &needs_size), STATS_COUNTED);
    return tag;
  }
  static stats_generation_info generation(uint64_t key) {
    stats_generation_info info{};
    EXPECT_TRUE(stats_get_generation_info(key, &info)) << std::hex << key;
    return info;
  }
  static stats_allocation_info info(uint32_t id) {
    stats_allocation_info result{};
    EXPECT_TRUE(stats_get_allocation_info(stats_allocation_key(id), &result)) << std::hex << id;
    return result;
  }
  static bool has_generation(uint64_t key) {
    stats_generation_info ignored{};
    return stats_get_generation_info(key, &ignored);
  }
  vt::TempDir dir_;
};

TEST_F(StatisticsRecords, CountsPerGenerationAndUncountsOnFree) {
  const uint32_t id = stats_alloc_id(11, 100);
  stats_totals before = stats_get_totals();
  stats_allocation_record *record = allocation(id, "java.lang.String", "Main.main:12");
  EXPECT_EQ(info(id).instance_size, -1);
  EXPECT_EQ(info(id).array_type, -1);

  uint64_t a = count(record, id, 1);
  uint64_t b = count(record, id, 1);
  uint64_t c = count(record, id, 2, STATS_ARRAY_INT, 3);
  EXPECT_EQ(a, stats_build_tag(stats_generation_key(id, 1), 1));
  EXPECT_EQ(b, stats_build_tag(stats_generation_key(id, 1), 2));
  EXPECT_EQ(c, stats_build_tag(stats_generation_key(id, 2), 1));
  stats_generation_info first = generation(stats_generation_key(id, 1));
  EXPECT_EQ(first.live_count, 2u);
  EXPECT_EQ(first.sequence, 2u);
  EXPECT_EQ(first.recorded, 2u);
  EXPECT_EQ(first.array_bytes, 0u);
  EXPECT_EQ(generation(stats_generation_key(id, 2)).array_bytes, (uint64_t)stats_array_size(STATS_ARRAY_INT, 3));
  EXPECT_EQ(info(id).total_instances, 3u);
  EXPECT_EQ(info(id).live_instances, 3u);
  EXPECT_EQ(info(id).live_generation_count, 2);
  stats_totals counted = stats_get_totals();
  EXPECT_EQ(counted.live_tagged - before.live_tagged, 3u);
  EXPECT_EQ(counted.total_tagged - before.total_tagged, 3u);

  stats_object_free(nullptr, a);
  EXPECT_EQ(generation(stats_generation_key(id, 1)).live_count, 1u);
  EXPECT_EQ(generation(stats_generation_key(id, 1)).sequence, 2u);
  stats_object_free(nullptr, b);
  EXPECT_FALSE(has_generation(stats_generation_key(id, 1)));
  EXPECT_EQ(info(id).live_generation_count, 1);
  stats_object_free(nullptr, c);
  EXPECT_FALSE(has_generation(stats_generation_key(id, 2)));
  EXPECT_EQ(info(id).live_generation_count, 0);
  EXPECT_EQ(info(id).live_instances, 0u);
  EXPECT_EQ(info(id).total_instances, 3u);
  stats_totals freed = stats_get_totals();
  EXPECT_EQ(freed.live_tagged, before.live_tagged);
  EXPECT_EQ(freed.total_tagged - before.total_tagged, 3u);

  // The key starts afresh.
  EXPECT_EQ(count(record, id, 1), stats_build_tag(stats_generation_key(id, 1), 1));
  stats_object_free(nullptr, stats_build_tag(stats_generation_key(id, 1), 1));
  EXPECT_TRUE(log().empty()) << log();
}

TEST_F(StatisticsRecords, LiveGenerationListSurvivesFreesInAnyOrder) {
  const uint32_t id = stats_alloc_id(12, 100);
  stats_allocation_record *record = allocation(id);
  // Generations 1..5, freed middle, newest (the list head), oldest, then the rest.
  std::vector<uint64_t> tags;
  for (uint32_t generation = 1; generation <= 5; ++generation) tags.push_back(count(record, id, generation));
  EXPECT_EQ(info(id).live_generation_count, 5);
  for (int index : {2, 4, 0, 3, 1}) {
    stats_object_free(nullptr, tags[index]);
    EXPECT_FALSE(has_generation(stats_tag_generation_key(tags[index])));
    // A new generation after each removal goes to the head of what is left.
    uint64_t extra = count(record, id, 100 + index);
    stats_object_free(nullptr, extra);
  }
  EXPECT_EQ(info(id).live_generation_count, 0);
  EXPECT_EQ(info(id).live_instances, 0u);
  EXPECT_EQ(record->live_generations, nullptr);
}

TEST_F(StatisticsRecords, AGenerationKeyIsFullAt4095UntilItsLastInstanceIsFreed) {
  const uint32_t id = stats_alloc_id(13, 100);
  stats_allocation_record *record = allocation(id);
  std::set<uint32_t> sequences;
  std::vector<uint64_t> tags;
  for (int i = 0; i < 4095; ++i) {
    tags.push_back(count(record, id, 5));
    sequences.insert(stats_tag_sequence(tags.back()));
  }
  EXPECT_EQ(sequences.size(), 4095u);
  EXPECT_EQ(*sequences.begin(), 1u);
  EXPECT_EQ(*sequences.rbegin(), 4095u);

  stats_totals before = stats_get_totals();
  uint64_t tag = 0;
  bool needs_size = false;
  EXPECT_EQ(stats_count_instance(record, id, 5, -1, 0, &tag, &needs_size), STATS_GENERATION_FULL);
  EXPECT_EQ(stats_count_instance(record, id, 0x100005, -1, 0, &tag, &needs_size), STATS_GENERATION_FULL);
  stats_totals after = stats_get_totals();
  EXPECT_EQ(after.live_tagged, before.live_tagged);
  EXPECT_EQ(after.total_tagged, before.total_tagged);
  EXPECT_EQ(generation(stats_generation_key(id, 5)).recorded, 4095u);
  // Another generation of the same allocation is not affected.
  uint64_t other = count(record, id, 6);
  EXPECT_EQ(stats_tag_sequence(other), 1u);

  for (size_t i = 0; i + 1 < tags.size(); ++i) stats_object_free(nullptr, tags[i]);
  EXPECT_EQ(generation(stats_generation_key(id, 5)).live_count, 1u);
  EXPECT_EQ(stats_count_instance(record, id, 5, -1, 0, &tag, &needs_size), STATS_GENERATION_FULL);
  stats_object_free(nullptr, tags.back());
  EXPECT_FALSE(has_generation(stats_generation_key(id, 5)));
  EXPECT_EQ(stats_tag_sequence(count(record, id, 5)), 1u);
  EXPECT_TRUE(log().empty()) << log();
}

TEST_F(StatisticsRecords, FreesOfOtherTagsAreIgnoredAndUnknownOnesLogged) {
  stats_totals before = stats_get_totals();
  // Below 0x1000000: class indexes and tags of other kinds.
  for (uint64_t tag : {0x5ULL, 0x00FFFFFFULL, 0x0000000200180000ULL, 0x0000000700280005ULL}) {
    stats_free_instance(nullptr, tag);
  }
  EXPECT_TRUE(log().empty()) << log();

  // A statistics tag without records.
  const uint32_t id = stats_alloc_id(14, 100);
  uint64_t unknown = stats_build_tag(stats_generation_key(id, 3), 9);
  stats_free_instance(nullptr, unknown);
  char nil[32];  // how the C library prints a null pointer
  snprintf(nil, sizeof nil, "%p", (void *)nullptr);
  std::string expected = "ERROR - [" + std::to_string((long long)unknown) + "] [" +
                         std::to_string((long long)stats_generation_key(id, 3)) + "] [" + std::to_string(id) +
                         "] Generation " + nil + " (should be non-NULL), count 0 (should be above 0), allocation " +
                         nil + " (should be non-NULL).";
  EXPECT_TRUE(vt::contains(log(), expected)) << log() << "\n" << expected;

  // A known allocation whose generation went already: freed twice.
  stats_allocation_record *record = allocation(id);
  uint64_t tag = count(record, id, 3);
  stats_free_instance(nullptr, tag);
  stats_free_instance(nullptr, tag);
  EXPECT_EQ(vt::count_occurrences(log(), std::string("Generation ") + nil + " (should be non-NULL), count 0"), 2u)
      << log();
  EXPECT_EQ(info(id).live_instances, 0u);
  EXPECT_EQ(stats_get_totals().live_tagged, before.live_tagged);
}

TEST_F(StatisticsRecords, MemoryUsageCountsMapsStringsAndLiveInstances) {
  const uint32_t id = stats_alloc_id(15, 100);
  uint64_t before = stats_get_memory_usage();
  uint64_t strings_before = stats_get_totals().string_bytes;
  stats_allocation_record *record = allocation(id, "abc", "de");
  EXPECT_EQ(stats_get_totals().string_bytes - strings_before, 7u);
  EXPECT_EQ(stats_get_memory_usage() - before, 7u);  // the maps' chunks were made for more entries
  std::vector<uint64_t> tags;
  for (int i = 0; i < 10; ++i) tags.push_back(count(record, id, 1));
  EXPECT_EQ(stats_get_memory_usage() - before, 7u + 260u);
  for (uint64_t tag : tags) stats_object_free(nullptr, tag);
  EXPECT_EQ(stats_get_memory_usage() - before, 7u);

  // An existing record keeps its texts; the new ones are not stored.
  const char *failure = nullptr;
  const char *warning = nullptr;
  EXPECT_EQ(stats_insert_allocation(id, "other", "texts", true, 10, &failure, &warning), record);
  EXPECT_STREQ(stats_get_class_name(id), "abc");
  EXPECT_STREQ(stats_get_birthplace_string(id), "de");
  EXPECT_FALSE(info(id).is_classloader);
  EXPECT_EQ(stats_get_totals().string_bytes - strings_before, 7u);
}

TEST_F(StatisticsRecords, HighAllocationPointsAreListedNegativeAndFoundByEitherForm) {
  const uint32_t id = stats_alloc_id(16, 4096 + 100);
  ASSERT_GE(id, 0x80000000u);
  stats_allocation_record *record = allocation(id, "high.Name", "high place");
  uint64_t tag = count(record, id, 2);
  uint64_t count_of_ids = 0;
  int64_t *ids = nullptr;
  stats_get_all_allocation_ids(&count_of_ids, &ids);
  ASSERT_NE(ids, nullptr);
  bool negative = false, unsigned_form = false;
  for (uint64_t i = 0; i < count_of_ids; ++i) {
    negative |= ids[i] == (int64_t)(int32_t)id;
    unsigned_form |= ids[i] == (int64_t)id;
  }
  free(ids);
  EXPECT_TRUE(negative);
  EXPECT_FALSE(unsigned_form);
  EXPECT_STREQ(stats_get_class_name((int64_t)(int32_t)id), "high.Name");
  EXPECT_STREQ(stats_get_birthplace_string((int64_t)(int32_t)id), "high place");
  EXPECT_STREQ(stats_get_class_name((int64_t)id), "high.Name");
  EXPECT_EQ(stats_get_class_name(stats_alloc_id(16, 4096 + 101)), nullptr);
  stats_object_free(nullptr, tag);
  EXPECT_EQ(info(id).live_instances, 0u);
  EXPECT_TRUE(log().empty()) << log();
}

TEST_F(StatisticsRecords, AnInstanceWhoseTagCouldNotBeSetIsTakenBack) {
  const uint32_t id = stats_alloc_id(17, 100);
  stats_allocation_record *record = allocation(id);
  uint64_t kept = count(record, id, 1, STATS_ARRAY_BYTE, 20);
  stats_totals before = stats_get_totals();
  stats_generation_info generation_before = generation(stats_generation_key(id, 1));
  uint64_t failed = count(record, id, 1, STATS_ARRAY_BYTE, 100);
  stats_uncount_instance(failed, STATS_ARRAY_BYTE, 100);
  stats_totals after = stats_get_totals();
  EXPECT_EQ(after.live_tagged, before.live_tagged);
  EXPECT_EQ(after.total_tagged, before.total_tagged);
  stats_generation_info generation_after = generation(stats_generation_key(id, 1));
  EXPECT_EQ(generation_after.live_count, generation_before.live_count);
  EXPECT_EQ(generation_after.recorded, generation_before.recorded);
  EXPECT_EQ(generation_after.array_bytes, generation_before.array_bytes);
  EXPECT_EQ(generation_after.sequence, 2u);  // sequence numbers are not given out twice
  EXPECT_EQ(info(id).total_instances, 1u);

  // The only instance of a key taken back removes its record.
  uint64_t lone = count(record, id, 9);
  stats_uncount_instance(lone, -1, 0);
  EXPECT_FALSE(has_generation(stats_generation_key(id, 9)));
  EXPECT_EQ(info(id).live_generation_count, 1);
  stats_object_free(nullptr, kept);
}

TEST_F(StatisticsRecords, SizeIsWantedOnceThirtyGenerationsAreLive) {
  const uint32_t id = stats_alloc_id(18, 100);
  stats_allocation_record *record = allocation(id);
  std::vector<uint64_t> tags;
  for (uint32_t generation = 0; generation < 30; ++generation) {
    uint64_t tag = 0;
    bool needs_size = false;
    ASSERT_EQ(stats_count_instance(record, id, generation, -1, 0, &tag, &needs_size), STATS_COUNTED);
    EXPECT_EQ(needs_size, generation == 29) << generation;
    tags.push_back(tag);
  }
  stats_store_instance_size(id, 24);
  stats_store_instance_size(id, 32);  // the first size stays
  EXPECT_EQ(info(id).instance_size, 24);
  uint64_t tag = 0;
  bool needs_size = true;
  stats_count_instance(record, id, 30, -1, 0, &tag, &needs_size);
  EXPECT_FALSE(needs_size);
  tags.push_back(tag);
  for (uint64_t each : tags) stats_object_free(nullptr, each);
}

TEST_F(StatisticsRecords, ConcurrentCountsAndFreesEndExact) {
  const uint32_t id = stats_alloc_id(19, 100);
  stats_allocation_record *record = allocation(id);
  stats_totals before = stats_get_totals();
  constexpr int THREADS = 4;
  constexpr int ROUNDS = 200;
  constexpr int PER_ROUND = 50;
  std::vector<std::thread> threads;
  std::vector<int> refused(THREADS, 0);
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint64_t> tags;
      for (int round = 0; round < ROUNDS; ++round) {
        // All threads share the round's generation; the frees of one race the counts of others.
        for (int i = 0; i < PER_ROUND; ++i) {
          uint64_t tag = 0;
          bool needs_size = false;
          if (stats_count_instance(record, id, round, STATS_ARRAY_LONG, i, &tag, &needs_size) == STATS_COUNTED) {
            tags.push_back(tag);
          } else {
            ++refused[t];
          }
        }
        for (size_t i = 0; i < tags.size(); i += 2) stats_object_free(nullptr, tags[i]);
        std::vector<uint64_t> rest;
        for (size_t i = 1; i < tags.size(); i += 2) rest.push_back(tags[i]);
        tags.swap(rest);
      }
      for (uint64_t tag : tags) stats_object_free(nullptr, tag);
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(refused[t], 0);
  stats_totals after = stats_get_totals();
  EXPECT_EQ(after.live_tagged, before.live_tagged);
  EXPECT_EQ(after.total_tagged - before.total_tagged, (uint64_t)THREADS * ROUNDS * PER_ROUND);
  EXPECT_EQ(info(id).live_instances, 0u);
  EXPECT_EQ(info(id).live_generation_count, 0);
  for (uint32_t generation = 0; generation < ROUNDS; ++generation) {
    EXPECT_FALSE(has_generation(stats_generation_key(id, generation)));
  }
  EXPECT_TRUE(log().empty()) << log();
}

}  // namespace
