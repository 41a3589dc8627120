// Thread-local records through start, end and restart of a thread; line lookups in line tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/thread_info.h"
#include "transactions/thread_locals.h"

namespace {

void *slot_value() { return thread_local_get(thread_locals_get_handle()); }
// What ThreadEnd does with the record: the caller frees what the slot gave back.
void end_thread() { free(thread_locals_end()); }

TEST(ThreadLocals, RecordsAreLazyZeroedAndGoneForGoodAfterTheEnd) {
  std::thread worker([] {
    EXPECT_EQ(slot_value(), nullptr);
    thread_locals *record = thread_get_locals();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(thread_get_locals(), record);
    thread_locals zero{};
    EXPECT_EQ(memcmp(record, &zero, sizeof zero), 0);
    record->transaction_state.contributor_threshold = 7;

    end_thread();
    EXPECT_EQ(slot_value(), reinterpret_cast<void *>(THREAD_LOCALS_ENDED));
    // Agent code running after the end (a hook during shutdown) gets nothing and makes nothing.
    EXPECT_EQ(thread_get_locals(), nullptr);
    EXPECT_EQ(slot_value(), reinterpret_cast<void *>(THREAD_LOCALS_ENDED));
    // A second end is harmless.
    end_thread();
    EXPECT_EQ(thread_get_locals(), nullptr);

    // Starting again (a native thread that attaches anew) clears the marker; a fresh record follows.
    thread_start_callback(nullptr, nullptr, nullptr);
    EXPECT_EQ(slot_value(), nullptr);
    thread_locals *fresh = thread_get_locals();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->transaction_state.contributor_threshold, 0);
    end_thread();
  });
  worker.join();
}

TEST(ThreadLocals, StartOfAThreadWithARecordKeepsIt) {
  std::thread worker([] {
    thread_locals *record = thread_get_locals();
    thread_start_callback(nullptr, nullptr, nullptr);
    EXPECT_EQ(thread_get_locals(), record);
    end_thread();
    // An end without a record only leaves the marker.
  });
  worker.join();
  std::thread never_asked([] {
    end_thread();
    EXPECT_EQ(slot_value(), reinterpret_cast<void *>(THREAD_LOCALS_ENDED));
  });
  never_asked.join();
}

TEST(ThreadLocals, EachThreadHasItsOwnRecord) {
  thread_locals *records[2] = {nullptr, nullptr};
  std::thread a([&] {
    records[0] = thread_get_locals();
    end_thread();
  });
  a.join();
  std::thread b([&] {
    records[1] = thread_get_locals();
    EXPECT_NE(records[1], nullptr);
    end_thread();
  });
  b.join();
  EXPECT_NE(records[0], nullptr);
}

TEST(LineTables, WalkAndBinarySearchAgreeExceptBeforeTheFirstEntry) {
  const jvmtiLineNumberEntry table[] = {{4, 10}, {9, 11}, {9, 12}, {20, 15}, {33, 14}};
  const jint count = (jint)(sizeof table / sizeof table[0]);
  // Before the first entry: the walk gives the first line, the dump's search gives -1.
  EXPECT_EQ(thread_line_table_walk(table, count, 0), 10);
  EXPECT_EQ(thread_line_table_search(table, count, 0), -1);
  for (jlocation location = 4; location < 40; ++location) {
    jint expected = location < 9 ? 10 : location < 20 ? 12 : location < 33 ? 15 : 14;
    EXPECT_EQ(thread_line_table_walk(table, count, location), expected) << location;
    EXPECT_EQ(thread_line_table_search(table, count, location), expected) << location;
  }
  EXPECT_EQ(thread_line_table_walk(nullptr, 0, 5), -1);
  EXPECT_EQ(thread_line_table_search(nullptr, 0, 5), -1);
  const jvmtiLineNumberEntry single[] = {{0, 7}};
  EXPECT_EQ(thread_line_table_search(single, 1, 0), 7);
  EXPECT_EQ(thread_line_table_search(single, 1, 1000), 7);
  EXPECT_EQ(thread_line_table_search(single, 1, -1), -1);  // native frames report location -1
}

}  // namespace
