// The open files the file stream tracker saw opened, indexed by descriptor number: each slot holds
// the registry key of the file open on that descriptor, and once asked whether it is a regular
// file (fstat, cached until the descriptor is cleared). The hooks find an operation's entry
// through it with a field read of the descriptor number and an array read, no lock and no tag.
//
// The slots are written by the open and close hooks of any thread and read by the reads and writes
// of others: an operation that races with the close of its descriptor and the reuse of the number
// may count on the file opened next. Descriptors closed by code the tracker does not hook (native
// libraries) keep their slot until the number is opened again through a hook.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int FILE_DESCRIPTORS_CHUNK = 1024;
constexpr int FILE_DESCRIPTORS_CHUNKS = 1024;
// Descriptors from this number on are not tracked.
constexpr int FILE_DESCRIPTORS_LIMIT = FILE_DESCRIPTORS_CHUNK * FILE_DESCRIPTORS_CHUNKS;

enum file_descriptor_type : uint64_t {
  FILE_DESCRIPTOR_UNKNOWN = 0,  // not asked yet
  FILE_DESCRIPTOR_REGULAR = 1,
  FILE_DESCRIPTOR_OTHER = 2,  // a pipe, socket, device or directory, or fstat failed
};

// A slot: the key shifted left by two, the type in the low bits; 0 when empty.
using file_descriptor_slot = std::atomic<uint64_t>;

// Chunks of slots, made on first use and kept for the process's life.
struct file_descriptors_record {
  std::atomic<file_descriptor_slot *> chunks[FILE_DESCRIPTORS_CHUNKS];
};
extern file_descriptors_record file_descriptors;

inline uint64_t file_descriptors_slot_value(int fd) {
  if (fd < 0 || fd >= FILE_DESCRIPTORS_LIMIT) return 0;
  file_descriptor_slot *chunk = file_descriptors.chunks[fd / FILE_DESCRIPTORS_CHUNK].load(std::memory_order_acquire);
  return chunk != nullptr ? chunk[fd % FILE_DESCRIPTORS_CHUNK].load(std::memory_order_relaxed) : 0;
}

// The key of the file open on fd, 0 when none.
inline uint64_t file_descriptors_key(int fd) { return file_descriptors_slot_value(fd) >> 2; }

// The key of the file open on fd when it is a regular file, 0 otherwise; the first call per
// registration asks the system.
uint64_t file_descriptors_regular_key(int fd);
// Records key (not 0) as open on fd; false when fd is out of range or memory is short.
bool file_descriptors_set(int fd, uint64_t key);
// Empties fd's slot; the key it held (0 when none).
uint64_t file_descriptors_clear(int fd);
// Empties fd's slot if it still holds key.
void file_descriptors_clear_key(int fd, uint64_t key);
// Empties every slot, calling forget with each key that was held.
void file_descriptors_clear_all(void (*forget)(uint64_t key));
