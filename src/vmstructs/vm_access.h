// Objects and class metadata in the JVM's memory, for the three HotSpot layout families: majors up
// to 13, 14 to 24 (metadata are heap objects, arrays are heap arrays, compressed pointers possible)
// and 25 (metadata outside the heap, Array<T> arrays). Every read is a safe read: an unreadable
// address gives 0 and a log line. Only valid after a successful load (has_full_hotspot_symbols).
#pragma once

#include <jni.h>

#include <cstdint>

#include "vmstructs/vm_targets.h"

// Field reads at base + offset; the plain forms first add the header adjustment of klass metadata.
const char *get_obj_field_direct(const void *base, int32_t offset, const char *description, int line);
const char *get_obj_field(const void *base, int32_t offset, const char *description, int line);
uint64_t get_obj_field_wide_direct(const void *base, int32_t offset, const char *description, int line);
uint64_t get_obj_field_wide(const void *base, int32_t offset, const char *description, int line);
int32_t get_int_field_direct(const void *base, int32_t offset, const char *description, int line);
int32_t get_int_field(const void *base, int32_t offset, const char *description, int line);
uint16_t get_u2_field_direct(const void *base, int32_t offset, const char *description, int line);
uint16_t get_u2_field(const void *base, int32_t offset, const char *description, int line);

const char *handle_to_oop(jobject reference);
const char *get_oop_klass(const char *object);
const char *get_jvm_klass_oop(const char *mirror);
bool is_matching_vtable(uint64_t pointer, uint64_t vtable);
bool is_instance_klass_oop(const char *klass);

uint32_t get_array_length(const char *array);
uint32_t get_array_length_v13(const char *array);
uint32_t get_array_length_v24(const char *array);
// Header bytes of a heap array; the log2 of its element size goes to *log2_element_size.
uint32_t get_array_info_v24(const char *array, uint32_t *log2_element_size, uint32_t *header_size);
uint32_t get_array_size_v24(const char *array);
uint32_t get_nested_array_size_v24(const char *array);
uint32_t get_array_size_v25(const char *array, uint32_t header_bytes, uint32_t element_bytes);
const char *get_array_ptr_field(const char *array, uint32_t index);
uint16_t get_array_u2_field(const char *array, uint32_t index);

uint32_t aligned_size(uint32_t size);
uint32_t get_type_size(const type_target &type);
uint32_t get_entry_offset(const field_target &field);
const char *get_ptr_offset(const void *base, int64_t offset);
// Size of the object header in front of a klass's fields (0 when metadata live outside the heap).
uint32_t klass_header_adjustment();
