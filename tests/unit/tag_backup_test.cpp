// Tag kinds, the paged tag backup with its failures, and the translation of temporary tags.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "core/log.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"
#include "test_util.h"

namespace {

struct backup_deleter {
  void operator()(tag_backup *backup) const { tag_backup_release(backup); }
};
using backup_ptr = std::unique_ptr<tag_backup, backup_deleter>;

int page_allocations;
int pages_before_failure;  // pages the allocator still gives; negative: unlimited

void *counting_page_allocator(size_t size) {
  if (pages_before_failure == 0) return nullptr;
  if (pages_before_failure > 0) --pages_before_failure;
  ++page_allocations;
  return malloc(size);
}

class TagBackup : public ::testing::Test {
 protected:
  void SetUp() override {
    page_allocations = 0;
    pages_before_failure = -1;
    tag_backup_set_limits_for_tests(counting_page_allocator, 0);
  }
  void TearDown() override { tag_backup_set_limits_for_tests(nullptr, 0); }
};

TEST(TagKinds, KindsAndTemporaryNumbers) {
  EXPECT_TRUE(tag_is_temporary(0x00280005));
  EXPECT_EQ(tag_kind(0x00280005), TAG_KIND_TEMPORARY_CLASS_UNTAGGED);
  EXPECT_EQ(tag_temporary_number(0x00280005), 5u);
  EXPECT_EQ(tag_temporary_number(0x0000000100280005ULL), 524288u + 5u);
  EXPECT_TRUE(tag_is_temporary(0x00200001));
  EXPECT_EQ(tag_kind(0x00200001), TAG_KIND_TEMPORARY_CLASS_TAGGED);
  EXPECT_FALSE(tag_is_temporary(0x00180000));
  EXPECT_FALSE(tag_is_temporary(0));
  // The class loader test ignores the high word.
  EXPECT_TRUE(tag_is_classloader(0x00180007));
  EXPECT_TRUE(tag_is_classloader(0xFFFFFFFF00180007ULL));
  EXPECT_EQ(tag_make_classloader(2), 0x0000000200180000ULL);
  EXPECT_FALSE(tag_is_statistics(0x00180000));
  EXPECT_TRUE(tag_is_statistics(32u << 19));
  // Every number up to the backup's capacity survives encoding, for both kinds.
  for (uint64_t n : {1ULL, 0x7FFFFULL, 0x80000ULL, 0x80001ULL, (1ULL << 34)}) {
    for (uint32_t kind : {TAG_KIND_TEMPORARY_CLASS_TAGGED, TAG_KIND_TEMPORARY_CLASS_UNTAGGED}) {
      uint64_t tag = tag_make_temporary(n, kind);
      EXPECT_TRUE(tag_is_temporary(tag)) << n;
      EXPECT_EQ(tag_kind(tag), kind);
      EXPECT_EQ(tag_temporary_number(tag), n);
      // The id the graph file decodes: (tag & 0x7FFFF) | ((tag >> 13) & 0x7FFFFFFF80000).
      EXPECT_EQ((tag & 0x7FFFF) | ((tag >> 13) & 0x7FFFFFFF80000ULL), n);
    }
  }
}

TEST_F(TagBackup, IndexesAreConsecutiveAndTheSecondPageComesWithRecord131073) {
  backup_ptr backup(tag_backup_setup());
  ASSERT_TRUE(backup);
  EXPECT_EQ(backup->page_count, 0);
  EXPECT_EQ(backup->page_used, TAG_BACKUP_PAGE_TAGS);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 0, 77), 77u);  // nothing stored yet
  for (uint64_t i = 0; i < 131072; ++i) ASSERT_EQ(tag_backup_record(backup.get(), i * 3 + 1), i);
  EXPECT_EQ(page_allocations, 1);
  EXPECT_EQ(backup->page_count, 1);
  EXPECT_EQ(backup->page_used, TAG_BACKUP_PAGE_TAGS);
  EXPECT_EQ(tag_backup_record(backup.get(), 0xABCDEF), 131072u);
  EXPECT_EQ(page_allocations, 2);
  EXPECT_EQ(backup->page_count, 2);
  EXPECT_EQ(backup->page_used, 1);
  EXPECT_EQ(backup->failure, TAG_BACKUP_OK);

  EXPECT_EQ(tag_backup_get_original(backup.get(), 0, 0), 1u);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 131071, 0), 131071u * 3 + 1);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 131072, 0), 0xABCDEFu);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 131073, 5), 5u);      // beyond the last page's fill
  EXPECT_EQ(tag_backup_get_original(backup.get(), 1ULL << 40, 6), 6u);  // far beyond every page
  EXPECT_EQ(tag_backup_get_original(backup.get(), UINT64_MAX, 7), 7u);
  // A stored zero (an untagged object) is returned as such, not as the fallback.
  EXPECT_EQ(tag_backup_record(backup.get(), 0), 131073u);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 131073, 9), 0u);
}

TEST_F(TagBackup, PageFailureKeepsCountingAndAnswersTheFallback) {
  backup_ptr backup(tag_backup_setup());
  ASSERT_TRUE(backup);
  pages_before_failure = 1;
  for (uint64_t i = 0; i < 131072; ++i) tag_backup_record(backup.get(), i + 100);
  EXPECT_EQ(backup->failure, TAG_BACKUP_OK);
  EXPECT_EQ(tag_backup_record(backup.get(), 1), 131072u);
  EXPECT_EQ(backup->failure, TAG_BACKUP_OUT_OF_MEMORY);
  EXPECT_EQ(backup->page_count, 1);
  EXPECT_EQ(tag_backup_record(backup.get(), 2), 131073u);
  pages_before_failure = -1;  // memory is back: storing stays stopped, no page is tried again
  EXPECT_EQ(tag_backup_record(backup.get(), 3), 131074u);
  EXPECT_EQ(page_allocations, 1);
  EXPECT_EQ(backup->failure, TAG_BACKUP_OUT_OF_MEMORY);
  EXPECT_EQ(backup->record_count, 131075u);
  for (uint64_t index : {131072ULL, 131073ULL, 131074ULL}) {
    EXPECT_EQ(tag_backup_get_original(backup.get(), index, 0x55), 0x55u) << index;
  }
  EXPECT_EQ(tag_backup_get_original(backup.get(), 131071, 0x55), 131071u + 100);

  // A failure of the very first page stores nothing at all.
  backup_ptr empty(tag_backup_setup());
  pages_before_failure = 0;
  EXPECT_EQ(tag_backup_record(empty.get(), 42), 0u);
  EXPECT_EQ(empty->failure, TAG_BACKUP_OUT_OF_MEMORY);
  EXPECT_EQ(tag_backup_get_original(empty.get(), 0, 0x66), 0x66u);
}

TEST_F(TagBackup, AllPagesInUseGivesTooManyTags) {
  tag_backup_set_limits_for_tests(counting_page_allocator, 2);
  backup_ptr backup(tag_backup_setup());
  for (uint64_t i = 0; i < 2 * 131072; ++i) tag_backup_record(backup.get(), i);
  EXPECT_EQ(backup->failure, TAG_BACKUP_OK);
  EXPECT_EQ(tag_backup_record(backup.get(), 9), 2u * 131072);
  EXPECT_EQ(backup->failure, TAG_BACKUP_TOO_MANY_TAGS);
  EXPECT_EQ(page_allocations, 2);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 2 * 131072 - 1, 0), 2u * 131072 - 1);
  EXPECT_EQ(tag_backup_get_original(backup.get(), 2 * 131072, 0x77), 0x77u);
}

class PermanentTags : public ::testing::Test {
 protected:
  void SetUp() override {
    tag_access_pre_initialise();
    ASSERT_TRUE(log_use_directory("unit", (logs_.path() + "/logs").c_str()));
  }
  void TearDown() override { tag_access_deregister_backup(); }
  std::string log() const {
    std::string text;
    for (const std::string &name : vt::list_directory(logs_.path() + "/logs")) {
      text += vt::read_file(logs_.path() + "/logs/" + name);
    }
    return text;
  }
  vt::TempDir logs_;
};

TEST_F(PermanentTags, TemporaryTagsAreTranslatedThroughTheRegisteredBackup) {
  EXPECT_EQ(tag_access_get_permanent_tag(0), 0u);
  EXPECT_EQ(tag_access_get_permanent_tag(0x0000000300180000ULL), 0x0000000300180000ULL);
  EXPECT_EQ(tag_access_get_permanent_tag(0x0000000500000007ULL), 0x0000000500000007ULL);

  backup_ptr backup(tag_backup_setup());
  uint64_t loader_tag = tag_make_classloader(7);
  uint64_t statistics_tag = (5ULL << 32) | (40u << 19) | 3;
  uint64_t first = tag_backup_record(backup.get(), loader_tag);
  uint64_t second = tag_backup_record(backup.get(), statistics_tag);
  uint64_t third = tag_backup_record(backup.get(), 0);
  tag_access_register_backup(backup.get());
  EXPECT_EQ(tag_access_get_permanent_tag(tag_make_temporary(first + 1, 4)), loader_tag);
  EXPECT_EQ(tag_access_get_permanent_tag(tag_make_temporary(second + 1, 5)), statistics_tag);
  EXPECT_EQ(tag_access_get_permanent_tag(tag_make_temporary(third + 1, 5)), 0u);  // was untagged
  EXPECT_TRUE(log().find("no match") == std::string::npos) << log();

  // Beyond the records, and number 0, which no record has.
  EXPECT_EQ(tag_access_get_permanent_tag(tag_make_temporary(4, 4)), 0u);
  EXPECT_EQ(tag_access_get_permanent_tag(0x00200000), 0u);
  EXPECT_EQ(vt::count_occurrences(log(),
                                  "ERROR - Could not get original tag from temporary tag - no match. "
                                  "(tag_access_get_permanent_tag:99)"),
            2u)
      << log();

  tag_access_deregister_backup();
  EXPECT_EQ(tag_access_get_permanent_tag(tag_make_temporary(first + 1, 4)), 0u);
  EXPECT_EQ(vt::count_occurrences(log(),
                                  "ERROR - Could not get original tag from temporary tag. "
                                  "(tag_access_get_permanent_tag:87)"),
            1u)
      << log();
}

}  // namespace
