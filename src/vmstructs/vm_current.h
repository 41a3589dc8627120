// Current HotSpot (JDK 11 to 25) as a family of its own: recognised by the JVMTI version, the
// security version only these JDKs export and a release text of the form "25.0.3+9-LTS", never by
// the major version alone (JDK 17 and 25 share their majors with HotSpot 17 and 25 of JDK 7 and 8).
// The layout of the class metadata is resolved by name and type from the exported tables, taking
// the names of either JDK where one renamed a field, and what the tables do not export is derived
// from exported neighbours and checked before use. The old generations keep vm_structs.h.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

// Offsets are -1 and sizes 0 while absent.
struct vm_current_layout {
  // Klass
  int32_t klass_layout_helper, klass_name, klass_super, klass_vtable_len, klass_access_flags, klass_secondary_supers,
      klass_class_loader_data;
  // ClassLoaderData: the handle of its loader object
  int32_t cld_class_loader;
  // InstanceKlass
  int32_t ik_constants, ik_methods, ik_default_methods, ik_local_interfaces, ik_transitive_interfaces, ik_fields,
      ik_java_fields_count, ik_fieldinfo_stream, ik_fieldinfo_search_table, ik_fields_status, ik_inner_classes,
      ik_nest_members, ik_permitted_subclasses, ik_record_components, ik_source_debug_extension, ik_annotations,
      ik_method_ordering, ik_default_vtable_indices, ik_itable_len, ik_nonstatic_oop_map_size;
  // ConstantPool and its cache
  int32_t cp_tags, cp_cache, cp_operands, cp_resolved_klasses, cp_length;
  int32_t cpc_length, cpc_reference_map, cpc_indy_entries, cpc_field_entries, cpc_method_entries;
  // Method, ConstMethod, MethodData
  int32_t method_const, method_data, method_counters, method_access_flags;
  int32_t const_method_size, const_method_stackmap, const_method_name_index, const_method_signature_index,
      const_method_flags;
  int32_t method_data_size;
  // Annotations and record components (derived where not exported)
  int32_t annotations_class, annotations_fields, annotations_class_type, annotations_fields_type;
  int32_t record_component_annotations, record_component_type_annotations;
  // AccessFlags, Symbol, Array<T>
  int32_t access_flags_flags, symbol_length, symbol_body, array_length, array_u1_data, array_u2_data, array_ptr_data,
      array_int_data;
  // Widths in bytes of the fields whose type differs between JDKs.
  uint8_t access_flags_width, const_method_flags_width, symbol_length_width;

  // Type sizes.
  uint32_t instance_klass_size, obj_array_klass_size, type_array_klass_size, constant_pool_size,
      constant_pool_cache_size, cp_cache_entry_size, indy_entry_size, field_entry_size, method_entry_size, method_size,
      method_counters_size, annotations_size, record_component_size, array_u1_size, array_u2_size, array_int_size,
      array_ptr_size, indy_array_size, field_array_size, method_array_size, slot_size, word_size;

  // Constants: ConstMethod flag bits of the annotation arrays at the end of a const method.
  uint32_t has_method_annotations, has_parameter_annotations, has_type_annotations, has_default_annotations;
  // Fields: slots of the field array (JDK 11 to 20) or bits of the field flags in the field stream
  // (21 and later).
  int32_t field_slots, field_access_slot, field_name_slot, field_signature_slot;
  int32_t ff_initialized, ff_injected, ff_generic, ff_contended;
};

// What was derived rather than read from the tables (bits of vm_current_record.derived).
enum vm_current_derived : uint32_t {
  VM_DERIVED_NEST_MEMBERS = 1u << 0,        // after the inner classes
  VM_DERIVED_SEALED_AND_RECORDS = 1u << 1,  // permitted subclasses and record components, after the nest host
  VM_DERIVED_FIELDS_STATUS = 1u << 2,       // the last word of InstanceKlass
  VM_DERIVED_FIELD_SEARCH_TABLE = 1u << 3,  // between the field stream and the field status
  VM_DERIVED_ANNOTATIONS = 1u << 4,         // the four arrays of an Annotations record, in declaration order
  VM_DERIVED_RECORD_COMPONENT = 1u << 5,    // size and the two annotation arrays of a record component
  VM_DERIVED_ARRAY_HEADERS = 1u << 6,       // Array<T> headers of element types without a type entry
};

struct vm_current_record {
  bool active;            // recognised and every required item resolved
  int32_t feature;        // the JDK feature number (_vm_major_version)
  int32_t security;       // _vm_security_version
  char release[64];       // _s_vm_release, "25.0.3+9-LTS"
  uint64_t klass_offset;  // the address of java_lang_Class::_klass_offset
  int32_t mirror_klass;   // its value: where a mirror holds its Klass*
  uint64_t shared_base;   // the class data archive's metadata range, [base, top); 0 and 0 without one
  uint64_t shared_top;
  uint32_t derived;          // vm_current_derived bits
  uint32_t min_block_bytes;  // the smallest block a metaspace allocation takes
  vm_current_layout layout;
};

extern vm_current_record vm_current;

// After load_vm_exports: recognises the family and resolves its layout. False, with
// vm_structs.unsupported_version set and nothing logged, for a JVM of another family; false with
// the missing names logged when a required item is absent.
bool vm_current_load(JNIEnv *env);
// The family is loaded (and the old generations' formulas must not run).
bool vm_current_active();
// The texts of the derived items, for the log: "nest members, fields status, ...".
void vm_current_derived_text(uint32_t derived, char *buffer, size_t size);
// Forgets a load.
void vm_current_reset();
