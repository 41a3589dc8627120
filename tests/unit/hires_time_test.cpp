// Tick conversions and the anchored clock.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <iostream>
#include <thread>

#include "core/hires_time.h"
#include "platform/fast_clock.h"

namespace {

class HiresConversions : public ::testing::Test {
 protected:
  void TearDown() override { hires_conversions_initialise(); }
};

TEST_F(HiresConversions, NanosecondCounterIsExactInteger) {
  hires_conversions_initialise_with_frequency(1000000000);
  EXPECT_EQ(hires_record_to_ms()->numerator, 1);
  EXPECT_EQ(hires_record_to_ms()->denominator, 1000000);
  EXPECT_EQ(hires_record_to_ns()->numerator, 1);
  EXPECT_EQ(hires_record_to_ns()->denominator, 1);
  EXPECT_EQ(hires_record_ms_to_hires()->numerator, 1000000);
  EXPECT_EQ(hires_record_ms_to_hires()->denominator, 1);
  EXPECT_EQ(hires_duration_to_ms(1999999), 1);
  EXPECT_EQ(hires_duration_to_ns(5), 5);
  EXPECT_EQ(ms_to_hires_duration(3), 3000000);
  // Negative durations truncate toward zero.
  EXPECT_EQ(hires_duration_to_ms(-1999999), -1);
}

TEST_F(HiresConversions, TenMegahertzCounter) {
  hires_conversions_initialise_with_frequency(10000000);
  EXPECT_EQ(hires_record_to_ms()->numerator, 1);
  EXPECT_EQ(hires_record_to_ms()->denominator, 10000);
  EXPECT_EQ(hires_record_to_ns()->numerator, 100);
  EXPECT_EQ(hires_record_to_ns()->denominator, 1);
  EXPECT_EQ(hires_record_ms_to_hires()->numerator, 10000);
  EXPECT_EQ(hires_record_ms_to_hires()->denominator, 1);
}

TEST_F(HiresConversions, AcpiCounterSwitchesNanosecondsToFloatingPoint) {
  hires_conversions_initialise_with_frequency(3579545);
  EXPECT_EQ(hires_record_to_ms()->numerator, 200);
  EXPECT_EQ(hires_record_to_ms()->denominator, 715909);
  EXPECT_EQ(hires_record_to_ns()->numerator, 0);
  EXPECT_EQ(hires_record_to_ns()->denominator, 1);
  EXPECT_NEAR(hires_record_to_ns()->factor, 279.365, 0.001);
  EXPECT_EQ(hires_record_ms_to_hires()->numerator, 715909);
  EXPECT_EQ(hires_record_ms_to_hires()->denominator, 200);
  // Ten years of ticks convert without overflow on both paths.
  int64_t ten_years = 3579545LL * HIRES_GUARANTEED_SECONDS;
  EXPECT_EQ(hires_duration_to_ms(ten_years), HIRES_GUARANTEED_SECONDS * 1000);
  EXPECT_NEAR((double)hires_duration_to_ns(ten_years), (double)HIRES_GUARANTEED_SECONDS * 1e9, 1e6);
}

TEST_F(HiresConversions, GuaranteeFailsWhenEvenTheRoundedFactorOverflows) {
  hires_conversion_record record{INT64_MAX / 2, 1, 0.0};
  EXPECT_FALSE(guarantee_conversion_range(1000, &record));
  EXPECT_EQ(record.numerator, 0);
  hires_conversion_record zero{1000, 0, 0.0};
  EXPECT_FALSE(guarantee_conversion_range(1000, &zero));
  EXPECT_EQ(hires_conversion(12345, &zero), 0);
  hires_conversion_record fine{6, 4, 0.0};
  EXPECT_TRUE(guarantee_conversion_range(1000, &fine));
  EXPECT_EQ(fine.numerator, 3);
  EXPECT_EQ(fine.denominator, 2);
}

TEST_F(HiresConversions, ZeroFrequencyMakesEveryConversionZero) {
  hires_conversions_initialise_with_frequency(0);
  EXPECT_EQ(hires_duration_to_ms(123456789), 0);
  EXPECT_EQ(hires_duration_to_ns(123456789), 0);
  EXPECT_EQ(ms_to_hires_duration(5), 0);
}

TEST(AnchoredClock, FollowsTheAnchorAndNeverGoesBackwards) {
  hires_conversions_initialise();
  int64_t system = systemTimeMillis();
  int64_t before = currentTimeMillis();
  EXPECT_LE(std::llabs(before - system), 50);

  hires_anchor_clock(system);
  int64_t anchored = currentTimeMillis();
  EXPECT_GE(anchored, system);
  EXPECT_LT(anchored - system, 1000);
  hires_anchor_clock(1600000000000LL);
  int64_t now = currentTimeMillis();
  // Re-anchoring to an earlier time keeps the clock at what it had handed out.
  EXPECT_GE(now, anchored);

  int64_t future = system + 2000;
  hires_anchor_clock(future);
  int64_t after = currentTimeMillis();
  EXPECT_GE(after, future);
  EXPECT_LT(after - future, 1000);
  uint64_t ticks = perfCounterCurrent();
  EXPECT_NEAR((double)hires_time_to_epoch_time(ticks), (double)currentTimeMillis(), 5.0);
}

TEST(AnchoredClock, ConcurrentReadersNeverSeeTimeRunBackwards) {
  hires_conversions_initialise();
  std::atomic<bool> stop{false};
  std::atomic<int> backwards{0};
  std::thread reader([&] {
    int64_t last = currentTimeMillis();
    while (!stop) {
      int64_t now = currentTimeMillis();
      if (now < last) ++backwards;
      last = now;
    }
  });
  int64_t base = systemTimeMillis();
  for (int i = 0; i < 2000; ++i) hires_anchor_clock(base - (i % 7) * 1000);
  stop = true;
  reader.join();
  EXPECT_EQ(backwards.load(), 0);
}

TEST(PlatformTime, DateAndCountersAreSane) {
  date_record date{};
  date_get_current(&date);
  EXPECT_GE(date.year, 2020);
  EXPECT_GE(date.month, 1);
  EXPECT_LE(date.month, 12);
  EXPECT_LT(date.millisecond, 1000);
#ifdef _WIN32
  EXPECT_GT(perfCounterFrequency(), 0u);  // the performance counter's own
  EXPECT_EQ(perfCounterFrequencyMsec(), perfCounterFrequency() / 1000);
#else
  EXPECT_EQ(perfCounterFrequency(), 1000000000u);
  EXPECT_EQ(perfCounterFrequencyMsec(), 1000000u);
#endif
  uint64_t a = perfCounterCurrent();
  uint64_t b = perfCounterCurrent();
  EXPECT_LE(a, b);
}

// The fast counter (the time-stamp counter where this machine allows it) against the
// high-resolution one over 50 ms: the rate, measured once, converts the span within 1%, gives a
// span back after the round trip, and a point in time maps to the count read with it.
TEST(FastClock, SpansAndPointsAgreeWithTheHighResolutionCounter) {
  fast_clock_initialise();
  fast_clock_reading start = fast_clock_read_both();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  fast_clock_reading end = fast_clock_read_both();
  const double rate = fast_clock_rate();
  const auto counted = (double)(end.counter - start.counter);
  EXPECT_NEAR((double)fast_clock_to_counter_duration((int64_t)(end.ticks - start.ticks), rate), counted, counted / 100);
  EXPECT_NEAR((double)fast_clock_to_counter(start.ticks, rate, end), (double)start.counter, counted / 100);
  EXPECT_EQ(fast_clock_to_counter_duration(fast_clock_from_counter_duration(123456789, rate), rate), 123456789);
  EXPECT_EQ(fast_clock_rate(), rate);
  std::cout << "[ counter  ] " << (fast_clock.tsc ? "time-stamp counter" : "high-resolution counter") << ", " << rate
            << " high-resolution ticks per tick" << std::endl;
  fast_clock_initialise_with(false);  // the other tests' tracker clock
  EXPECT_EQ(fast_clock_rate(), 1.0);
}

}  // namespace
