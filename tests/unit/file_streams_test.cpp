// The file stream tracker's per-transaction table: entries per (stream, kind), the victim rule,
// the aggregate row, stack samples and their limits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transactions/file_streams.h"
#include "core/hires_time.h"
#include "platform/fast_clock.h"

namespace {

int stacks_taken = 0;
bool numbered_stack(char *storage, size_t size) {
  snprintf(storage, size, "Lvorkel/Test;.frame%d:1(0)\n", ++stacks_taken);
  return true;
}
void *no_memory(size_t) { return nullptr; }

class FileStreamTable : public ::testing::Test {
 protected:
  void SetUp() override {
    hires_conversions_initialise();
    fast_clock_initialise_with(false);  // the tracker's ticks are the high-resolution counter's here
    ASSERT_TRUE(file_streams_pre_initialise());
    file_streams_set_stack_source_for_tests(numbered_stack);
    stacks_taken = 0;
    locals_ = static_cast<file_streams_locals *>(calloc(1, sizeof(file_streams_locals)));
    file_streams_locals_init(locals_);
  }
  void TearDown() override {
    file_streams_locals_free(locals_);
    free(locals_);
    file_streams_set_stack_source_for_tests(nullptr);
    file_streams_set_allocator_for_tests(nullptr);
    file_streams_set_stack_interval_for_tests(ms_to_hires_duration(FILE_STREAMS_STACK_INTERVAL_MS));
  }
  // One operation of duration ticks ending at end.
  void op(uint64_t key, int32_t kind, int64_t bytes, int64_t end, int64_t duration) {
    file_streams_account(locals_, key, kind, bytes, end - duration, end);
  }
  file_streams_locals *locals_ = nullptr;
};

TEST_F(FileStreamTable, OneEntryPerStreamAndKindKeepsItsPathAfterTheStreamCloses) {
  uint64_t key = file_streams_registry_add("/data/catalogue.txt");
  ASSERT_NE(key, 0u);
  op(key, TIMING_FIS_READ_BLOCK, 4096, 110, 10);
  op(key, TIMING_FIS_READ_BLOCK, 0, 125, 5);  // end of file: counts, moves nothing
  op(key, TIMING_FIS_READ_BYTE, 1, 130, 1);
  op(key, TIMING_FIS_READ_BLOCK, 100, 140, 2);  // found by search, not appended
  ASSERT_EQ(locals_->entry_count, 2u);
  const file_streams_entry &block = locals_->entries[0];
  EXPECT_EQ(block.kind, TIMING_FIS_READ_BLOCK);
  EXPECT_EQ(block.count, 3u);
  EXPECT_EQ(block.bytes, 4196);
  EXPECT_EQ(block.duration, 17);
  EXPECT_EQ(block.first_start, 100);
  EXPECT_EQ(block.last_end, 140);
  EXPECT_STREQ(block.path, "/data/catalogue.txt");
  EXPECT_EQ(locals_->entries[1].count, 1u);

  file_streams_registry_remove(key);
  EXPECT_STREQ(locals_->entries[0].path, "/data/catalogue.txt");
  op(key, TIMING_FOS_WRITE_BYTE, 1, 150, 1);  // a new entry for a key no longer registered
  EXPECT_EQ(locals_->entries[2].path, nullptr);
  EXPECT_EQ(locals_->entries[2].count, 1u);
}

TEST_F(FileStreamTable, AFullTableEvictsTheLeastDurationTheLaterOfEqualOnes) {
  uint64_t first = file_streams_registry_add("/a");
  for (uint64_t i = 0; i < FILE_STREAMS_MAX_ENTRIES; ++i) {
    int64_t duration = i == 10 || i == 20 ? 1 : 100 + (int64_t)i;
    op(first + i, TIMING_FOS_WRITE_BLOCK, 10, 1000 + (int64_t)i, duration);
  }
  for (uint64_t i = 1; i < FILE_STREAMS_MAX_ENTRIES; ++i) file_streams_registry_add("/more");
  ASSERT_EQ(locals_->entry_count, FILE_STREAMS_MAX_ENTRIES);
  EXPECT_EQ(locals_->aggregate.count, 0u);

  uint64_t newcomer = file_streams_registry_add("/new");
  op(newcomer, TIMING_FOS_WRITE_BLOCK, 7, 2000, 3);
  EXPECT_EQ(locals_->entry_count, FILE_STREAMS_MAX_ENTRIES);
  EXPECT_EQ(locals_->evicted_count, 1u);
  EXPECT_EQ(locals_->entries[20].key, newcomer);
  EXPECT_STREQ(locals_->entries[20].path, "/new");
  EXPECT_EQ(locals_->aggregate.kind, FILE_STREAMS_AGGREGATE);
  EXPECT_EQ(locals_->aggregate.count, 1u);
  EXPECT_EQ(locals_->aggregate.bytes, 10);
  EXPECT_EQ(locals_->aggregate.duration, 1);
  EXPECT_EQ(locals_->aggregate.first_start, 1019);
  EXPECT_EQ(locals_->aggregate.last_end, 1020);

  // An older stream's new kind evicts too: now the other entry of duration 1.
  op(first, TIMING_FIS_READ_BYTE, 1, 3000, 50);
  EXPECT_EQ(locals_->evicted_count, 2u);
  EXPECT_EQ(locals_->entries[10].key, first);
  EXPECT_EQ(locals_->entries[10].kind, TIMING_FIS_READ_BYTE);
  EXPECT_EQ(locals_->aggregate.count, 2u);
  EXPECT_EQ(locals_->aggregate.first_start, 1009);
  EXPECT_EQ(locals_->aggregate.last_end, 1020);
  // A stream still in the table is found, not evicted.
  op(first + 5, TIMING_FOS_WRITE_BLOCK, 10, 4000, 1);
  EXPECT_EQ(locals_->evicted_count, 2u);
  EXPECT_EQ(locals_->entries[5].count, 2u);
}

TEST_F(FileStreamTable, StacksAreSampledOncePerIntervalAndAtMostAHundredAreSaved) {
  const int64_t interval = ms_to_hires_duration(FILE_STREAMS_STACK_INTERVAL_MS);
  uint64_t a = file_streams_registry_add("/a"), b = file_streams_registry_add("/b");
  int64_t now = file_streams_now();
  op(a, TIMING_FIS_READ_BLOCK, 1, now, 1);  // before the first interval after the join ended
  EXPECT_EQ(locals_->entries[0].stack, nullptr);
  now += interval;
  op(a, TIMING_FIS_READ_BLOCK, 1, now, 1);
  EXPECT_STREQ(locals_->entries[0].stack, "Lvorkel/Test;.frame1:1(0)\n");
  op(b, TIMING_FIS_READ_BLOCK, 1, now, 1);  // same interval: no stack for the second stream
  EXPECT_EQ(locals_->entries[1].stack, nullptr);
  op(a, TIMING_FIS_READ_BLOCK, 1, now + 2 * interval, 1);  // one stack per entry
  EXPECT_EQ(stacks_taken, 1);
  op(b, TIMING_FIS_READ_BLOCK, 1, now + 2 * interval, 1);
  EXPECT_STREQ(locals_->entries[1].stack, "Lvorkel/Test;.frame2:1(0)\n");

  // A stack buffer that cannot be had still moves the next sample time on.
  file_streams_set_allocator_for_tests(no_memory);
  uint64_t c = file_streams_registry_add("/c");
  file_streams_set_allocator_for_tests(nullptr);
  EXPECT_EQ(c, 0u);
  c = file_streams_registry_add("/c");
  file_streams_set_allocator_for_tests(no_memory);
  int64_t later = file_streams_now() + 10 * interval;
  op(c, TIMING_FOS_WRITE_BYTE, 1, later, 1);
  file_streams_set_allocator_for_tests(nullptr);
  EXPECT_EQ(locals_->entries[2].stack, nullptr);
  EXPECT_EQ(locals_->entries[2].path, nullptr);
  EXPECT_GE(locals_->next_stack_time, file_streams_now());
  EXPECT_EQ(stacks_taken, 2);

  // Without spacing every new entry has a stack: 160 streams evict 110, of which 100 stacks stay.
  file_streams_locals_free(locals_);
  file_streams_locals_init(locals_);
  file_streams_set_stack_interval_for_tests(0);
  locals_->next_stack_time = 0;
  uint64_t base = file_streams_registry_add("/many");
  for (uint64_t i = 0; i < 160; ++i) op(base + i, TIMING_FIS_READ_BYTE, 1, file_streams_now(), 2);
  EXPECT_EQ(locals_->evicted_count, 110u);
  EXPECT_EQ(locals_->aggregate.count, 110u);
  ASSERT_EQ(locals_->saved_stack_count, FILE_STREAMS_MAX_SAVED_STACKS);
  // Equal durations: the victim is always the last slot, so the saved stacks are those of streams
  // 50 to 149 (frames 52 to 151); the ten after them were dropped.
  EXPECT_STREQ(locals_->saved_stacks[0], "Lvorkel/Test;.frame52:1(0)\n");
  EXPECT_STREQ(locals_->saved_stacks[99], "Lvorkel/Test;.frame151:1(0)\n");
  for (uint64_t i = 0; i < FILE_STREAMS_MAX_ENTRIES; ++i) EXPECT_NE(locals_->entries[i].stack, nullptr);

  file_streams_locals_free(locals_);
  file_streams_locals_init(locals_);
  EXPECT_EQ(locals_->entry_count, 0u);
  EXPECT_EQ(locals_->saved_stack_count, 0u);
  EXPECT_EQ(locals_->max_key, INT64_MIN);
  EXPECT_EQ(locals_->aggregate.count, 0u);
}

// The hooks of many threads share the registry (a map under the tracker's lock), each with the
// table of its own transaction.
TEST_F(FileStreamTable, ThreadsShareTheRegistryEachWithATableOfItsOwnPaths) {
  constexpr int THREADS = 4;
  constexpr int STREAMS = 300;
  file_streams_set_stack_source_for_tests([](char *storage, size_t size) {
    snprintf(storage, size, "Lvorkel/Test;.run:1(0)\n");
    return true;
  });
  uint64_t registered_before = file_streams_registry_size();
  std::vector<int> faults(THREADS, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&faults, t] {
      auto *locals = static_cast<file_streams_locals *>(calloc(1, sizeof(file_streams_locals)));
      file_streams_locals_init(locals);
      std::string prefix = "/thread" + std::to_string(t) + "/";
      std::vector<uint64_t> kept;
      for (int i = 0; i < STREAMS; ++i) {
        std::string path = prefix + std::to_string(i);
        uint64_t key = file_streams_registry_add(path.c_str());
        file_streams_account(locals, key, TIMING_FIS_READ_BLOCK, 10, 1000 + i, 1001 + i);
        char *copy = file_streams_registry_copy_path(key);
        if (key == 0 || copy == nullptr || path != copy) ++faults[t];
        free(copy);
        if (i % 2 == 0) {
          file_streams_registry_remove(key);
        } else {
          kept.push_back(key);
        }
      }
      for (uint64_t i = 0; i < locals->entry_count; ++i) {
        const char *path = locals->entries[i].path;
        if (path == nullptr || std::string(path).rfind(prefix, 0) != 0) ++faults[t];
      }
      for (uint64_t key : kept) file_streams_registry_remove(key);
      file_streams_locals_free(locals);
      free(locals);
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
  EXPECT_EQ(file_streams_registry_size(), registered_before);
}

}  // namespace
