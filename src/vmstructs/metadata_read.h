// Reads of class metadata on current HotSpot (vm_current.h): a structure copied whole with one
// safe read and taken apart from the copy, array lengths, symbols and constant pool entries. An
// unreadable address gives false (or 0) and the safe read's log line, never a fault.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

// The largest structure copied whole (InstanceKlass is 472 bytes on JDK 25).
constexpr uint32_t METADATA_BLOCK_MAX = 1024;

struct metadata_block {
  const char *address;
  uint32_t size;  // bytes copied; 0 when the copy failed
  char data[METADATA_BLOCK_MAX];
};

// Copies size bytes at address (cut to METADATA_BLOCK_MAX); false when unreadable or null.
bool metadata_read_block(const char *address, uint32_t size, metadata_block *block);
// Values of the copy at an offset; 0 for an offset that is absent or outside the copy.
const char *metadata_pointer(const metadata_block &block, int32_t offset);
uint64_t metadata_value(const metadata_block &block, int32_t offset, uint32_t width);

// The length of an Array<T>, or -1 when it cannot be read (a null array has none either).
int32_t metadata_array_length(const char *array);
// The Klass* of a class reference (null for primitive classes or an unreadable mirror).
const char *metadata_klass_of(jclass klass);
// The text of a Symbol, cut to capacity - 1 bytes; false when unreadable.
bool metadata_symbol_text(const char *symbol, char *buffer, uint32_t capacity);
// The next number of the VM's UNSIGNED5 encoding (the field stream): bytes 1 to 191 end a number,
// 192 to 255 carry 6 more bits to the next byte, at most five bytes. False past the end.
bool metadata_unsigned5(const uint8_t *bytes, uint32_t size, uint32_t *position, uint32_t *value);
// The symbol of a constant pool slot; null when unreadable or out of the pool.
const char *metadata_pool_symbol(const char *constant_pool, uint32_t index);
