// The fast counter's choice, anchor and rate (the time-stamp counter check is per system:
// platform/linux/fast_clock_os.cpp, platform/win/fast_clock_os.cpp).
#include "platform/fast_clock.h"

#include <cmath>

fast_clock_record fast_clock;

fast_clock_reading fast_clock_read_both() {
  // Of a few tries, the one whose two high-resolution counts around the fast reading are closest.
  fast_clock_reading best{fast_clock_ticks(), perfCounterCurrent()};
  uint64_t best_gap = UINT64_MAX;
  const uint64_t microsecond = perfCounterFrequency() / 1000000;
  for (int attempt = 0; attempt < 16 && best_gap > microsecond; ++attempt) {
    uint64_t before = perfCounterCurrent();
    uint64_t ticks = fast_clock_ticks();
    uint64_t after = perfCounterCurrent();
    if (after - before < best_gap) {
      best_gap = after - before;
      best = {ticks, before + (after - before) / 2};
    }
  }
  return best;
}

void fast_clock_initialise_with(bool tsc_if_usable) {
  fast_clock.tsc = tsc_if_usable && fast_clock_tsc_usable();
  fast_clock.anchor = fast_clock_read_both();
  fast_clock.rate.store(0, std::memory_order_relaxed);
}

void fast_clock_initialise() { fast_clock_initialise_with(true); }

double fast_clock_rate() {
  if (!fast_clock.tsc) return 1.0;
  double rate = fast_clock.rate.load(std::memory_order_relaxed);
  if (rate > 0) return rate;
  const uint64_t settle = perfCounterFrequency() / 50;  // 20 ms
  fast_clock_reading now = fast_clock_read_both();
  while (now.counter - fast_clock.anchor.counter < settle) now = fast_clock_read_both();
  double measured = now.ticks > fast_clock.anchor.ticks ? (double)(now.counter - fast_clock.anchor.counter) /
                                                              (double)(now.ticks - fast_clock.anchor.ticks)
                                                        : 1.0;
  // The first measurement stays, whichever thread made it.
  return fast_clock.rate.compare_exchange_strong(rate, measured, std::memory_order_relaxed) ? measured : rate;
}

int64_t fast_clock_to_counter_duration(int64_t ticks, double rate) {
  return (int64_t)std::llround((double)ticks * rate);
}

int64_t fast_clock_from_counter_duration(int64_t counter_ticks, double rate) {
  return rate > 0 ? (int64_t)std::llround((double)counter_ticks / rate) : counter_ticks;
}

uint64_t fast_clock_to_counter(uint64_t ticks, double rate, const fast_clock_reading &near) {
  if (!fast_clock.tsc) return ticks;
  return near.counter + (uint64_t)fast_clock_to_counter_duration((int64_t)(ticks - near.ticks), rate);
}
