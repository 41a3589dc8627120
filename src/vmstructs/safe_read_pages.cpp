#include "vmstructs/safe_read_pages.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t PAGE_SHIFT = 12;  // 4 KiB, the smallest page of every platform the agent runs on
constexpr size_t SLOTS = 4096;       // direct-mapped by page number

struct {
  uint64_t pages[SLOTS];  // page number + 1 (0: empty)
} pages_state;

// The scope's depth on this thread; the pages are used only by the thread whose scope is open.
thread_local int scope_depth = 0;

}  // namespace

bool safe_read_pages_known(const void *address, size_t length) {
  if (scope_depth == 0 || length == 0) return false;
  auto first = reinterpret_cast<uintptr_t>(address) >> PAGE_SHIFT;
  auto last = (reinterpret_cast<uintptr_t>(address) + length - 1) >> PAGE_SHIFT;
  if (last < first) return false;  // wraps around the address space
  for (uint64_t page = first; page <= last; ++page) {
    if (pages_state.pages[page % SLOTS] != page + 1) return false;
  }
  return true;
}

void safe_read_pages_add(const void *address, size_t length) {
  if (scope_depth == 0 || length == 0) return;
  auto first = reinterpret_cast<uintptr_t>(address) >> PAGE_SHIFT;
  auto last = (reinterpret_cast<uintptr_t>(address) + length - 1) >> PAGE_SHIFT;
  for (uint64_t page = first; page <= last && page >= first; ++page) pages_state.pages[page % SLOTS] = page + 1;
}

safe_read_stopped_vm_scope::safe_read_stopped_vm_scope() {
  if (scope_depth++ == 0) memset(pages_state.pages, 0, sizeof pages_state.pages);
}

safe_read_stopped_vm_scope::~safe_read_stopped_vm_scope() {
  if (--scope_depth == 0) memset(pages_state.pages, 0, sizeof pages_state.pages);
}
