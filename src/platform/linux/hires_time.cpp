// Time sources on Linux: CLOCK_MONOTONIC in nanoseconds as the high-resolution counter, on every
// processor. The C library answers it from the kernel's vDSO without a system call: on x86-64 from
// the time-stamp counter, on aarch64 from the virtual counter (cntvct_el0), scaled by the kernel.
// Reading the counter here instead (rdtsc, mrs cntvct_el0 with cntfrq_el0 as its frequency) would
// save only that scaling and trust what the kernel does not: it picks another clock when the TSC
// is unstable, traps and emulates user reads of cntvct_el0 on cores whose reads are unreliable
// (and answers the vDSO by system call there), and takes the counter frequency from the firmware
// tables where cntfrq_el0 was left wrong.
#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

namespace {
struct {
  uint64_t frequency;
  uint64_t msec_frequency;
} perf_counter;
}  // namespace

int64_t systemTimeMillis() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return (int64_t)now.tv_sec * 1000 + now.tv_usec / 1000;
}

uint64_t perfCounterCurrent() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000000000ULL + (uint64_t)now.tv_nsec;
}

uint64_t perfCounterFrequency() {
  if (perf_counter.frequency == 0) perf_counter.frequency = 1000000000ULL;
  return perf_counter.frequency;
}

uint64_t perfCounterFrequencyMsec() {
  if (perf_counter.msec_frequency == 0) perf_counter.msec_frequency = perfCounterFrequency() / 1000;
  return perf_counter.msec_frequency;
}

void date_get_current(date_record *date) {
  timeval now{};
  gettimeofday(&now, nullptr);
  time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  date->year = local.tm_year + 1900;
  date->month = local.tm_mon + 1;
  date->day = local.tm_mday;
  date->hour = local.tm_hour;
  date->minute = local.tm_min;
  date->second = local.tm_sec;
  date->millisecond = (int32_t)(now.tv_usec / 1000);
}
