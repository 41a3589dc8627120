#include "vmstructs/metadata_read.h"

#include <cstring>

#include "vmstructs/symbols.h"
#include "vmstructs/vm_current.h"

bool metadata_read_block(const char *address, uint32_t size, metadata_block *block) {
  block->address = address;
  block->size = 0;
  if (address == nullptr || size == 0) return false;
  if (size > METADATA_BLOCK_MAX) size = METADATA_BLOCK_MAX;
  if (!safe_read_memory(address, block->data, size, "metadata_read_block", __LINE__)) return false;
  block->size = size;
  return true;
}

uint64_t metadata_value(const metadata_block &block, int32_t offset, uint32_t width) {
  if (offset < 0 || width == 0 || width > 8 || (uint64_t)offset + width > block.size) return 0;
  uint64_t value = 0;
  memcpy(&value, block.data + offset, width);  // little-endian: the low bytes of the value
  return value;
}

const char *metadata_pointer(const metadata_block &block, int32_t offset) {
  return reinterpret_cast<const char *>(metadata_value(block, offset, 8));
}

int32_t metadata_array_length(const char *array) {
  if (array == nullptr) return -1;
  int32_t length = 0;
  if (!safe_read_memory(array + vm_current.layout.array_length, &length, sizeof length, "metadata_array_length",
                        __LINE__)) {
    return -1;
  }
  return length;
}

const char *metadata_klass_of(jclass klass) {
  if (klass == nullptr) return nullptr;
  // A JNI reference holds the object's address; its low bits may carry the reference's kind.
  auto handle = reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(klass) & ~(uintptr_t)3);
  const char *mirror = static_cast<const char *>(safe_read_memory_ptr(handle, 0, "metadata_klass_of", __LINE__));
  if (mirror == nullptr) return nullptr;
  return static_cast<const char *>(
      safe_read_memory_ptr(mirror, vm_current.mirror_klass, "metadata_klass_of", __LINE__));
}

bool metadata_symbol_text(const char *symbol, char *buffer, uint32_t capacity) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  if (symbol == nullptr) return false;
  const vm_current_layout &layout = vm_current.layout;
  uint16_t length = safe_read_memory_u2(symbol, layout.symbol_length, "metadata_symbol_text", __LINE__);
  uint32_t count = length < capacity - 1 ? length : capacity - 1;
  if (!safe_read_memory(symbol + layout.symbol_body, buffer, count, "metadata_symbol_text", __LINE__)) return false;
  buffer[count] = '\0';
  return true;
}

const char *metadata_pool_symbol(const char *constant_pool, uint32_t index) {
  if (constant_pool == nullptr) return nullptr;
  const vm_current_layout &layout = vm_current.layout;
  int32_t length = 0;
  if (!safe_read_memory(constant_pool + layout.cp_length, &length, sizeof length, "metadata_pool_symbol", __LINE__) ||
      index == 0 || (int64_t)index >= length) {
    return nullptr;
  }
  uint64_t slot = safe_read_memory_ulong(constant_pool, (int64_t)layout.constant_pool_size + (int64_t)index * 8,
                                         "metadata_pool_symbol", __LINE__);
  return reinterpret_cast<const char *>(slot & ~(uint64_t)1);
}

bool metadata_unsigned5(const uint8_t *bytes, uint32_t size, uint32_t *position, uint32_t *value) {
  constexpr uint32_t EXCLUDED = 1, LOW = 191, HIGH_BITS = 6;
  uint32_t sum = 0;
  for (uint32_t i = 0, shift = 0; i < 5; ++i, shift += HIGH_BITS) {
    if (*position >= size) return false;
    uint32_t b = bytes[(*position)++];
    if (b < EXCLUDED) return false;
    sum += (b - EXCLUDED) << shift;
    if (b - EXCLUDED < LOW || i == 4) {
      *value = sum;
      return true;
    }
  }
  return false;
}
