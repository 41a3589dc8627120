#include "core/tag_backup.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<tag_backup_page_allocator> page_allocator{nullptr};
std::atomic<int32_t> page_limit{TAG_BACKUP_MAX_PAGES};

uint64_t *tag_backup_allocate_page() {
  tag_backup_page_allocator allocator = page_allocator.load(std::memory_order_relaxed);
  size_t size = sizeof(uint64_t) * TAG_BACKUP_PAGE_TAGS;
  return static_cast<uint64_t *>(allocator != nullptr ? allocator(size) : malloc(size));
}

}  // namespace

void tag_backup_set_limits_for_tests(tag_backup_page_allocator allocator, int32_t limit) {
  page_allocator.store(allocator, std::memory_order_relaxed);
  page_limit.store(limit > 0 && limit < TAG_BACKUP_MAX_PAGES ? limit : TAG_BACKUP_MAX_PAGES, std::memory_order_relaxed);
}

tag_backup *tag_backup_setup() {
  auto *backup = static_cast<tag_backup *>(calloc(1, sizeof(tag_backup)));
  if (backup == nullptr) return nullptr;
  backup->page_count = 0;
  backup->page_used = TAG_BACKUP_PAGE_TAGS;
  backup->record_count = 0;
  backup->failure = TAG_BACKUP_OK;
  return backup;
}

uint64_t tag_backup_record(tag_backup *backup, uint64_t tag) {
  if (backup->failure == TAG_BACKUP_OK) {
    if (backup->page_used < TAG_BACKUP_PAGE_TAGS) {
      backup->pages[backup->page_count - 1][backup->page_used++] = tag;
    } else if (backup->page_count < page_limit.load(std::memory_order_relaxed)) {
      uint64_t *page = tag_backup_allocate_page();
      if (page == nullptr) {
        backup->failure = TAG_BACKUP_OUT_OF_MEMORY;
      } else {
        backup->pages[backup->page_count++] = page;
        page[0] = tag;
        backup->page_used = 1;
      }
    } else {
      backup->failure = TAG_BACKUP_TOO_MANY_TAGS;
    }
  }
  return backup->record_count++;
}

uint64_t tag_backup_get_original(const tag_backup *backup, uint64_t index, uint64_t fallback) {
  uint64_t page = index >> 17;
  uint64_t slot = index & 0x1FFFF;
  if (page >= (uint64_t)backup->page_count) return fallback;
  if (page == (uint64_t)backup->page_count - 1 && slot >= (uint64_t)backup->page_used) return fallback;
  return backup->pages[page][slot];
}

void tag_backup_release(tag_backup *backup) {
  if (backup == nullptr) return;
  for (int32_t i = 0; i < backup->page_count; ++i) free(backup->pages[i]);
  free(backup);
}
