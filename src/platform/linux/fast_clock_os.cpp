// The time-stamp counter on Linux: usable when the processor keeps it invariant (it runs at one
// rate in every power state and on every core) and the kernel chose it as its clock source, so
// that it agrees with CLOCK_MONOTONIC.
#include <cstdio>
#include <cstring>

#include "platform/fast_clock.h"

#ifdef VORKEL_FAST_CLOCK_TSC
#include <cpuid.h>
#endif

bool fast_clock_tsc_usable() {
#ifdef VORKEL_FAST_CLOCK_TSC
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if ((unsigned)__get_cpuid_max(0x80000000u, nullptr) < 0x80000007u) return false;
  __cpuid(0x80000007u, eax, ebx, ecx, edx);
  if ((edx & (1u << 8)) == 0) return false;  // invariant TSC
  FILE *source = fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
  if (source == nullptr) return false;
  char name[32] = {0};
  bool tsc = fgets(name, sizeof name, source) != nullptr && strcmp(name, "tsc\n") == 0;
  fclose(source);
  return tsc;
#else
  return false;
#endif
}
