// High-resolution clock: tick conversions, the anchored wall clock, and the platform's time sources.
#pragma once

#include <cstdint>

#include "platform/clock.h"

struct hires_conversion_record {
  int64_t numerator;
  int64_t denominator;
  double factor;
};

// Ten years of 365 days, the span every conversion must handle without overflow.
constexpr int64_t HIRES_GUARANTEED_SECONDS = 315360000LL;

void hires_conversions_initialise();
int64_t hires_duration_to_ms(int64_t ticks);
int64_t hires_duration_to_ns(int64_t ticks);
int64_t ms_to_hires_duration(int64_t milliseconds);
// Milliseconds since a start count of perfCounterCurrent.
uint64_t hires_elapsed_ms(uint64_t start_count);
int64_t hires_conversion(int64_t value, const hires_conversion_record *record);
bool guarantee_conversion_range(int64_t range, hires_conversion_record *record);

// Prepares the three records for a given counter frequency (hires_conversions_initialise
// passes perfCounterFrequency()); exposed so other frequencies can be exercised.
void hires_conversions_initialise_with_frequency(int64_t frequency);
const hires_conversion_record *hires_record_to_ms();
const hires_conversion_record *hires_record_to_ns();
const hires_conversion_record *hires_record_ms_to_hires();

int64_t currentTimeMillis();
int64_t hires_time_to_epoch_time(uint64_t tick_count);
void hires_anchor_clock(int64_t epoch_millis);
