// Physical memory on Linux: the kernel's figures, narrowed by the memory limit of the control
// group the process runs in (a container's limit is what the snapshot must stay under).
#include "platform/system_memory.h"

#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/platform_log.h"

namespace {

struct {
  std::atomic<bool> maximum_reported;
  std::atomic<bool> available_reported;
} system_memory;

// Reads one unsigned number (or "max") from a small file; false when absent or unreadable.
bool read_number_file(const char *path, uint64_t *value) {
  FILE *file = fopen(path, "re");
  if (file == nullptr) return false;
  char text[64] = {};
  bool ok = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  if (!ok) return false;
  if (strncmp(text, "max", 3) == 0) {
    *value = SYSTEM_MEMORY_UNKNOWN;
    return true;
  }
  char *end = nullptr;
  unsigned long long number = strtoull(text, &end, 10);
  if (end == text) return false;
  *value = number;
  return true;
}

// The control group's limit and usage, cgroup v2 first, then v1. A limit of 2^62 or more means none.
bool cgroup_memory(uint64_t *limit, uint64_t *usage) {
  static const char *const limits[] = {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"};
  static const char *const usages[] = {"/sys/fs/cgroup/memory.current", "/sys/fs/cgroup/memory/memory.usage_in_bytes"};
  for (int i = 0; i < 2; ++i) {
    if (read_number_file(limits[i], limit) && read_number_file(usages[i], usage)) {
      return *limit < (1ULL << 62);
    }
  }
  return false;
}

// A field of /proc/meminfo in bytes, or SYSTEM_MEMORY_UNKNOWN.
uint64_t meminfo_field(std::string_view name) {
  FILE *file = fopen("/proc/meminfo", "re");
  if (file == nullptr) return SYSTEM_MEMORY_UNKNOWN;
  char line[256];
  uint64_t result = SYSTEM_MEMORY_UNKNOWN;
  while (fgets(line, sizeof line, file) != nullptr) {
    std::string_view text(line);
    if (text.substr(0, name.size()) == name && text.size() > name.size() && text[name.size()] == ':') {
      const char *digits = line + name.size() + 1;
      while (*digits == ' ' || *digits == '\t') ++digits;
      char *end = nullptr;
      errno = 0;
      unsigned long long kib = strtoull(digits, &end, 10);
      if (end != digits && errno == 0 && kib <= UINT64_MAX / 1024) result = (uint64_t)kib * 1024;
      break;
    }
  }
  fclose(file);
  return result;
}

}  // namespace

void system_memory_pre_initialise() {}

uint64_t system_memory_get_maximum() {
  struct sysinfo info {};
  uint64_t physical = SYSTEM_MEMORY_UNKNOWN;
  if (sysinfo(&info) == 0) {
    physical = (uint64_t)info.totalram * info.mem_unit;
  } else if (!system_memory.maximum_reported.exchange(true)) {
    platform_log_error("Getting system physical memory failed.");
  }
  uint64_t limit = 0, usage = 0;
  if (cgroup_memory(&limit, &usage) && (physical == SYSTEM_MEMORY_UNKNOWN || limit < physical)) physical = limit;
  return physical;
}

uint64_t system_memory_get_available() {
  uint64_t available = meminfo_field("MemAvailable");
  if (available == SYSTEM_MEMORY_UNKNOWN) {
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
      available = ((uint64_t)info.freeram + info.bufferram) * info.mem_unit;
    } else if (!system_memory.available_reported.exchange(true)) {
      platform_log_error("Could not get memory statistics, error %d.", errno);
    }
  }
  uint64_t limit = 0, usage = 0;
  if (cgroup_memory(&limit, &usage)) {
    uint64_t left = usage < limit ? limit - usage : 0;
    if (available == SYSTEM_MEMORY_UNKNOWN || left < available) available = left;
  }
  return available;
}

// Reserves the address space and its commit charge, as the bookkeeping would, then gives it back.
// Pages are not touched: committing is what the kernel can refuse.
bool system_memory_test_allocation(uint64_t size) {
  if (size == 0) return true;
  void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  munmap(memory, size);
  return true;
}
