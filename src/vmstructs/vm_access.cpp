#include "vmstructs/vm_access.h"

#include "vmstructs/symbols.h"
#include "vmstructs/vm_structs.h"

namespace {

const void *at(const void *base, int64_t offset) { return static_cast<const char *>(base) + offset; }

}  // namespace

uint32_t klass_header_adjustment() { return vm_structs.hotspot_major < 25 ? get_type_size(type_oop_desc) : 0; }

const char *get_obj_field_direct(const void *base, int32_t offset, const char *description, int line) {
  if (!vm_structs.use_compressed_oops) {
    return static_cast<const char *>(safe_read_memory_ptr(base, offset, description, line));
  }
  uint64_t narrow_base =
      safe_read_memory_ulong(reinterpret_cast<const void *>(struct_narrow_base.address), 0, description, line);
  int32_t shift =
      safe_read_memory_int(reinterpret_cast<const void *>(struct_narrow_shift.address), 0, description, line);
  auto narrow = (uint32_t)safe_read_memory_int(base, offset, description, line);
  if (narrow == 0) return nullptr;
  return reinterpret_cast<const char *>(((uint64_t)narrow << (shift & 63)) + narrow_base);
}

const char *get_obj_field(const void *base, int32_t offset, const char *description, int line) {
  return get_obj_field_direct(base, offset + (int32_t)klass_header_adjustment(), description, line);
}

uint64_t get_obj_field_wide_direct(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_ulong(base, offset, description, line);
}

uint64_t get_obj_field_wide(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_ulong(base, offset + (int64_t)klass_header_adjustment(), description, line);
}

int32_t get_int_field_direct(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_int(base, offset, description, line);
}

int32_t get_int_field(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_int(base, offset + (int64_t)klass_header_adjustment(), description, line);
}

uint16_t get_u2_field_direct(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_u2(base, offset, description, line);
}

uint16_t get_u2_field(const void *base, int32_t offset, const char *description, int line) {
  return safe_read_memory_u2(base, offset + (int64_t)klass_header_adjustment(), description, line);
}

const char *handle_to_oop(jobject reference) {
  return static_cast<const char *>(safe_read_memory_ptr(reference, 0, "handle_to_oop", __LINE__));
}

const char *get_oop_klass(const char *object) {
  const field_target &field = vm_structs.use_compressed_oops ? struct_obj_nklass_offset : struct_obj_klass_offset;
  return get_obj_field_direct(object, (int32_t)get_entry_offset(field), "get_oop_klass", __LINE__);
}

const char *get_jvm_klass_oop(const char *mirror) {
  int32_t major = vm_structs.hotspot_major;
  if (major >= 21) {
    int32_t offset = safe_read_memory_int(reinterpret_cast<const void *>(struct_klass_offset.address), 0,
                                          "get_jvm_klass_oop", __LINE__);
    if (major == 25)
      return reinterpret_cast<const char *>(get_obj_field_wide_direct(mirror, offset, "get_jvm_klass_oop", __LINE__));
    return get_obj_field_direct(mirror, offset, "get_jvm_klass_oop", __LINE__);
  }
  int32_t offset = (int32_t)get_type_size(type_instance_oop_desc) - (vm_structs.use_compressed_oops ? 4 : 0) +
                   const_oop_size.value * const_old_klass_offset.value;
  return get_obj_field_direct(mirror, offset, "get_jvm_klass_oop", __LINE__);
}

bool is_matching_vtable(uint64_t pointer, uint64_t vtable) { return pointer - vtable < 17; }

bool is_instance_klass_oop(const char *klass) {
  if (klass == nullptr) return false;
  if (vm_structs.hotspot_major == 25) {
    uint64_t vtable = safe_read_memory_ulong(klass, 0, "is_instance_klass_oop", __LINE__);
    return is_matching_vtable(vtable, vm_structs.instance_klass_vtable) ||
           is_matching_vtable(vtable, vm_structs.instance_classloader_klass_vtable) ||
           is_matching_vtable(vtable, vm_structs.instance_mirror_klass_vtable) ||
           is_matching_vtable(vtable, vm_structs.instance_ref_klass_vtable);
  }
  const char *instance_klass_klass = static_cast<const char *>(safe_read_memory_ptr(
      reinterpret_cast<const void *>(struct_obj_iklass_klass.address), 0, "is_instance_klass_oop", __LINE__));
  return instance_klass_klass != nullptr && get_oop_klass(klass) == instance_klass_klass;
}

uint32_t get_array_length_v13(const char *array) {
  return (uint32_t)safe_read_memory_int(array, get_entry_offset(struct_arr_length), "get_array_length_v13", __LINE__);
}

uint32_t get_array_length_v24(const char *array) {
  int64_t offset = (int64_t)get_type_size(type_array_oop_desc) - (vm_structs.use_compressed_oops ? 4 : 0);
  return (uint32_t)safe_read_memory_int(array, offset, "get_array_length_v24", __LINE__);
}

uint32_t get_array_length(const char *array) {
  if (vm_structs.hotspot_major < 14) return get_array_length_v13(array);
  if (vm_structs.hotspot_major < 25) return get_array_length_v24(array);
  return (uint32_t)safe_read_memory_int(array, get_entry_offset(struct_arr_int_length), "get_array_length", __LINE__);
}

uint32_t get_array_info_v24(const char *array, uint32_t *log2_element_size, uint32_t *header_size) {
  const char *klass = get_oop_klass(array);
  int32_t layout_helper =
      get_int_field(klass, (int32_t)get_entry_offset(struct_klass_layout_helper), "get_array_info_v24", __LINE__);
  uint32_t log2 = (uint32_t)(layout_helper >> (const_log2_element_size_shift.value & 0x1F)) & 0x1F;
  uint32_t header = (uint32_t)(layout_helper >> (const_header_size_shift.value & 0x1F)) & 0xFF;
  if (log2_element_size != nullptr) *log2_element_size = log2;
  if (header_size != nullptr) *header_size = header;
  return header;
}

uint32_t get_array_size_v24(const char *array) {
  uint32_t length = get_array_length(array);
  if (length == 0) return 0;
  uint32_t log2 = 0, header = 0;
  get_array_info_v24(array, &log2, &header);
  return aligned_size(header + (length << log2));
}

uint32_t get_nested_array_size_v24(const char *array) {
  uint32_t length = get_array_length(array);
  if (length == 0) return 0;
  uint32_t log2 = 0, header = 0;
  get_array_info_v24(array, &log2, &header);
  uint32_t size = aligned_size(header + (length << log2));
  // One element per method or field of a class at most.
  constexpr uint32_t MAX_ELEMENTS = 65535;
  for (uint32_t i = 0; i < length && i < MAX_ELEMENTS; ++i) {
    const char *element =
        get_obj_field_direct(array, (int32_t)(header + (i << log2)), "get_nested_array_size_v24", __LINE__);
    if (element != nullptr) size += get_array_size_v24(element);
  }
  return size;
}

uint32_t get_array_size_v25(const char *array, uint32_t header_bytes, uint32_t element_bytes) {
  auto length =
      (uint32_t)safe_read_memory_int(array, get_entry_offset(struct_arr_int_length), "get_array_size_v25", __LINE__);
  if (length == 0) return 0;
  return aligned_size(length * element_bytes + header_bytes);
}

const char *get_array_ptr_field(const char *array, uint32_t index) {
  if (vm_structs.hotspot_major == 25) {
    int64_t offset = (int64_t)get_entry_offset(struct_arr_klass_data) + (int64_t)index * get_type_size(type_ptr);
    return static_cast<const char *>(safe_read_memory_ptr(array, offset, "get_array_ptr_field", __LINE__));
  }
  uint32_t log2 = 0, header = 0;
  get_array_info_v24(array, &log2, &header);
  return get_obj_field_direct(array, (int32_t)(header + (index << log2)), "get_array_ptr_field", __LINE__);
}

uint16_t get_array_u2_field(const char *array, uint32_t index) {
  if (vm_structs.hotspot_major == 25) {
    int64_t offset = (int64_t)get_entry_offset(struct_arr_u2_data) + (int64_t)index * get_type_size(type_u2);
    return safe_read_memory_u2(array, offset, "get_array_u2_field", __LINE__);
  }
  uint32_t log2 = 0, header = 0;
  get_array_info_v24(array, &log2, &header);
  return safe_read_memory_u2(array, (int64_t)(header + (index << log2)), "get_array_u2_field", __LINE__);
}

uint32_t aligned_size(uint32_t size) {
  uint32_t alignment = vm_structs.obj_min_alignment == 8 ? 8 : 16;
  return (size + alignment - 1) & ~(alignment - 1);
}

uint32_t get_type_size(const type_target &type) { return (uint32_t)type.size; }
uint32_t get_entry_offset(const field_target &field) { return (uint32_t)field.offset; }
const char *get_ptr_offset(const void *base, int64_t offset) { return static_cast<const char *>(at(base, offset)); }
