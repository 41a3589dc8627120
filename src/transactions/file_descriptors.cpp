#include "transactions/file_descriptors.h"

#include <cstdlib>

#include "platform/fileops.h"

file_descriptors_record file_descriptors;

namespace {

constexpr uint64_t TYPE_MASK = 3;

file_descriptor_slot *slot(int fd, bool make) {
  if (fd < 0 || fd >= FILE_DESCRIPTORS_LIMIT) return nullptr;
  std::atomic<file_descriptor_slot *> &holder = file_descriptors.chunks[fd / FILE_DESCRIPTORS_CHUNK];
  file_descriptor_slot *chunk = holder.load(std::memory_order_acquire);
  if (chunk == nullptr && make) {
    // Zeroed memory is a chunk of empty slots.
    auto *made = static_cast<file_descriptor_slot *>(calloc(FILE_DESCRIPTORS_CHUNK, sizeof(file_descriptor_slot)));
    if (made == nullptr) return nullptr;
    if (holder.compare_exchange_strong(chunk, made, std::memory_order_acq_rel)) {
      chunk = made;
    } else {
      free(made);  // another thread made it first
    }
  }
  return chunk != nullptr ? &chunk[fd % FILE_DESCRIPTORS_CHUNK] : nullptr;
}

uint64_t ask_type(int fd) { return file_descriptor_is_regular(fd) ? FILE_DESCRIPTOR_REGULAR : FILE_DESCRIPTOR_OTHER; }

}  // namespace

uint64_t file_descriptors_regular_key(int fd) {
  uint64_t value = file_descriptors_slot_value(fd);
  if (value == 0) return 0;
  uint64_t type = value & TYPE_MASK;
  if (type == FILE_DESCRIPTOR_UNKNOWN) {
    type = ask_type(fd);
    // Kept only if the slot still holds the same registration.
    slot(fd, false)->compare_exchange_strong(value, value | type, std::memory_order_relaxed);
  }
  return type == FILE_DESCRIPTOR_REGULAR ? value >> 2 : 0;
}

bool file_descriptors_set(int fd, uint64_t key) {
  file_descriptor_slot *target = key != 0 ? slot(fd, true) : nullptr;
  if (target == nullptr) return false;
  target->store(key << 2, std::memory_order_relaxed);
  return true;
}

uint64_t file_descriptors_clear(int fd) {
  file_descriptor_slot *target = slot(fd, false);
  return target != nullptr ? target->exchange(0, std::memory_order_relaxed) >> 2 : 0;
}

void file_descriptors_clear_key(int fd, uint64_t key) {
  file_descriptor_slot *target = slot(fd, false);
  if (target == nullptr || key == 0) return;
  uint64_t value = target->load(std::memory_order_relaxed);
  while (value >> 2 == key && !target->compare_exchange_weak(value, 0, std::memory_order_relaxed)) {
  }
}

void file_descriptors_clear_all(void (*forget)(uint64_t key)) {
  for (auto &holder : file_descriptors.chunks) {
    file_descriptor_slot *chunk = holder.load(std::memory_order_acquire);
    if (chunk == nullptr) continue;
    for (int i = 0; i < FILE_DESCRIPTORS_CHUNK; ++i) {
      uint64_t key = chunk[i].exchange(0, std::memory_order_relaxed) >> 2;
      if (key != 0 && forget != nullptr) forget(key);
    }
  }
}
