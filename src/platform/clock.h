// Time sources: the wall clock, the high-resolution counter and the local date. One
// implementation per operating system (platform/linux/hires_time.cpp, platform/win/hires_time.cpp).
#pragma once

#include <cstdint>

struct date_record {
  int32_t year;   // four digits
  int32_t month;  // 1-12
  int32_t day;    // 1-31
  int32_t hour;   // 0-23
  int32_t minute;
  int32_t second;
  int32_t millisecond;  // 0-999
};

int64_t systemTimeMillis();
uint64_t perfCounterCurrent();
uint64_t perfCounterFrequency();
uint64_t perfCounterFrequencyMsec();
void date_get_current(date_record *date);
