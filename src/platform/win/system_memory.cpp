// Physical memory on Windows.
#include "platform/system_memory.h"

#include <windows.h>

#include <atomic>

#include "platform/platform_log.h"

namespace {

struct {
  std::atomic<bool> maximum_reported;
  std::atomic<bool> available_reported;
} system_memory;

bool system_memory_status(MEMORYSTATUSEX *status, std::atomic<bool> &reported) {
  status->dwLength = sizeof *status;
  if (GlobalMemoryStatusEx(status)) return true;
  if (!reported.exchange(true)) {
    platform_log_error("Failed to get maximum memory using GlobalMemoryStatusEx due to error %u",
                       (unsigned)GetLastError());
  }
  return false;
}

}  // namespace

void system_memory_pre_initialise() {}

uint64_t system_memory_get_maximum() {
  MEMORYSTATUSEX status;
  return system_memory_status(&status, system_memory.maximum_reported) ? status.ullTotalPhys : SYSTEM_MEMORY_UNKNOWN;
}

uint64_t system_memory_get_available() {
  MEMORYSTATUSEX status;
  return system_memory_status(&status, system_memory.available_reported) ? status.ullAvailPhys : SYSTEM_MEMORY_UNKNOWN;
}

// Commits the size without touching it, as the bookkeeping would, and gives it back at once.
bool system_memory_test_allocation(uint64_t size) {
  if (size == 0) return true;
  if (size > (uint64_t)SIZE_MAX) return false;
  void *memory = VirtualAlloc(nullptr, (SIZE_T)size, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  if (memory == nullptr) return false;
  VirtualFree(memory, 0, MEM_RELEASE);
  return true;
}
