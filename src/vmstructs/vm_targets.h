// What the VM structure reader looks for in the JVM's serviceability tables: field, type and
// integer constant targets, the lists that say which HotSpot majors want them, and the names that
// change with the major version.
#pragma once

#include <cstdint>

constexpr uint64_t VM_UNRESOLVED = ~(uint64_t)0;
constexpr int32_t VM_UNRESOLVED_CONSTANT = (int32_t)0xFFFFFFFF;

struct field_target {
  const char *type_name;
  const char *field_name;
  const char *type_string;  // null: the entry's type string must be null
  int32_t is_static;
  uint64_t offset;   // VM_UNRESOLVED until found
  uint64_t address;  // of a static field
};

struct type_target {
  const char *type_name;
  const char *superclass_name;
  int32_t is_oop;
  int32_t is_integer;
  int32_t is_unsigned;
  uint64_t size;  // VM_UNRESOLVED until found
};

struct const_target {
  const char *name;
  int32_t value;  // VM_UNRESOLVED_CONSTANT until found
};

// Rows apply when the HotSpot major lies in [lowest, highest]; a list ends with a null target.
struct field_row {
  int32_t lowest, highest;
  field_target *target;
};
struct type_row {
  int32_t lowest, highest;
  type_target *target;
};
struct const_row {
  int32_t lowest, highest;
  const_target *target;
};

// Version-dependent names.
inline char vn_instance_klass_name[16], vn_flag_type_field[8], vn_flag_name_field[8], vn_flag_addr_field[8],
    vn_meta_klass_type[16], vn_const_pool_oop_name[32], vn_const_pool_klass_name[32], vn_const_pool_cache_oop_name[32],
    vn_const_pool_cache_klass_name[32], vn_const_pool_tags_oop_name[16], vn_const_pool_superclass[16],
    vn_const_pool_cache_superclass[16], vn_method_array_type[16], vn_klass_array_type[16], vn_u1_array_type[16],
    vn_u2_array_type[16], vn_jushort_array_type[32], vn_const_method_klass_name[32], vn_method_klass_name[32],
    vn_const_method_oop_name[32], vn_method_data_oop_name[32], vn_method_data_klass_name[32],
    vn_oop_klass_offset_name[32], vn_jl_class_offset_name[32], vn_symbol_oop_pointer_name[16],
    vn_symbol_oop_klass_name[16], vn_field_access_const[64], vn_field_name_const[64], vn_field_signature_const[64],
    vn_field_slots_const[64];

extern field_target struct_klass_offset, struct_obj_iklass_klass, struct_klass_layout_helper, struct_klass_name,
    struct_iklass_constants, struct_iklass_local_interfaces, struct_iklass_trans_interfaces, struct_iklass_methods,
    struct_iklass_inner_classes, struct_iklass_fields, struct_iklass_field_count, struct_iklass_class_annotations,
    struct_iklass_fields_annotations, struct_iklass_methods_annotations, struct_iklass_methods_param_annotations,
    struct_iklass_methods_default_annotations, struct_flags, struct_flags_num, struct_flag_type, struct_flag_name,
    struct_flag_addr, struct_narrow_base, struct_narrow_shift, struct_nklass_base, struct_nklass_shift,
    struct_obj_nklass_offset, struct_obj_klass_offset, struct_arr_length, struct_cp_length, struct_cp_cache,
    struct_cp_tags, struct_cpc_length, struct_arr_int_length, struct_arr_u1_data, struct_arr_u2_data,
    struct_arr_klass_data, struct_arr_method_data, struct_const_method_size, struct_const_method_stackmap,
    struct_const_method_name_index, struct_const_method_sig_index, struct_method_const, struct_method_data,
    struct_method_counters, struct_method_size, struct_method_access, struct_access_flags, struct_method_data_size,
    struct_symbol_length, struct_symbol_body, struct_vm_version_string, struct_vm_major_version;

extern type_target type_instance_klass, type_flag, type_oop_desc, type_instance_oop_desc, type_intx, type_intptr_t,
    type_constant_pool_oop_desc, type_constant_pool_cache_oop_desc, type_constant_pool_cache_entry, type_array_oop_desc,
    type_method_counters, type_u1, type_u2, type_jushort, type_ptr;

extern const_target const_oop_size, const_old_klass_offset, const_word_size, const_bytes_per_word,
    const_header_size_shift, const_klass_fields_access, const_klass_fields_name, const_klass_fields_signature,
    const_klass_fields_slots, const_log2_element_size_shift;

extern const field_row vm_field_list[];             // the required fields
extern const field_row vm_version_field_list[];     // the version string and major
extern const field_row vm_old_server_field_list[];  // fields only server VMs of old majors have
extern const type_row vm_type_list[];
extern const const_row vm_const_list[];

// Fills the version-dependent names for a HotSpot major (names without a row stay empty).
void vm_targets_fill_version_names(int32_t major);
// Every target back to unresolved.
void vm_targets_reset();
