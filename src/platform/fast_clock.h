// The fast counter: the cheapest monotonic clock of the machine, for timing operations of about a
// microsecond. On x86-64 Linux it is the processor's time-stamp counter when the processor keeps
// it invariant and the kernel itself uses it as its clock source; everywhere else, and before
// fast_clock_initialise, it is the high-resolution counter (perfCounterCurrent). Its ticks have no
// fixed rate: they are converted to the high-resolution counter's ticks through the rate measured
// between the readings of both taken at initialisation and at the conversion.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

#if defined(__x86_64__) && defined(__linux__)
#include <x86intrin.h>
#define VORKEL_FAST_CLOCK_TSC 1
#endif

// A fast reading and the high-resolution count taken together with it.
struct fast_clock_reading {
  uint64_t ticks;
  uint64_t counter;
};

// Written by fast_clock_initialise, before any reader; the rate once, by the first conversion.
struct fast_clock_record {
  bool tsc;  // the ticks are the time-stamp counter's
  fast_clock_reading anchor;
  std::atomic<double> rate;  // 0 until measured
};
extern fast_clock_record fast_clock;

// Chooses the counter and takes the anchor. Called once at start-up.
void fast_clock_initialise();
// Tests only: the counter when the machine allows it (true), else the high-resolution counter.
void fast_clock_initialise_with(bool tsc_if_usable);
// Whether this machine's processor and kernel let the time-stamp counter serve (Linux, x86-64).
bool fast_clock_tsc_usable();

inline uint64_t fast_clock_ticks() {
#ifdef VORKEL_FAST_CLOCK_TSC
  if (fast_clock.tsc) return __rdtsc();
#endif
  return perfCounterCurrent();
}

// Both counters now, read so close together that a preempted thread does not skew the pair.
fast_clock_reading fast_clock_read_both();
// High-resolution ticks per fast tick (1 for the high-resolution counter itself), measured once
// from the anchor to the first call; that call waits until 20 ms have passed since the anchor.
double fast_clock_rate();
// Spans of fast ticks in high-resolution ticks and back, at the given rate (the round trip gives
// back the high-resolution span to the tick, the fast counter being the finer one).
int64_t fast_clock_to_counter_duration(int64_t ticks, double rate);
int64_t fast_clock_from_counter_duration(int64_t counter_ticks, double rate);
// The high-resolution count at a fast tick, from a reading of both taken near it.
uint64_t fast_clock_to_counter(uint64_t ticks, double rate, const fast_clock_reading &near);
