// Time sources on Windows: the system time and the performance counter.
#include "platform/clock.h"

#include <windows.h>

namespace {
struct {
  uint64_t frequency;
  uint64_t msec_frequency;
} perf_counter;

// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;
}  // namespace

int64_t systemTimeMillis() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return ((int64_t)ticks.QuadPart - FILETIME_UNIX_EPOCH) / 10000;
}

uint64_t perfCounterCurrent() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (uint64_t)now.QuadPart;
}

uint64_t perfCounterFrequency() {
  if (perf_counter.frequency == 0) {
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency)) perf_counter.frequency = (uint64_t)frequency.QuadPart;
  }
  return perf_counter.frequency;
}

uint64_t perfCounterFrequencyMsec() {
  if (perf_counter.msec_frequency == 0) perf_counter.msec_frequency = perfCounterFrequency() / 1000;
  return perf_counter.msec_frequency;
}

void date_get_current(date_record *date) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  date->year = now.wYear;
  date->month = now.wMonth;
  date->day = now.wDay;
  date->hour = now.wHour;
  date->minute = now.wMinute;
  date->second = now.wSecond;
  date->millisecond = now.wMilliseconds;
}
