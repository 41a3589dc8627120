// Pure parts of user transactions and the contention probe: exclusion hashes, threshold
// conversion, the timing counters and the active-wait list.
#include <gtest/gtest.h>

#include <climits>

#include "transactions/contention_internal.h"
#include "core/hires_time.h"
#include "core/thread_info.h"
#include "transactions/timing_tracker.h"
#include "transactions/transaction_state.h"
#include "transactions/user_transaction.h"

namespace {

TEST(ContentionHashes, Djb2OverSignedBytesMethodHashContinuesOverTheName) {
  static_assert(contention_class_hash("") == 5381);
  static_assert(contention_class_hash("a") == 5381 * 33 + 'a');
  // Bytes above 0x7f count as negative: "\xc3" adds -61.
  EXPECT_EQ(contention_class_hash("\xc3"), 5381u * 33u - 61u);
  EXPECT_EQ(contention_method_hash("LShop;", "take"), contention_class_hash("LShop;take"));
}

TEST(UserTransactions, ThresholdsSaturateAndTimingsKeepASignedMaximum) {
  hires_conversions_initialise();
  EXPECT_EQ(user_transaction_ms_to_ticks(500), ms_to_hires_duration(500));
  EXPECT_EQ(user_transaction_ms_to_ticks(LLONG_MAX), INT64_MAX);
  EXPECT_EQ(user_transaction_ms_to_ticks(LLONG_MIN), INT64_MIN);

  timing_tracker_register_operation(nullptr, TIMING_FIS_READ_BLOCK, 5);  // no counters: nothing
  thread_locals record{};
  timing_operation_counter *counters = record.transaction_state.operation_timings;
  timing_tracker_register_operation(counters, TIMING_OPERATION_KINDS, 5);   // unknown kind: nothing
  timing_tracker_register_operation(counters, TIMING_FOS_WRITE_BLOCK, -3);  // never the maximum of a fresh entry
  timing_tracker_register_operation(counters, TIMING_FOS_WRITE_BLOCK, 40);
  timing_tracker_register_operation(counters, TIMING_FOS_WRITE_BLOCK, 12);
  const timing_operation_counter &counter = counters[TIMING_FOS_WRITE_BLOCK];
  EXPECT_EQ(counter.count, 3);
  EXPECT_EQ(counter.total, 49);
  EXPECT_EQ(counter.max, 40);
  thread_locals untouched{};
  untouched.transaction_state.operation_timings[TIMING_FOS_WRITE_BLOCK] = counter;
  EXPECT_EQ(memcmp(&record, &untouched, sizeof record), 0);
}

TEST(ContentionList, EntriesLinkAtTheTailAndUnlinkFromAnywhere) {
  contention_pre_initialise();
  contention_active_entry a{}, b{}, c{};
  auto order = [] {
    std::string names;
    for (contention_list_link *link = contention.active.next; link != &contention.active; link = link->next) {
      names += (char)('a' + link->self->start);
    }
    return names;
  };
  a.start = 0, b.start = 1, c.start = 2;
  agent_mutex_guard guard(contention.lock);
  contention_list_link_tail(&a);
  contention_list_link_tail(&b);
  contention_list_link_tail(&c);
  EXPECT_EQ(order(), "abc");
  contention_list_unlink(&b);
  EXPECT_EQ(b.link.next, nullptr);
  EXPECT_EQ(order(), "ac");
  contention_list_unlink(&c);  // the tail: the head's back link moves
  contention_list_link_tail(&b);
  EXPECT_EQ(order(), "ab");
  contention_list_unlink(&a);
  contention_list_unlink(&b);
  EXPECT_EQ(order(), "");
  EXPECT_EQ(contention.active.prev, &contention.active.next);
}

}  // namespace
