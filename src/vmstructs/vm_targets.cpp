#include "vmstructs/vm_targets.h"

#include "base/common.h"
#include "base/string_util.h"

// The version-dependent names are defined in the header (inline variables).

namespace {

struct version_name_row {
  char *destination;
  size_t size;
  int32_t lowest, highest;
  const char *text;
};

#define VN(buffer, lowest, highest, text) \
  { buffer, sizeof buffer, lowest, highest, text }
const version_name_row version_names[] = {
    VN(vn_instance_klass_name, 1, 24, "instanceKlass"),
    VN(vn_instance_klass_name, 25, 25, "InstanceKlass"),
    VN(vn_flag_type_field, 1, 24, "type"),
    VN(vn_flag_type_field, 25, 25, "_type"),
    VN(vn_flag_name_field, 1, 24, "name"),
    VN(vn_flag_name_field, 25, 25, "_name"),
    VN(vn_flag_addr_field, 1, 24, "addr"),
    VN(vn_flag_addr_field, 25, 25, "_addr"),
    VN(vn_meta_klass_type, 1, 13, "klassOop"),
    VN(vn_meta_klass_type, 14, 24, "wideKlassOop"),
    VN(vn_meta_klass_type, 25, 25, "Klass*"),
    VN(vn_const_pool_oop_name, 1, 24, "constantPoolOop"),
    VN(vn_const_pool_oop_name, 25, 25, "ConstantPool*"),
    VN(vn_const_pool_klass_name, 1, 24, "constantPoolOopDesc"),
    VN(vn_const_pool_klass_name, 25, 25, "ConstantPool"),
    VN(vn_const_pool_cache_oop_name, 1, 24, "constantPoolCacheOop"),
    VN(vn_const_pool_cache_oop_name, 25, 25, "ConstantPoolCache*"),
    VN(vn_const_pool_cache_klass_name, 1, 24, "constantPoolCacheOopDesc"),
    VN(vn_const_pool_cache_klass_name, 25, 25, "ConstantPoolCache"),
    VN(vn_const_pool_tags_oop_name, 1, 24, "typeArrayOop"),
    VN(vn_const_pool_tags_oop_name, 25, 25, "Array<u1>*"),
    VN(vn_const_pool_superclass, 1, 13, "arrayOopDesc"),
    VN(vn_const_pool_superclass, 14, 24, "oopDesc"),
    VN(vn_const_pool_superclass, 25, 25, "Metadata"),
    VN(vn_const_pool_cache_superclass, 1, 13, "arrayOopDesc"),
    VN(vn_const_pool_cache_superclass, 14, 24, "oopDesc"),
    VN(vn_const_pool_cache_superclass, 25, 25, "MetaspaceObj"),
    VN(vn_method_array_type, 1, 24, "objArrayOop"),
    VN(vn_method_array_type, 25, 25, "Array<Method*>*"),
    VN(vn_klass_array_type, 1, 24, "objArrayOop"),
    VN(vn_klass_array_type, 25, 25, "Array<Klass*>*"),
    VN(vn_u1_array_type, 1, 24, "typeArrayOop"),
    VN(vn_u1_array_type, 25, 25, "Array<u1>*"),
    VN(vn_u2_array_type, 1, 24, "typeArrayOop"),
    VN(vn_u2_array_type, 25, 25, "Array<u2>*"),
    VN(vn_jushort_array_type, 1, 24, "typeArrayOop"),
    VN(vn_jushort_array_type, 25, 25, "Array<jushort>*"),
    VN(vn_const_method_klass_name, 1, 24, "constMethodOopDesc"),
    VN(vn_const_method_klass_name, 25, 25, "ConstMethod"),
    VN(vn_method_klass_name, 1, 24, "methodOopDesc"),
    VN(vn_method_klass_name, 25, 25, "Method"),
    VN(vn_const_method_oop_name, 1, 24, "constMethodOop"),
    VN(vn_const_method_oop_name, 25, 25, "ConstMethod*"),
    VN(vn_method_data_oop_name, 1, 24, "methodDataOop"),
    VN(vn_method_data_oop_name, 25, 25, "MethodData*"),
    VN(vn_method_data_klass_name, 1, 24, "methodDataOopDesc"),
    VN(vn_method_data_klass_name, 25, 25, "MethodData"),
    VN(vn_oop_klass_offset_name, 1, 13, "_klass"),
    VN(vn_oop_klass_offset_name, 14, 25, "_metadata._klass"),
    VN(vn_jl_class_offset_name, 21, 21, "klass_offset"),
    VN(vn_jl_class_offset_name, 22, 25, "_klass_offset"),
    VN(vn_symbol_oop_pointer_name, 1, 20, "symbolOop"),
    VN(vn_symbol_oop_pointer_name, 21, 25, "Symbol*"),
    VN(vn_symbol_oop_klass_name, 1, 20, "symbolOopDesc"),
    VN(vn_symbol_oop_klass_name, 21, 25, "Symbol"),
    VN(vn_field_access_const, 1, 21, "instanceKlass::access_flags_offset"),
    VN(vn_field_access_const, 22, 25, "FieldInfo::access_flags_offset"),
    VN(vn_field_name_const, 1, 21, "instanceKlass::name_index_offset"),
    VN(vn_field_name_const, 22, 25, "FieldInfo::name_index_offset"),
    VN(vn_field_signature_const, 1, 21, "instanceKlass::signature_index_offset"),
    VN(vn_field_signature_const, 22, 25, "FieldInfo::signature_index_offset"),
    VN(vn_field_slots_const, 1, 21, "instanceKlass::next_offset"),
    VN(vn_field_slots_const, 22, 25, "FieldInfo::field_slots"),
};
#undef VN

}  // namespace

#define FIELD(type, field, type_string, is_static) \
  { type, field, type_string, is_static, VM_UNRESOLVED, 0 }
#define STATIC 1
#define MEMBER 0

field_target struct_klass_offset = FIELD("java_lang_Class", vn_jl_class_offset_name, "int", STATIC);
field_target struct_obj_iklass_klass = FIELD("Universe", "_instanceKlassKlassObj", "klassOop", STATIC);
field_target struct_klass_layout_helper = FIELD("Klass", "_layout_helper", "jint", MEMBER);
field_target struct_klass_name = FIELD("Klass", "_name", vn_symbol_oop_pointer_name, MEMBER);
field_target struct_iklass_constants = FIELD(vn_instance_klass_name, "_constants", vn_const_pool_oop_name, MEMBER);
field_target struct_iklass_local_interfaces =
    FIELD(vn_instance_klass_name, "_local_interfaces", vn_klass_array_type, MEMBER);
field_target struct_iklass_trans_interfaces =
    FIELD(vn_instance_klass_name, "_transitive_interfaces", vn_klass_array_type, MEMBER);
field_target struct_iklass_methods = FIELD(vn_instance_klass_name, "_methods", vn_method_array_type, MEMBER);
field_target struct_iklass_inner_classes =
    FIELD(vn_instance_klass_name, "_inner_classes", vn_jushort_array_type, MEMBER);
field_target struct_iklass_fields = FIELD(vn_instance_klass_name, "_fields", vn_u2_array_type, MEMBER);
field_target struct_iklass_field_count = FIELD(vn_instance_klass_name, "_java_fields_count", "u2", MEMBER);
field_target struct_iklass_class_annotations =
    FIELD(vn_instance_klass_name, "_class_annotations", "typeArrayOop", MEMBER);
field_target struct_iklass_fields_annotations =
    FIELD(vn_instance_klass_name, "_fields_annotations", "objArrayOop", MEMBER);
field_target struct_iklass_methods_annotations =
    FIELD(vn_instance_klass_name, "_methods_annotations", "objArrayOop", MEMBER);
field_target struct_iklass_methods_param_annotations =
    FIELD(vn_instance_klass_name, "_methods_parameter_annotations", "objArrayOop", MEMBER);
field_target struct_iklass_methods_default_annotations =
    FIELD(vn_instance_klass_name, "_methods_default_annotations", "objArrayOop", MEMBER);
field_target struct_flags = FIELD("Flag", "flags", "Flag*", STATIC);
field_target struct_flags_num = FIELD("Flag", "numFlags", "size_t", STATIC);
field_target struct_flag_type = FIELD("Flag", vn_flag_type_field, "const char*", MEMBER);
field_target struct_flag_name = FIELD("Flag", vn_flag_name_field, "const char*", MEMBER);
field_target struct_flag_addr = FIELD("Flag", vn_flag_addr_field, nullptr, MEMBER);
field_target struct_narrow_base = FIELD("Universe", "_narrow_oop._base", "address", STATIC);
field_target struct_narrow_shift = FIELD("Universe", "_narrow_oop._shift", "int", STATIC);
field_target struct_nklass_base = FIELD("Universe", "_narrow_klass._base", "address", STATIC);
field_target struct_nklass_shift = FIELD("Universe", "_narrow_klass._shift", "int", STATIC);
field_target struct_obj_nklass_offset = FIELD("oopDesc", "_metadata._compressed_klass", "narrowOop", MEMBER);
field_target struct_obj_klass_offset = FIELD("oopDesc", vn_oop_klass_offset_name, vn_meta_klass_type, MEMBER);
field_target struct_arr_length = FIELD("arrayOopDesc", "_length", "int", MEMBER);
field_target struct_cp_length = FIELD(vn_const_pool_klass_name, "_length", "int", MEMBER);
field_target struct_cp_cache = FIELD(vn_const_pool_klass_name, "_cache", vn_const_pool_cache_oop_name, MEMBER);
field_target struct_cp_tags = FIELD(vn_const_pool_klass_name, "_tags", vn_const_pool_tags_oop_name, MEMBER);
field_target struct_cpc_length = FIELD(vn_const_pool_cache_klass_name, "_length", "int", MEMBER);
field_target struct_arr_int_length = FIELD("Array<int>", "_length", "int", MEMBER);
field_target struct_arr_u1_data = FIELD("Array<u1>", "_data", nullptr, MEMBER);
field_target struct_arr_u2_data = FIELD("Array<u2>", "_data", nullptr, MEMBER);
field_target struct_arr_klass_data = FIELD("Array<Klass*>", "_data", nullptr, MEMBER);
field_target struct_arr_method_data = FIELD("Array<Method*>", "_data", nullptr, MEMBER);
field_target struct_const_method_size = FIELD(vn_const_method_klass_name, "_constMethod_size", "int", MEMBER);
field_target struct_const_method_stackmap =
    FIELD(vn_const_method_klass_name, "_stackmap_data", vn_u1_array_type, MEMBER);
field_target struct_const_method_name_index = FIELD(vn_const_method_klass_name, "_name_index", "u2", MEMBER);
field_target struct_const_method_sig_index = FIELD(vn_const_method_klass_name, "_signature_index", "u2", MEMBER);
field_target struct_method_const = FIELD(vn_method_klass_name, "_constMethod", vn_const_method_oop_name, MEMBER);
field_target struct_method_data = FIELD(vn_method_klass_name, "_method_data", vn_method_data_oop_name, MEMBER);
field_target struct_method_counters = FIELD(vn_method_klass_name, "_method_counters", "MethodCounters*", MEMBER);
field_target struct_method_size = FIELD(vn_method_klass_name, "_method_size", "u2", MEMBER);
field_target struct_method_access = FIELD(vn_method_klass_name, "_access_flags", "AccessFlags", MEMBER);
field_target struct_access_flags = FIELD("AccessFlags", "_flags", "jint", MEMBER);
field_target struct_method_data_size = FIELD(vn_method_data_klass_name, "_size", "int", MEMBER);
field_target struct_symbol_length = FIELD(vn_symbol_oop_klass_name, "_length", "unsigned short", MEMBER);
field_target struct_symbol_body = FIELD(vn_symbol_oop_klass_name, "_body", nullptr, MEMBER);
field_target struct_vm_version_string =
    FIELD("Abstract_VM_Version", "_s_internal_vm_info_string", "const char*", STATIC);
field_target struct_vm_major_version = FIELD("Abstract_VM_Version", "_vm_major_version", "int", STATIC);

#undef FIELD
#undef STATIC
#undef MEMBER

const field_row vm_field_list[] = {
    {21, 25, &struct_klass_offset},
    {1, 24, &struct_obj_iklass_klass},
    {1, 25, &struct_klass_layout_helper},
    {1, 25, &struct_klass_name},
    {1, 25, &struct_iklass_constants},
    {1, 25, &struct_iklass_local_interfaces},
    {1, 25, &struct_iklass_trans_interfaces},
    {1, 25, &struct_iklass_methods},
    {1, 25, &struct_iklass_inner_classes},
    {1, 25, &struct_iklass_fields},
    {23, 25, &struct_iklass_field_count},
    {1, 24, &struct_iklass_class_annotations},
    {1, 24, &struct_iklass_fields_annotations},
    {1, 24, &struct_iklass_methods_annotations},
    {1, 24, &struct_iklass_methods_param_annotations},
    {1, 24, &struct_iklass_methods_default_annotations},
    {1, 25, &struct_flags},
    {1, 25, &struct_flags_num},
    {1, 25, &struct_flag_type},
    {1, 25, &struct_flag_name},
    {1, 25, &struct_flag_addr},
    {16, 25, &struct_narrow_base},
    {16, 25, &struct_narrow_shift},
    {25, 25, &struct_nklass_base},
    {25, 25, &struct_nklass_shift},
    {14, 25, &struct_obj_nklass_offset},
    {1, 25, &struct_obj_klass_offset},
    {1, 13, &struct_arr_length},
    {14, 25, &struct_cp_length},
    {1, 25, &struct_cp_cache},
    {1, 25, &struct_cp_tags},
    {14, 25, &struct_cpc_length},
    {25, 25, &struct_arr_int_length},
    {25, 25, &struct_arr_u1_data},
    {25, 25, &struct_arr_u2_data},
    {25, 25, &struct_arr_klass_data},
    {25, 25, &struct_arr_method_data},
    {1, 25, &struct_const_method_size},
    {1, 25, &struct_const_method_stackmap},
    {1, 25, &struct_const_method_name_index},
    {1, 25, &struct_const_method_sig_index},
    {1, 25, &struct_method_const},
    {22, 25, &struct_method_data},
    {25, 25, &struct_method_counters},
    {1, 25, &struct_method_size},
    {1, 25, &struct_method_access},
    {1, 25, &struct_access_flags},
    {1, 25, &struct_method_data_size},
    {1, 25, &struct_symbol_length},
    {1, 25, &struct_symbol_body},
    {0, 0, nullptr},
};

const field_row vm_version_field_list[] = {
    {1, 99, &struct_vm_version_string},
    {1, 99, &struct_vm_major_version},
    {0, 0, nullptr},
};

const field_row vm_old_server_field_list[] = {
    {1, 21, &struct_method_data},
    {0, 0, nullptr},
};

#define TYPE(name, superclass, oop, integer, is_unsigned) \
  { name, superclass, oop, integer, is_unsigned, VM_UNRESOLVED }
type_target type_instance_klass = TYPE(vn_instance_klass_name, "Klass", 0, 0, 0);
type_target type_flag = TYPE("Flag", nullptr, 0, 0, 0);
type_target type_oop_desc = TYPE("oopDesc", nullptr, 0, 0, 0);
type_target type_instance_oop_desc = TYPE("instanceOopDesc", "oopDesc", 0, 0, 0);
type_target type_intx = TYPE("intx", nullptr, 0, 1, 0);
type_target type_intptr_t = TYPE("intptr_t", nullptr, 0, 1, 0);
type_target type_constant_pool_oop_desc = TYPE(vn_const_pool_klass_name, vn_const_pool_superclass, 0, 0, 0);
type_target type_constant_pool_cache_oop_desc =
    TYPE(vn_const_pool_cache_klass_name, vn_const_pool_cache_superclass, 0, 0, 0);
type_target type_constant_pool_cache_entry = TYPE("ConstantPoolCacheEntry", nullptr, 0, 0, 0);
type_target type_array_oop_desc = TYPE("arrayOopDesc", "oopDesc", 0, 0, 0);
type_target type_method_counters = TYPE("MethodCounters", "MetaspaceObj", 0, 0, 0);
type_target type_u1 = TYPE("u1", nullptr, 0, 1, 1);
type_target type_u2 = TYPE("u2", nullptr, 0, 1, 1);
type_target type_jushort = TYPE("jushort", nullptr, 0, 1, 1);
type_target type_ptr = TYPE("void*", nullptr, 0, 0, 0);
#undef TYPE

const type_row vm_type_list[] = {
    {1, 25, &type_instance_klass},
    {1, 25, &type_flag},
    {1, 25, &type_oop_desc},
    {1, 25, &type_instance_oop_desc},
    {1, 25, &type_intx},
    {1, 25, &type_intptr_t},
    {1, 25, &type_constant_pool_oop_desc},
    {1, 25, &type_constant_pool_cache_oop_desc},
    {1, 25, &type_constant_pool_cache_entry},
    {1, 25, &type_array_oop_desc},
    {25, 25, &type_method_counters},
    {25, 25, &type_u1},
    {25, 25, &type_u2},
    {25, 25, &type_jushort},
    {25, 25, &type_ptr},
    {0, 0, nullptr},
};

#define CONSTANT(name) \
  { name, VM_UNRESOLVED_CONSTANT }
const_target const_oop_size = CONSTANT("oopSize");
const_target const_old_klass_offset = CONSTANT("java_lang_Class::hc_klass_offset");
const_target const_word_size = CONSTANT("HeapWordSize");
const_target const_bytes_per_word = CONSTANT("BytesPerWord");
const_target const_header_size_shift = CONSTANT("Klass::_lh_header_size_shift");
const_target const_klass_fields_access = CONSTANT(vn_field_access_const);
const_target const_klass_fields_name = CONSTANT(vn_field_name_const);
const_target const_klass_fields_signature = CONSTANT(vn_field_signature_const);
const_target const_klass_fields_slots = CONSTANT(vn_field_slots_const);
const_target const_log2_element_size_shift = CONSTANT("Klass::_lh_log2_element_size_shift");
#undef CONSTANT

const const_row vm_const_list[] = {
    {14, 25, &const_oop_size},
    {1, 20, &const_old_klass_offset},
    {1, 25, &const_word_size},
    {25, 25, &const_bytes_per_word},
    {1, 25, &const_header_size_shift},
    {1, 25, &const_klass_fields_access},
    {1, 25, &const_klass_fields_name},
    {1, 25, &const_klass_fields_signature},
    {1, 25, &const_klass_fields_slots},
    {1, 25, &const_log2_element_size_shift},
    {0, 0, nullptr},
};

void vm_targets_fill_version_names(int32_t major) {
  for (const version_name_row &row : version_names) {
    if (major >= row.lowest && major <= row.highest) safe_strncpy(row.destination, row.text, row.size);
  }
}

void vm_targets_reset() {
  for (const version_name_row &row : version_names) row.destination[0] = '\0';
  for (const field_row *lists[] = {vm_field_list, vm_version_field_list, vm_old_server_field_list};
       const field_row *list : lists) {
    for (const field_row *row = list; row->target != nullptr; ++row) {
      row->target->offset = VM_UNRESOLVED;
      row->target->address = 0;
    }
  }
  for (const type_row *row = vm_type_list; row->target != nullptr; ++row) row->target->size = VM_UNRESOLVED;
  for (const const_row *row = vm_const_list; row->target != nullptr; ++row) {
    row->target->value = VM_UNRESOLVED_CONSTANT;
  }
}
