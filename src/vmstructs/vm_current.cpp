#include "vmstructs/vm_current.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "base/common.h"
#include "base/string_util.h"
#include "core/log.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_structs.h"
#include "vmstructs/vm_table_entries.h"

vm_current_record vm_current;

namespace {

constexpr int32_t ABSENT = -1;
constexpr int32_t NO_CONSTANT = INT32_MIN;  // constants may be negative
constexpr int32_t LOWEST_FEATURE = 11, HIGHEST_FEATURE = 25;
constexpr size_t NAME_SIZE = 256;

// The table entries, as vm_structs.cpp checked their layout.
using struct_entry = vm_struct_entry;
using type_entry = vm_type_entry;
using constant_entry = vm_int_constant_entry;

vm_current_layout &L = vm_current.layout;

// A field wanted from the struct table. Rows naming the same destination are alternatives (the
// names of different JDKs); type strings lists what each JDK declares, '|' between them, and null
// for an entry without one.
struct field_row {
  const char *type;
  const char *name;
  const char *type_strings;
  int32_t *offset;    // member fields
  uint64_t *address;  // static fields
  uint8_t *width;     // the field's width in bytes, where the JDKs differ
};

// Version fields, resolved first.
uint64_t major_address, security_address, release_address, shared_base_address, shared_top_address;

#define MEMBER(type, name, types, destination) \
  { type, name, types, &L.destination, nullptr, nullptr }
#define SIZED(type, name, types, destination, width) \
  { type, name, types, &L.destination, nullptr, &L.width }
#define STATIC(type, name, types, address) \
  { type, name, types, nullptr, &address, nullptr }
const field_row version_rows[] = {
    STATIC("Abstract_VM_Version", "_vm_major_version", "int", major_address),
    STATIC("Abstract_VM_Version", "_vm_security_version", "int", security_address),
    STATIC("Abstract_VM_Version", "_s_vm_release", "const char*", release_address),
};

const field_row layout_rows[] = {
    STATIC("java_lang_Class", "_klass_offset", "int", vm_current.klass_offset),
    STATIC("MetaspaceObj", "_shared_metaspace_base", "void*", shared_base_address),
    STATIC("MetaspaceObj", "_shared_metaspace_top", "void*", shared_top_address),
    MEMBER("Klass", "_layout_helper", "jint", klass_layout_helper),
    MEMBER("Klass", "_name", "Symbol*", klass_name),
    MEMBER("Klass", "_super", "Klass*", klass_super),
    MEMBER("Klass", "_vtable_len", "int", klass_vtable_len),
    MEMBER("Klass", "_access_flags", "AccessFlags", klass_access_flags),
    MEMBER("Klass", "_secondary_supers", "Array<Klass*>*", klass_secondary_supers),
    MEMBER("Klass", "_class_loader_data", "ClassLoaderData*", klass_class_loader_data),
    MEMBER("ClassLoaderData", "_class_loader", "OopHandle", cld_class_loader),
    MEMBER("InstanceKlass", "_constants", "ConstantPool*", ik_constants),
    MEMBER("InstanceKlass", "_methods", "Array<Method*>*", ik_methods),
    MEMBER("InstanceKlass", "_default_methods", "Array<Method*>*", ik_default_methods),
    MEMBER("InstanceKlass", "_local_interfaces", "Array<InstanceKlass*>*|Array<Klass*>*", ik_local_interfaces),
    MEMBER("InstanceKlass", "_transitive_interfaces", "Array<InstanceKlass*>*|Array<Klass*>*",
           ik_transitive_interfaces),
    MEMBER("InstanceKlass", "_fields", "Array<u2>*", ik_fields),
    MEMBER("InstanceKlass", "_java_fields_count", "u2", ik_java_fields_count),
    MEMBER("InstanceKlass", "_fieldinfo_stream", "Array<u1>*", ik_fieldinfo_stream),
    MEMBER("InstanceKlass", "_fields_status", "Array<FieldStatus>*", ik_fields_status),
    MEMBER("InstanceKlass", "_inner_classes", "Array<jushort>*|Array<u2>*", ik_inner_classes),
    MEMBER("InstanceKlass", "_nest_members", "Array<jushort>*|Array<u2>*", ik_nest_members),
    MEMBER("InstanceKlass", "_permitted_subclasses", "Array<jushort>*|Array<u2>*", ik_permitted_subclasses),
    MEMBER("InstanceKlass", "_record_components", "Array<RecordComponent*>*", ik_record_components),
    MEMBER("InstanceKlass", "_source_debug_extension", "const char*", ik_source_debug_extension),
    MEMBER("InstanceKlass", "_annotations", "Annotations*", ik_annotations),
    MEMBER("InstanceKlass", "_method_ordering", "Array<int>*", ik_method_ordering),
    MEMBER("InstanceKlass", "_default_vtable_indices", "Array<int>*", ik_default_vtable_indices),
    MEMBER("InstanceKlass", "_itable_len", "int", ik_itable_len),
    MEMBER("InstanceKlass", "_nonstatic_oop_map_size", "int", ik_nonstatic_oop_map_size),
    MEMBER("ConstantPool", "_tags", "Array<u1>*", cp_tags),
    MEMBER("ConstantPool", "_cache", "ConstantPoolCache*", cp_cache),
    MEMBER("ConstantPool", "_operands", "Array<u2>*", cp_operands),
    MEMBER("ConstantPool", "_resolved_klasses", "Array<Klass*>*", cp_resolved_klasses),
    MEMBER("ConstantPool", "_length", "int", cp_length),
    MEMBER("ConstantPoolCache", "_length", "int", cpc_length),
    MEMBER("ConstantPoolCache", "_reference_map", "Array<u2>*", cpc_reference_map),
    MEMBER("ConstantPoolCache", "_resolved_indy_entries", "Array<ResolvedIndyEntry>*", cpc_indy_entries),
    MEMBER("ConstantPoolCache", "_resolved_field_entries", "Array<ResolvedFieldEntry>*", cpc_field_entries),
    MEMBER("ConstantPoolCache", "_resolved_method_entries", "Array<ResolvedMethodEntry>*", cpc_method_entries),
    MEMBER("Method", "_constMethod", "ConstMethod*", method_const),
    MEMBER("Method", "_method_data", "MethodData*", method_data),
    MEMBER("Method", "_method_counters", "MethodCounters*", method_counters),
    MEMBER("Method", "_access_flags", "AccessFlags", method_access_flags),
    MEMBER("ConstMethod", "_constMethod_size", "int", const_method_size),
    MEMBER("ConstMethod", "_stackmap_data", "Array<u1>*", const_method_stackmap),
    MEMBER("ConstMethod", "_name_index", "u2", const_method_name_index),
    MEMBER("ConstMethod", "_signature_index", "u2", const_method_signature_index),
    SIZED("ConstMethod", "_flags", "u2", const_method_flags, const_method_flags_width),
    SIZED("ConstMethod", "_flags._flags", "u4", const_method_flags, const_method_flags_width),
    MEMBER("MethodData", "_size", "int", method_data_size),
    MEMBER("Annotations", "_class_annotations", "Array<u1>*", annotations_class),
    MEMBER("Annotations", "_fields_annotations", "Array<Array<u1>*>*", annotations_fields),
    MEMBER("Annotations", "_class_type_annotations", "Array<u1>*", annotations_class_type),
    MEMBER("Annotations", "_fields_type_annotations", "Array<Array<u1>*>*", annotations_fields_type),
    SIZED("AccessFlags", "_flags", "jint|u2|u4", access_flags_flags, access_flags_width),
    SIZED("Symbol", "_length", "u2|unsigned short", symbol_length, symbol_length_width),
    MEMBER("Symbol", "_body", nullptr, symbol_body),
    MEMBER("Array<int>", "_length", "int", array_length),
    MEMBER("Array<int>", "_data", nullptr, array_int_data),
    MEMBER("Array<u1>", "_data", nullptr, array_u1_data),
    MEMBER("Array<u2>", "_data", nullptr, array_u2_data),
    MEMBER("Array<Klass*>", "_data", nullptr, array_ptr_data),
};
#undef MEMBER
#undef SIZED
#undef STATIC

struct type_row {
  const char *name;
  uint32_t *size;
};
#define TYPE(name, destination) \
  { name, &L.destination }
const type_row type_rows[] = {
    TYPE("InstanceKlass", instance_klass_size),
    TYPE("ObjArrayKlass", obj_array_klass_size),
    TYPE("TypeArrayKlass", type_array_klass_size),
    TYPE("ConstantPool", constant_pool_size),
    TYPE("ConstantPoolCache", constant_pool_cache_size),
    TYPE("ConstantPoolCacheEntry", cp_cache_entry_size),
    TYPE("ResolvedIndyEntry", indy_entry_size),
    TYPE("ResolvedFieldEntry", field_entry_size),
    TYPE("ResolvedMethodEntry", method_entry_size),
    TYPE("Method", method_size),
    TYPE("MethodCounters", method_counters_size),
    TYPE("Annotations", annotations_size),
    TYPE("RecordComponent", record_component_size),
    TYPE("Array<u1>", array_u1_size),
    TYPE("Array<u2>", array_u2_size),
    TYPE("Array<int>", array_int_size),
    TYPE("Array<Klass*>", array_ptr_size),
    TYPE("Array<ResolvedIndyEntry>", indy_array_size),
    TYPE("Array<ResolvedFieldEntry>", field_array_size),
    TYPE("Array<ResolvedMethodEntry>", method_array_size),
    TYPE("intptr_t", slot_size),
};
#undef TYPE

struct constant_row {
  const char *name;
  int32_t *value;
};
int32_t heap_word_size, has_method_annotations, has_parameter_annotations, has_type_annotations,
    has_default_annotations;
const constant_row constant_rows[] = {
    {"HeapWordSize", &heap_word_size},
    {"ConstMethod::_has_method_annotations", &has_method_annotations},
    {"ConstMethodFlags::_misc_has_method_annotations", &has_method_annotations},
    {"ConstMethod::_has_parameter_annotations", &has_parameter_annotations},
    {"ConstMethodFlags::_misc_has_parameter_annotations", &has_parameter_annotations},
    {"ConstMethod::_has_type_annotations", &has_type_annotations},
    {"ConstMethodFlags::_misc_has_type_annotations", &has_type_annotations},
    {"ConstMethod::_has_default_annotations", &has_default_annotations},
    {"ConstMethodFlags::_misc_has_default_annotations", &has_default_annotations},
    {"FieldInfo::field_slots", &L.field_slots},
    {"FieldInfo::access_flags_offset", &L.field_access_slot},
    {"FieldInfo::name_index_offset", &L.field_name_slot},
    {"FieldInfo::signature_index_offset", &L.field_signature_slot},
    {"FieldInfo::FieldFlags::_ff_initialized", &L.ff_initialized},
    {"FieldInfo::FieldFlags::_ff_injected", &L.ff_injected},
    {"FieldInfo::FieldFlags::_ff_generic", &L.ff_generic},
    {"FieldInfo::FieldFlags::_ff_contended", &L.ff_contended},
};

// What must be there, for the messages naming what is not.
struct required_item {
  const int32_t *offset;
  const char *description;
};
const required_item required_fields[] = {
    {&L.klass_layout_helper, "Klass::_layout_helper"},
    {&L.klass_name, "Klass::_name"},
    {&L.klass_super, "Klass::_super"},
    {&L.klass_vtable_len, "Klass::_vtable_len"},
    {&L.klass_access_flags, "Klass::_access_flags"},
    {&L.klass_secondary_supers, "Klass::_secondary_supers"},
    {&L.ik_constants, "InstanceKlass::_constants"},
    {&L.ik_methods, "InstanceKlass::_methods"},
    {&L.ik_default_methods, "InstanceKlass::_default_methods"},
    {&L.ik_local_interfaces, "InstanceKlass::_local_interfaces"},
    {&L.ik_transitive_interfaces, "InstanceKlass::_transitive_interfaces"},
    {&L.ik_inner_classes, "InstanceKlass::_inner_classes"},
    {&L.ik_source_debug_extension, "InstanceKlass::_source_debug_extension"},
    {&L.ik_annotations, "InstanceKlass::_annotations"},
    {&L.ik_method_ordering, "InstanceKlass::_method_ordering"},
    {&L.ik_default_vtable_indices, "InstanceKlass::_default_vtable_indices"},
    {&L.ik_itable_len, "InstanceKlass::_itable_len"},
    {&L.ik_nonstatic_oop_map_size, "InstanceKlass::_nonstatic_oop_map_size"},
    {&L.cp_tags, "ConstantPool::_tags"},
    {&L.cp_cache, "ConstantPool::_cache"},
    {&L.cp_operands, "ConstantPool::_operands"},
    {&L.cp_resolved_klasses, "ConstantPool::_resolved_klasses"},
    {&L.cp_length, "ConstantPool::_length"},
    {&L.cpc_reference_map, "ConstantPoolCache::_reference_map"},
    {&L.method_const, "Method::_constMethod"},
    {&L.method_data, "Method::_method_data"},
    {&L.method_counters, "Method::_method_counters"},
    {&L.method_access_flags, "Method::_access_flags"},
    {&L.const_method_size, "ConstMethod::_constMethod_size"},
    {&L.const_method_stackmap, "ConstMethod::_stackmap_data"},
    {&L.const_method_name_index, "ConstMethod::_name_index"},
    {&L.const_method_signature_index, "ConstMethod::_signature_index"},
    {&L.const_method_flags, "ConstMethod::_flags"},
    {&L.method_data_size, "MethodData::_size"},
    {&L.access_flags_flags, "AccessFlags::_flags"},
    {&L.symbol_length, "Symbol::_length"},
    {&L.symbol_body, "Symbol::_body"},
    {&L.array_length, "Array<int>::_length"},
    {&L.array_u1_data, "Array<u1>::_data"},
    {&L.array_u2_data, "Array<u2>::_data"},
    {&L.array_ptr_data, "Array<Klass*>::_data"},
};
const struct {
  const uint32_t *size;
  const char *name;
} required_types[] = {
    {&L.instance_klass_size, "InstanceKlass"},
    {&L.obj_array_klass_size, "ObjArrayKlass"},
    {&L.type_array_klass_size, "TypeArrayKlass"},
    {&L.constant_pool_size, "ConstantPool"},
    {&L.constant_pool_cache_size, "ConstantPoolCache"},
    {&L.method_size, "Method"},
    {&L.method_counters_size, "MethodCounters"},
    {&L.array_u1_size, "Array<u1>"},
    {&L.array_u2_size, "Array<u2>"},
    {&L.array_int_size, "Array<int>"},
    {&L.array_ptr_size, "Array<Klass*>"},
    {&L.slot_size, "intptr_t"},
};

// A text of the tables, read once and compared with the wanted ones.
struct table_text {
  const char *address;
  bool read = false, readable = false;
  char value[NAME_SIZE];
  explicit table_text(const char *at) : address(at) {}
  const char *get() {
    if (!read) {
      read = true;
      readable = address != nullptr && vm_read_text(address, value, sizeof value, "vm_current_text", __LINE__);
    }
    return readable ? value : nullptr;
  }
  bool equals(const char *expected) {
    if (address == nullptr || expected == nullptr) return address == expected;
    const char *text = get();
    return text != nullptr && strcmp(text, expected) == 0;
  }
  // One of the '|'-separated texts; null accepts only a missing text.
  bool one_of(const char *accepted) {
    if (accepted == nullptr || address == nullptr) return accepted == nullptr && address == nullptr;
    const char *text = get();
    if (text == nullptr) return false;
    size_t length = strlen(text);
    for (const char *at = accepted; *at != '\0';) {
      const char *end = strchr(at, '|');
      size_t part = end != nullptr ? (size_t)(end - at) : strlen(at);
      if (part == length && strncmp(at, text, part) == 0) return true;
      if (end == nullptr) break;
      at = end + 1;
    }
    return false;
  }
};

// Bytes of a field of the given declared type (0 when unknown).
uint8_t width_of(const char *type) {
  if (type == nullptr) return 0;
  size_t length = strlen(type);
  if (length > 0 && type[length - 1] == '*') return 8;
  for (const char *name : {"u1", "bool", "jbyte", "jboolean"}) {
    if (strcmp(type, name) == 0) return 1;
  }
  for (const char *name : {"u2", "jushort", "unsigned short", "jshort"}) {
    if (strcmp(type, name) == 0) return 2;
  }
  for (const char *name : {"int", "jint", "u4", "juint", "uint", "unsigned int"}) {
    if (strcmp(type, name) == 0) return 4;
  }
  for (const char *name : {"intx", "uintx", "address", "uint64_t", "u8", "jlong", "size_t"}) {
    if (strcmp(type, name) == 0) return 8;
  }
  return 0;
}

template <size_t N>
void resolve_fields(const field_row (&rows)[N]) {
  const char *at = vm_structs.entries;
  struct_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "vm_current_fields", __LINE__) &&
         entry.type_name != nullptr;
       at += sizeof entry) {
    table_text type(entry.type_name), name(entry.field_name), type_string(entry.type_string);
    for (const field_row &row : rows) {
      if ((row.address != nullptr) != (entry.is_static != 0)) continue;
      if (!type.equals(row.type) || !name.equals(row.name) || !type_string.one_of(row.type_strings)) continue;
      if (row.offset != nullptr) *row.offset = (int32_t)entry.offset;
      if (row.address != nullptr) *row.address = entry.address;
      if (row.width != nullptr) *row.width = width_of(type_string.get());
      break;
    }
  }
}

void resolve_types() {
  const char *at = vm_structs.entries_type;
  type_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "vm_current_types", __LINE__) &&
         entry.type_name != nullptr;
       at += sizeof entry) {
    table_text name(entry.type_name);
    for (const type_row &row : type_rows) {
      if (name.equals(row.name)) {
        *row.size = (uint32_t)entry.size;
        break;
      }
    }
  }
}

void resolve_constants() {
  const char *at = vm_structs.entries_int;
  constant_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "vm_current_constants", __LINE__) &&
         entry.name != nullptr;
       at += sizeof entry) {
    table_text name(entry.name);
    for (const constant_row &row : constant_rows) {
      if (name.equals(row.name)) {
        *row.value = entry.value;
        break;
      }
    }
  }
}

bool read_int(uint64_t address, int32_t *value) {
  return address != 0 &&
         safe_read_memory(reinterpret_cast<const void *>(address), value, sizeof *value, "vm_current_load", __LINE__);
}

// The release text starts with the feature number, then ".", "+", "-" or nothing ("25.0.3+9-LTS",
// "17-ea"); the old generations named their builds "-b" after the version ("25.312-b07" is
// HotSpot 25 of JDK 8).
bool release_matches(const char *release, int32_t feature) {
  char prefix[16];
  xsnprintf(prefix, sizeof prefix, "%d", feature);
  size_t length = strlen(prefix);
  if (strncmp(release, prefix, length) != 0) return false;
  char next = release[length];
  if (next != '\0' && next != '.' && next != '+' && next != '-') return false;
  const char *after = release + length;
  while (*after == '.' || (*after >= '0' && *after <= '9')) ++after;
  return !(after[0] == '-' && after[1] == 'b' && after[2] >= '0' && after[2] <= '9');
}

// The family, from the version fields alone. False: another family (nothing logged).
bool recognise(JNIEnv *) {
  resolve_fields(version_rows);
  int32_t feature = 0, security = 0;
  if (!read_int(major_address, &feature) || !read_int(security_address, &security)) return false;
  if (feature < LOWEST_FEATURE || feature > HIGHEST_FEATURE) return false;
  const void *release = release_address != 0 ? safe_read_memory_ptr(reinterpret_cast<const void *>(release_address), 0,
                                                                    "vm_current_load", __LINE__)
                                             : nullptr;
  if (!vm_read_text(release, vm_current.release, sizeof vm_current.release, "vm_current_load", __LINE__) ||
      !release_matches(vm_current.release, feature)) {
    return false;
  }
  vm_current.feature = feature;
  vm_current.security = security;
  return true;
}

// Items the tables leave out, placed by their exported neighbours. Each rule checks what it relies
// on; an item whose rule does not hold stays absent, and the class sizes say so for that part.
void derive(JNIEnv *) {
  // Between the inner classes and the source debug extension InstanceKlass declares the nest
  // members, the nest host, the permitted subclasses and the record components: five words.
  constexpr int32_t WORD = 8;
  bool nest_gap = L.ik_inner_classes >= 0 && L.ik_source_debug_extension - L.ik_inner_classes == 5 * WORD;
  if (L.ik_nest_members < 0 && nest_gap) {
    L.ik_nest_members = L.ik_inner_classes + WORD;
    vm_current.derived |= VM_DERIVED_NEST_MEMBERS;
  }
  if (nest_gap && L.ik_nest_members == L.ik_inner_classes + WORD &&
      (L.ik_permitted_subclasses < 0 || L.ik_record_components < 0)) {
    if (L.ik_permitted_subclasses < 0) L.ik_permitted_subclasses = L.ik_inner_classes + 3 * WORD;
    if (L.ik_record_components < 0) L.ik_record_components = L.ik_inner_classes + 4 * WORD;
    vm_current.derived |= VM_DERIVED_SEALED_AND_RECORDS;
  }
  // With a field stream (JDK 21 and later) the status of every field is the last word of
  // InstanceKlass; JDK 25 puts the field search table between the two.
  if (L.ik_fieldinfo_stream >= 0 && L.ik_fields_status < 0) {
    int32_t last = (int32_t)L.instance_klass_size - WORD;
    if (last > L.ik_fieldinfo_stream) {
      L.ik_fields_status = last;
      vm_current.derived |= VM_DERIVED_FIELDS_STATUS;
      if (last - L.ik_fieldinfo_stream == 2 * WORD) {
        L.ik_fieldinfo_search_table = L.ik_fieldinfo_stream + WORD;
        vm_current.derived |= VM_DERIVED_FIELD_SEARCH_TABLE;
      }
    }
  }
  // Annotations: four array pointers in this order, nothing else.
  if (L.annotations_class < 0 && L.annotations_fields < 0 && L.annotations_class_type < 0 &&
      L.annotations_fields_type < 0) {
    L.annotations_class = 0;
    L.annotations_fields = WORD;
    L.annotations_class_type = 2 * WORD;
    L.annotations_fields_type = 3 * WORD;
    if (L.annotations_size == 0) L.annotations_size = 4 * WORD;
    vm_current.derived |= VM_DERIVED_ANNOTATIONS;
  }
  // A record component: its annotations and type annotations, then four u2 indexes.
  if (L.record_component_size == 0) {
    L.record_component_size = 2 * WORD + 4 * 2;
    vm_current.derived |= VM_DERIVED_RECORD_COMPONENT;
  }
  L.record_component_annotations = 0;
  L.record_component_type_annotations = WORD;
  // Array<T> of element types without a type entry: a pointer-aligned header like Array<Klass*>,
  // or the length and the first element.
  auto array_of = [](uint32_t *size, uint32_t element) {
    if (*size != 0 || element == 0) return;
    uint32_t alignment = element >= 8 ? 8 : 4;
    uint32_t data = (4 + alignment - 1) / alignment * alignment;
    *size = (data + element + alignment - 1) / alignment * alignment;
    vm_current.derived |= VM_DERIVED_ARRAY_HEADERS;
  };
  array_of(&L.indy_array_size, L.indy_entry_size);
  array_of(&L.field_array_size, L.field_entry_size);
  array_of(&L.method_array_size, L.method_entry_size);
}

bool check_required(JNIEnv *env) {
  bool found = true;
  for (const required_item &item : required_fields) {
    if (*item.offset < 0) {
      log_error_raw(env, "Class size calculator: Field %s not found.", item.description);
      found = false;
    }
  }
  if (L.ik_fields >= 0 && L.ik_java_fields_count < 0) {
    log_error_raw(env, "Class size calculator: Field %s not found.", "InstanceKlass::_java_fields_count");
    found = false;
  }
  if (L.cpc_length < 0 && L.cpc_indy_entries < 0 && L.cpc_field_entries < 0 && L.cpc_method_entries < 0) {
    log_error_raw(env, "Class size calculator: Field %s not found.",
                  "ConstantPoolCache::_length or ConstantPoolCache::_resolved_*_entries");
    found = false;
  }
  if (L.cpc_length >= 0 && L.cp_cache_entry_size == 0) {
    log_error_raw(env, "Class size calculator: Type %s not found.", "ConstantPoolCacheEntry");
    found = false;
  }
  if (L.ik_fields < 0 && L.ik_fieldinfo_stream < 0) {
    log_error_raw(env, "Class size calculator: Field %s not found.",
                  "InstanceKlass::_fields or InstanceKlass::_fieldinfo_stream");
    found = false;
  }
  for (const auto &type : required_types) {
    if (*type.size == 0) {
      log_error_raw(env, "Class size calculator: Type %s not found.", type.name);
      found = false;
    }
  }
  if (vm_current.klass_offset != 0 && !read_int(vm_current.klass_offset, &vm_current.mirror_klass)) {
    vm_current.mirror_klass = 0;
  }
  if (vm_current.mirror_klass <= 0 || shared_base_address == 0 || shared_top_address == 0) {
    log_error_raw(
        env, "Class size calculator: Field %s not found.",
        vm_current.mirror_klass <= 0 ? "java_lang_Class::_klass_offset" : "MetaspaceObj::_shared_metaspace_base");
    found = false;
  }
  const struct {
    const int32_t *value;
    const char *name;
    bool wanted;
  } constants[] = {
      {&heap_word_size, "HeapWordSize", true},
      {&has_method_annotations, "ConstMethod::_has_method_annotations", true},
      {&has_parameter_annotations, "ConstMethod::_has_parameter_annotations", true},
      {&has_type_annotations, "ConstMethod::_has_type_annotations", true},
      {&has_default_annotations, "ConstMethod::_has_default_annotations", true},
      // The field array's slots, or the field stream's flag bits.
      {&L.field_slots, "FieldInfo::field_slots", L.ik_fields >= 0},
      {&L.field_access_slot, "FieldInfo::access_flags_offset", L.ik_fields >= 0},
      {&L.field_name_slot, "FieldInfo::name_index_offset", L.ik_fields >= 0},
      {&L.field_signature_slot, "FieldInfo::signature_index_offset", L.ik_fields >= 0},
      {&L.ff_initialized, "FieldInfo::FieldFlags::_ff_initialized", L.ik_fields < 0},
      {&L.ff_injected, "FieldInfo::FieldFlags::_ff_injected", L.ik_fields < 0},
      {&L.ff_generic, "FieldInfo::FieldFlags::_ff_generic", L.ik_fields < 0},
      {&L.ff_contended, "FieldInfo::FieldFlags::_ff_contended", L.ik_fields < 0},
  };
  const char *missing_constant = nullptr;
  for (const auto &constant : constants) {
    if (constant.wanted && *constant.value == NO_CONSTANT && missing_constant == nullptr) {
      missing_constant = constant.name;
    }
  }
  if (missing_constant != nullptr) {
    log_error_raw(env, "Class size calculator: Int constant %s not found.", missing_constant);
    found = false;
  }
  // Every member read from a copy of its structure must lie inside it.
  const struct {
    const int32_t *offset;
    uint32_t size;
    const char *description;
  } inside[] = {
      {&L.klass_layout_helper, L.type_array_klass_size, "Klass::_layout_helper"},
      {&L.klass_vtable_len, L.type_array_klass_size, "Klass::_vtable_len"},
      {&L.klass_access_flags, L.type_array_klass_size, "Klass::_access_flags"},
      {&L.klass_secondary_supers, L.type_array_klass_size, "Klass::_secondary_supers"},
      {&L.klass_class_loader_data, L.type_array_klass_size, "Klass::_class_loader_data"},
      {&L.ik_constants, L.instance_klass_size, "InstanceKlass::_constants"},
      {&L.ik_methods, L.instance_klass_size, "InstanceKlass::_methods"},
      {&L.ik_annotations, L.instance_klass_size, "InstanceKlass::_annotations"},
      {&L.ik_fields_status, L.instance_klass_size, "InstanceKlass::_fields_status"},
      {&L.ik_nonstatic_oop_map_size, L.instance_klass_size, "InstanceKlass::_nonstatic_oop_map_size"},
      {&L.cp_length, L.constant_pool_size, "ConstantPool::_length"},
      {&L.cp_cache, L.constant_pool_size, "ConstantPool::_cache"},
      {&L.cpc_reference_map, L.constant_pool_cache_size, "ConstantPoolCache::_reference_map"},
      {&L.cpc_method_entries, L.constant_pool_cache_size, "ConstantPoolCache::_resolved_method_entries"},
      {&L.method_access_flags, L.method_size, "Method::_access_flags"},
      {&L.method_counters, L.method_size, "Method::_method_counters"},
  };
  for (const auto &member : inside) {
    if (found && *member.offset >= 0 && (uint64_t)*member.offset + 4 > member.size) {
      log_error_raw(env, "Class size calculator: Field %s lies outside its type.", member.description);
      found = false;
    }
  }
  if (found && (heap_word_size != 8 || L.slot_size != 8)) {
    log_error_raw(env, "Class size calculator: Conflicting word sizes %d vs %d.", heap_word_size, (int)L.slot_size);
    found = false;
  }
  if (found && (L.access_flags_width == 0 || L.const_method_flags_width == 0 || L.symbol_length_width != 2)) {
    log_error_raw(env, "Class size calculator: Field %s has a type of unknown width.",
                  L.access_flags_width == 0 ? "AccessFlags::_flags" : "ConstMethod::_flags");
    found = false;
  }
  return found;
}

void clear_layout() {
  vm_current = vm_current_record{};
  int32_t *offsets[] = {
      &L.klass_layout_helper,
      &L.klass_name,
      &L.klass_super,
      &L.klass_vtable_len,
      &L.klass_access_flags,
      &L.klass_secondary_supers,
      &L.klass_class_loader_data,
      &L.ik_constants,
      &L.ik_methods,
      &L.ik_default_methods,
      &L.ik_local_interfaces,
      &L.ik_transitive_interfaces,
      &L.ik_fields,
      &L.ik_java_fields_count,
      &L.ik_fieldinfo_stream,
      &L.ik_fieldinfo_search_table,
      &L.ik_fields_status,
      &L.ik_inner_classes,
      &L.ik_nest_members,
      &L.ik_permitted_subclasses,
      &L.ik_record_components,
      &L.ik_source_debug_extension,
      &L.ik_annotations,
      &L.ik_method_ordering,
      &L.ik_default_vtable_indices,
      &L.ik_itable_len,
      &L.ik_nonstatic_oop_map_size,
      &L.cp_tags,
      &L.cp_cache,
      &L.cp_operands,
      &L.cp_resolved_klasses,
      &L.cp_length,
      &L.cpc_length,
      &L.cpc_reference_map,
      &L.cpc_indy_entries,
      &L.cpc_field_entries,
      &L.cpc_method_entries,
      &L.method_const,
      &L.method_data,
      &L.method_counters,
      &L.method_access_flags,
      &L.const_method_size,
      &L.const_method_stackmap,
      &L.const_method_name_index,
      &L.const_method_signature_index,
      &L.const_method_flags,
      &L.method_data_size,
      &L.annotations_class,
      &L.annotations_fields,
      &L.annotations_class_type,
      &L.annotations_fields_type,
      &L.record_component_annotations,
      &L.record_component_type_annotations,
      &L.access_flags_flags,
      &L.symbol_length,
      &L.symbol_body,
      &L.array_length,
      &L.array_u1_data,
      &L.array_u2_data,
      &L.array_ptr_data,
      &L.array_int_data,
  };
  for (int32_t *offset : offsets) *offset = ABSENT;
  for (const constant_row &row : constant_rows) *row.value = NO_CONSTANT;
  major_address = security_address = release_address = shared_base_address = shared_top_address = 0;
}

}  // namespace

bool vm_current_load(JNIEnv *env) {
  clear_layout();
  if (!load_vm_exports(env)) {
    if (vm_structs.symbol_error <= 1 && !vm_structs.no_hotspot_symbols) {
      log_error_raw(env, "Class size calculator: Did not find exports.");
    }
    return false;
  }
  if (!recognise(env)) {
    vm_structs.unsupported_version = 1;
    return false;
  }
  resolve_fields(layout_rows);
  resolve_types();
  resolve_constants();
  derive(env);
  if (!check_required(env)) {
    log_error_raw(env, "Class size calculator: Did not find fields.");
    return false;
  }
  L.word_size = (uint32_t)heap_word_size;
  L.has_method_annotations = (uint32_t)has_method_annotations;
  L.has_parameter_annotations = (uint32_t)has_parameter_annotations;
  L.has_type_annotations = (uint32_t)has_type_annotations;
  L.has_default_annotations = (uint32_t)has_default_annotations;
  // Freed blocks are kept in lists whose items took two words up to JDK 21 and one word since:
  // no allocation is smaller.
  vm_current.min_block_bytes = (vm_current.feature <= 21 ? 2 : 1) * L.word_size;
  vm_current.shared_base =
      safe_read_memory_ulong(reinterpret_cast<const void *>(shared_base_address), 0, "vm_current_load", __LINE__);
  vm_current.shared_top =
      safe_read_memory_ulong(reinterpret_cast<const void *>(shared_top_address), 0, "vm_current_load", __LINE__);
  vm_current.active = true;
  char derived[256];
  vm_current_derived_text(vm_current.derived, derived, sizeof derived);
  log_info(env, "Class size calculator: HotSpot of JDK %d (%s), derived: %s.", vm_current.feature, vm_current.release,
           derived);
  return true;
}

bool vm_current_active() { return vm_current.active; }

void vm_current_derived_text(uint32_t derived, char *buffer, size_t size) {
  static const string_flag_name names[] = {
      {VM_DERIVED_NEST_MEMBERS, "nest members"},
      {VM_DERIVED_SEALED_AND_RECORDS, "permitted subclasses and record components"},
      {VM_DERIVED_FIELDS_STATUS, "field status"},
      {VM_DERIVED_FIELD_SEARCH_TABLE, "field search table"},
      {VM_DERIVED_ANNOTATIONS, "annotation arrays"},
      {VM_DERIVED_RECORD_COMPONENT, "record component"},
      {VM_DERIVED_ARRAY_HEADERS, "array headers"},
  };
  if (string_join_flag_names(buffer, size, derived, names, sizeof names / sizeof names[0], ", ") == 0) {
    safe_strncpy(buffer, "nothing", size);
  }
}

void vm_current_reset() { clear_layout(); }
