// The snapshot's tag backup: the permanent tags of objects that carry temporary tags, kept in
// pages of 131072 tags (1 MiB) allocated as needed, up to 131072 pages (2^34 tags).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t TAG_BACKUP_PAGE_TAGS = 131072;
constexpr int32_t TAG_BACKUP_MAX_PAGES = 131072;

enum tag_backup_failure : int32_t {
  TAG_BACKUP_OK = 0,
  TAG_BACKUP_OUT_OF_MEMORY = 1,  // a page could not be allocated
  TAG_BACKUP_TOO_MANY_TAGS = 2,  // every page is in use
};

struct tag_backup {
  uint64_t *pages[TAG_BACKUP_MAX_PAGES];
  int32_t page_count;
  int32_t page_used;      // tags in the last page; starts full so that the first record allocates
  uint64_t record_count;  // records made, stored or not
  int32_t failure;
};

tag_backup *tag_backup_setup();
// Stores the tag and returns its zero-based index: the (i+1)-th call returns i, whether or not the
// tag could be stored (failure then says why storing stopped).
uint64_t tag_backup_record(tag_backup *backup, uint64_t tag);
// The tag recorded at index, or fallback when nothing was stored there.
uint64_t tag_backup_get_original(const tag_backup *backup, uint64_t index, uint64_t fallback);
void tag_backup_release(tag_backup *backup);

// Tests only: the allocator of pages (malloc when null; pages are given back with free) and a
// lower page limit (TAG_BACKUP_MAX_PAGES when 0), so that both failures can be produced.
using tag_backup_page_allocator = void *(*)(size_t size);
void tag_backup_set_limits_for_tests(tag_backup_page_allocator allocator, int32_t page_limit);
