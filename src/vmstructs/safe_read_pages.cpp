#include "vmstructs/safe_read_pages.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t PAGE_SHIFT = 12;  // 4 KiB, the smallest page of every platform the agent runs on
constexpr size_t SLOTS = 4096;       // direct-mapped by page number

constexpr int MAX_PERMANENT = 16;

struct {
  uint64_t pages[SLOTS];  // page number + 1 (0: empty)
  struct {
    uintptr_t begin, end;
  } permanent[MAX_PERMANENT];
  std::atomic<int> permanent_count{0};  // published after the range it counts is written
} pages_state;

bool in_permanent_range(uintptr_t begin, size_t length) {
  int count = pages_state.permanent_count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    if (begin >= pages_state.permanent[i].begin && begin <= pages_state.permanent[i].end &&
        length <= pages_state.permanent[i].end - begin) {
      return true;
    }
  }
  return false;
}

// The scope's depth on this thread; the pages are used only by the thread whose scope is open.
thread_local int scope_depth = 0;

}  // namespace

void safe_read_pages_add_permanent(const void *begin, size_t length) {
  int count = pages_state.permanent_count.load(std::memory_order_relaxed);
  auto start = reinterpret_cast<uintptr_t>(begin);
  if (count >= MAX_PERMANENT || length == 0 || start + length < start) return;
  for (int i = 0; i < count; ++i) {
    if (pages_state.permanent[i].begin == start) return;  // the library's segments, registered already
  }
  pages_state.permanent[count] = {start, start + length};
  pages_state.permanent_count.store(count + 1, std::memory_order_release);
}

bool safe_read_pages_known(const void *address, size_t length) {
  if (length == 0) return false;
  if (in_permanent_range(reinterpret_cast<uintptr_t>(address), length)) return true;
  if (scope_depth == 0) return false;
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
