// The snapshot's memory guard, with a memory source the test controls, and the system's figures.
#include <gtest/gtest.h>

#include "core/log.h"
#include "snapshot/snapshot_memory_tracker.h"
#include "platform/system_memory.h"
#include "test_util.h"

namespace {

struct FakeMemory {
  static inline uint64_t maximum = 0;
  static inline uint64_t available = 0;
  static inline bool allocation_works = true;
  static inline int available_reads = 0;
  static inline uint64_t last_allocation = 0;
  static uint64_t read_maximum() { return maximum; }
  static uint64_t read_available() {
    ++available_reads;
    return available;
  }
  static bool allocate(uint64_t size) {
    last_allocation = size;
    return allocation_works;
  }
};

const memory_source fake{FakeMemory::read_maximum, FakeMemory::read_available, FakeMemory::allocate};

class MemoryTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    log_use_directory("unit", (logs_.path() + "/logs").c_str());
    FakeMemory::maximum = 16ULL << 30;
    FakeMemory::available = 8ULL << 30;
    FakeMemory::allocation_works = true;
    FakeMemory::available_reads = 0;
    snapshot_memory_tracker_set_source(&fake);
  }
  void TearDown() override { snapshot_memory_tracker_set_source(nullptr); }
  std::string log() { return vt::NativeLog::read(logs_ / "logs").text(); }
  vt::TempDir logs_{"vorkel-memory"};
};

TEST_F(MemoryTracker, MinimumIsTwoPercentOfPhysicalButAtLeastFiftyMegabytes) {
  memory_tracker tracker;
  FakeMemory::maximum = 10ULL << 30;
  snapshot_memory_tracker_initialise(&tracker);
  EXPECT_EQ(tracker.minimum_available, 214748364u);
  FakeMemory::maximum = 1ULL << 30;
  snapshot_memory_tracker_initialise(&tracker);
  EXPECT_EQ(tracker.minimum_available, 52428800u);
  FakeMemory::maximum = SYSTEM_MEMORY_UNKNOWN;
  snapshot_memory_tracker_initialise(&tracker);
  EXPECT_EQ(tracker.minimum_available, 52428800u);
  EXPECT_EQ(tracker.check_interval, 131072u);
}

TEST_F(MemoryTracker, NeedFollowsTheObjectCount) {
  EXPECT_EQ(snapshot_memory_tracker_need(0, MEMORY_TRACKER_INITIAL_RESERVE), 9798144u);
  // Past 4 x 307261 objects the table term grows with the count, and it stops at 39321600 entries.
  uint64_t n = 10000000;
  EXPECT_EQ(snapshot_memory_tracker_need(n - 131072, 0), 16 * n + 8 * (n / 4));
  uint64_t huge = 1ULL << 40;
  EXPECT_EQ(snapshot_memory_tracker_need(huge - 131072, 0), 16 * huge + 8 * 39321600ULL);
}

TEST_F(MemoryTracker, InitialCheckPassesWithRoomAndTestsARealAllocationOfNeed) {
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);
  EXPECT_TRUE(snapshot_memory_tracker_initial_check(&tracker));
  EXPECT_EQ(FakeMemory::last_allocation, 9798144u);
  EXPECT_TRUE(vt::contains(log(),
                           "INFO  - Memory state before taking a memory snapshot: 17179869184 total physical "
                           "memory, 8589934592 available (minimum allowed 343597383)."));
}

TEST_F(MemoryTracker, TooLittleAvailableFailsWithoutWrapAround) {
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);
  FakeMemory::available = 1000;  // far below need: no unsigned wrap makes it pass
  EXPECT_FALSE(snapshot_memory_tracker_initial_check(&tracker));
  EXPECT_TRUE(tracker.failed);
  std::string text = log();
  EXPECT_TRUE(vt::contains(text,
                           "WARN  - Available memory safety check failed - available 1000 of 17179869184, but a "
                           "decrease by 9798144 must leave it above the minimum threshold of 343597383"));
  EXPECT_TRUE(vt::contains(text, "WARN  - Memory snapshot not started due to failed memory usage safety check."));
  // Once failed, every visit fails without a new check.
  FakeMemory::available = 8ULL << 30;
  FakeMemory::available_reads = 0;
  EXPECT_FALSE(snapshot_memory_tracker_visit(&tracker));
  EXPECT_EQ(FakeMemory::available_reads, 0);
}

TEST_F(MemoryTracker, AFailedTestAllocationFailsTheCheck) {
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);
  FakeMemory::allocation_works = false;
  EXPECT_FALSE(snapshot_memory_tracker_initial_check(&tracker));
  EXPECT_TRUE(vt::contains(log(),
                           "Test allocation of size 9798144 failed even though 8589934592 is supposed to be "
                           "available."));
}

TEST_F(MemoryTracker, UnknownAvailableMemoryPassesTheComparison) {
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);
  FakeMemory::available = SYSTEM_MEMORY_UNKNOWN;
  EXPECT_TRUE(snapshot_memory_tracker_initial_check(&tracker));
}

TEST_F(MemoryTracker, OnlyEvery131072ndVisitChecks) {
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);
  for (int i = 1; i < 131072; ++i) ASSERT_TRUE(snapshot_memory_tracker_visit(&tracker));
  EXPECT_EQ(FakeMemory::available_reads, 0);
  EXPECT_TRUE(snapshot_memory_tracker_visit(&tracker));  // the 131072nd
  EXPECT_EQ(FakeMemory::available_reads, 1);
  EXPECT_TRUE(snapshot_memory_tracker_visit(&tracker));  // the 131073rd
  EXPECT_EQ(FakeMemory::available_reads, 1);

  // The periodic check counts what was tagged and aborts the walk when memory runs short.
  snapshot_memory_tracker_tagged(&tracker, 50000000);
  FakeMemory::available = 1ULL << 30;
  for (int i = 0; i < 131070; ++i) ASSERT_TRUE(snapshot_memory_tracker_visit(&tracker));
  EXPECT_FALSE(snapshot_memory_tracker_visit(&tracker));
  EXPECT_TRUE(vt::contains(log(), "WARN  - Memory snapshot aborted due to failed memory usage safety check."));
}

TEST(KernelMemory, ReadsTheKernelsFigures) {
  uint64_t maximum = system_memory_get_maximum();
  uint64_t available = system_memory_get_available();
  ASSERT_NE(maximum, SYSTEM_MEMORY_UNKNOWN);
  ASSERT_NE(available, SYSTEM_MEMORY_UNKNOWN);
  EXPECT_GT(maximum, 64ULL << 20);
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, maximum);
  EXPECT_TRUE(system_memory_test_allocation(64ULL << 20));
  // More than the address space can hold is refused.
  EXPECT_FALSE(system_memory_test_allocation(1ULL << 60));
}

}  // namespace
