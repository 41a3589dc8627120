// Class metadata sizes, methods and fields straight from the JVM's metadata, once the VM structure
// tables are loaded. Unreadable memory counts as 0: a size shrinks or a name stays empty.
#include "vmstructs/class_size.h"

#include <cstring>
#include <initializer_list>

#include "base/string_util.h"
#include "core/agent_state.h"
#include "core/log.h"
#include "vmstructs/class_members.h"
#include "vmstructs/class_metadata.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_access.h"
#include "vmstructs/vm_current.h"
#include "vmstructs/vm_structs.h"

namespace {

constexpr uint32_t INTERNAL_FIELD_FLAG = 0x400;
// A class file holds at most this many methods or fields; larger counts come from unreadable or
// changing memory and would only make the walk over them long.
constexpr uint32_t MAX_MEMBERS = 65535;

bool is_major(int32_t major) { return vm_structs.hotspot_major == major; }

// Pointer-sized fields of klass metadata and of other metadata.
const char *klass_pointer(const char *klass, const field_target &field) {
  return reinterpret_cast<const char *>(
      get_obj_field_wide(klass, (int32_t)get_entry_offset(field), "klass_pointer", __LINE__));
}
const char *metadata_pointer(const char *object, const field_target &field) {
  return reinterpret_cast<const char *>(
      get_obj_field_wide_direct(object, (int32_t)get_entry_offset(field), "metadata_pointer", __LINE__));
}

// The klass of a class reference when it is an instance klass and the tables are loaded.
const char *qualified_klass(jclass klass) {
  if (!has_full_hotspot_symbols() || klass == nullptr) return nullptr;
  const char *mirror = handle_to_oop(klass);
  const char *metadata = mirror != nullptr ? get_jvm_klass_oop(mirror) : nullptr;
  return is_instance_klass_oop(metadata) ? metadata : nullptr;
}

uint32_t array_size(const char *array, const field_target &data, const type_target &element) {
  if (array == nullptr) return 0;
  if (is_major(25)) return get_array_size_v25(array, get_entry_offset(data), get_type_size(element));
  return get_array_size_v24(array);
}

uint32_t length_of(const char *object, const field_target &length_field) {
  if (vm_structs.hotspot_major > 13) {
    return (uint32_t)get_int_field_direct(object, (int32_t)get_entry_offset(length_field), "length_of", __LINE__);
  }
  return get_array_length(object);
}

}  // namespace

bool init_class_size_symbols(JNIEnv *jni, bool keep_safety_check) {
  if (vm_structs.hotspot_symbols_status == -1) return false;
  if (vm_structs.hotspot_symbols_status == 1) return true;
  // A JVMTI version above 8 is current HotSpot or nothing the old generations' formulas know.
  bool current = agent_globals != nullptr && agent_globals->jvmti_9_or_later;
  bool loaded = current ? vm_current_load(jni) : load_class_size_symbols(jni);
  if (!keep_safety_check) disable_safety_check();
  vm_structs.hotspot_symbols_status = loaded ? 1 : -1;
  log_info(jni, "Status of loading Serviceability API symbols: %s", get_hotspot_symbols_status_text());
  return loaded;
}

const char *get_hotspot_symbols_status_text() {
  if (vm_structs.no_hotspot_symbols) return "unavailable";
  if (vm_structs.symbol_error == SYMBOLS_UNAVAILABLE) return "unavailable";
  if (vm_structs.symbol_error == SYMBOLS_MISSING) return "missing_symbols";
  if (vm_structs.symbol_error == SYMBOLS_DEBUG_FILE_NOT_FOUND) return "debug_file_not_found";
  if (vm_structs.unsupported_version) return "bad_version";
  if (vm_structs.hotspot_symbols_status != 1) return "load_error";
  return "available";
}

bool has_full_hotspot_symbols() { return vm_structs.hotspot_symbols_status == 1; }

uint32_t get_class_size(jclass klass) {
  if (vm_current_active()) {
    class_metadata_sizes sizes;
    if (!has_full_hotspot_symbols() || !class_metadata_of(klass, &sizes)) return 0;
    uint64_t total = sizes.metaspace + sizes.shared;
    return total > UINT32_MAX ? UINT32_MAX : (uint32_t)total;
  }
  const char *metadata = qualified_klass(klass);
  if (metadata == nullptr) return 0;
  const char *constant_pool = klass_pointer(metadata, struct_iklass_constants);
  const char *methods = klass_pointer(metadata, struct_iklass_methods);
  return get_constant_pool_size(constant_pool) + get_class_misc_array_sizes(metadata) + get_methods_size(methods);
}

uint32_t get_constant_pool_shallow_size(const char *constant_pool) {
  uint32_t length = length_of(constant_pool, struct_cp_length);
  return aligned_size(length * (uint32_t)const_oop_size.value + get_type_size(type_constant_pool_oop_desc));
}

uint32_t get_constant_pool_size(const char *constant_pool) {
  if (constant_pool == nullptr) return 0;
  uint32_t size = get_constant_pool_shallow_size(constant_pool);
  if (const char *cache = metadata_pointer(constant_pool, struct_cp_cache)) {
    uint32_t length = length_of(cache, struct_cpc_length);
    size += aligned_size(length * get_type_size(type_constant_pool_cache_entry) +
                         get_type_size(type_constant_pool_cache_oop_desc));
  }
  size += array_size(metadata_pointer(constant_pool, struct_cp_tags), struct_arr_u1_data, type_u1);
  return size;
}

uint32_t get_class_misc_array_sizes(const char *klass) {
  const char *local_interfaces = klass_pointer(klass, struct_iklass_local_interfaces);
  const char *transitive_interfaces = klass_pointer(klass, struct_iklass_trans_interfaces);
  const char *inner_classes = klass_pointer(klass, struct_iklass_inner_classes);
  const char *fields = klass_pointer(klass, struct_iklass_fields);
  uint32_t size = array_size(local_interfaces, struct_arr_klass_data, type_ptr) +
                  array_size(transitive_interfaces, struct_arr_klass_data, type_ptr) +
                  array_size(inner_classes, struct_arr_u2_data, type_jushort) +
                  array_size(fields, struct_arr_u2_data, type_u2);
  if (is_major(25)) return size;
  if (const char *annotations = klass_pointer(klass, struct_iklass_class_annotations)) {
    size += get_array_size_v24(annotations);
  }
  for (const field_target *field :
       {&struct_iklass_fields_annotations, &struct_iklass_methods_annotations, &struct_iklass_methods_param_annotations,
        &struct_iklass_methods_default_annotations}) {
    if (const char *annotations = klass_pointer(klass, *field)) size += get_nested_array_size_v24(annotations);
  }
  return size;
}

uint32_t get_methods_size(const char *methods) {
  if (methods == nullptr) return 0;
  uint32_t size = array_size(methods, struct_arr_method_data, type_ptr);
  uint32_t count = is_major(25)
                       ? (uint32_t)get_int_field_direct(methods, (int32_t)get_entry_offset(struct_arr_int_length),
                                                        "get_methods_size", __LINE__)
                       : get_array_length(methods);
  if (count > MAX_MEMBERS) count = MAX_MEMBERS;
  for (uint32_t i = 0; i < count; ++i) size += get_method_size(get_array_ptr_field(methods, i));
  return size;
}

uint32_t get_method_size(const char *method) {
  if (method == nullptr) return 0;
  uint32_t size = (uint32_t)get_u2_field_direct(method, (int32_t)get_entry_offset(struct_method_size),
                                                "get_method_size", __LINE__) *
                  (uint32_t)const_word_size.value;
  size += get_const_method_size(metadata_pointer(method, struct_method_const));
  if (vm_structs.hotspot_major >= 22 || !vm_structs.is_client_vm) {
    if (const char *method_data = metadata_pointer(method, struct_method_data))
      size += get_method_data_size(method_data);
  }
  if (is_major(25) && metadata_pointer(method, struct_method_counters) != nullptr) {
    size += get_type_size(type_method_counters);
  }
  return size;
}

uint32_t get_const_method_size(const char *const_method) {
  if (const_method == nullptr) return 0;
  uint32_t size = (uint32_t)get_int_field_direct(const_method, (int32_t)get_entry_offset(struct_const_method_size),
                                                 "get_const_method_size", __LINE__) *
                  (uint32_t)const_word_size.value;
  return size + array_size(metadata_pointer(const_method, struct_const_method_stackmap), struct_arr_u1_data, type_u1);
}

uint32_t get_method_data_size(const char *method_data) {
  if (method_data == nullptr) return 0;
  return (uint32_t)get_int_field_direct(method_data, (int32_t)get_entry_offset(struct_method_data_size),
                                        "get_method_data_size", __LINE__);
}

uint32_t get_symbol_value(const char *symbol, char *buffer, uint32_t capacity) {
  uint32_t length =
      get_u2_field_direct(symbol, (int32_t)get_entry_offset(struct_symbol_length), "get_symbol_value", __LINE__);
  if (capacity == 0) return length;
  uint32_t count = length < capacity - 1 ? length : capacity - 1;
  bool read =
      safe_read_memory(symbol + get_entry_offset(struct_symbol_body), buffer, count, "get_symbol_value", __LINE__);
  buffer[read ? count : 0] = '\0';
  return read ? 1 : 0;
}

uint32_t const_pool_get_symbol(const char *constant_pool, uint32_t index, char *buffer, uint32_t capacity) {
  if (constant_pool == nullptr) {
    if (capacity > 0) safe_strncpy(buffer, "___null_cp", capacity);
    return 0;
  }
  uint64_t slot = safe_read_memory_ulong(
      constant_pool,
      (int64_t)get_type_size(type_constant_pool_oop_desc) + (int64_t)index * get_type_size(type_intptr_t),
      "const_pool_get_symbol", __LINE__);
  const char *symbol = reinterpret_cast<const char *>(slot & ~(uint64_t)1);
  if (symbol == nullptr) {
    if (capacity > 0) buffer[0] = '\0';
    return 0;
  }
  return get_symbol_value(symbol, buffer, capacity);
}

void fill_obsolete_method_info(method_record *record) {
  record->access_flags = 0;
  safe_strncpy(record->name, "___obsolete", sizeof record->name);
  safe_strncpy(record->signature, "___obsolete", sizeof record->signature);
}

void get_class_methods_context(jclass klass, methods_context *context) {
  *context = methods_context{};
  if (vm_current_active()) {
    if (has_full_hotspot_symbols()) class_members_methods_context(klass, context);
    return;
  }
  if (const char *metadata = qualified_klass(klass))
    context->constant_pool = klass_pointer(metadata, struct_iklass_constants);
}

void get_class_method_info(const methods_context *context, int64_t index, method_record *record) {
  if (vm_current_active()) {
    class_members_method_info(context, index, record);
    return;
  }
  record->method_id = context->methods[index];
  const char *method = static_cast<const char *>(
      safe_read_memory_ptr(reinterpret_cast<const void *>(record->method_id), 0, "get_class_method_info", __LINE__));
  if (method == nullptr) {
    fill_obsolete_method_info(record);
    return;
  }
  const char *const_method = metadata_pointer(method, struct_method_const);
  uint16_t name_index = get_u2_field_direct(const_method, (int32_t)get_entry_offset(struct_const_method_name_index),
                                            "get_class_method_info", __LINE__);
  uint16_t signature_index = get_u2_field_direct(const_method, (int32_t)get_entry_offset(struct_const_method_sig_index),
                                                 "get_class_method_info", __LINE__);
  const_pool_get_symbol(context->constant_pool, name_index, record->name, sizeof record->name);
  const_pool_get_symbol(context->constant_pool, signature_index, record->signature, sizeof record->signature);
  record->access_flags = (uint32_t)get_int_field_direct(
      method, (int32_t)(get_entry_offset(struct_method_access) + get_entry_offset(struct_access_flags)),
      "get_class_method_info", __LINE__);
}

int32_t get_class_fields_count(const char *klass, const char *fields) {
  if (fields == nullptr || const_klass_fields_slots.value <= 0) return 0;
  int32_t count = (int32_t)get_array_length(fields) / const_klass_fields_slots.value;
  if (vm_structs.hotspot_major >= 23) {
    int32_t java_fields =
        get_u2_field(klass, (int32_t)get_entry_offset(struct_iklass_field_count), "get_class_fields_count", __LINE__);
    if (java_fields < count) count = java_fields;
  }
  return count;
}

void get_class_fields_context(jclass klass, fields_context *context) {
  *context = fields_context{};
  if (vm_current_active()) {
    if (has_full_hotspot_symbols()) class_members_fields_context(klass, context);
    return;
  }
  const char *metadata = qualified_klass(klass);
  if (metadata == nullptr) return;
  context->constant_pool = klass_pointer(metadata, struct_iklass_constants);
  context->fields = klass_pointer(metadata, struct_iklass_fields);
  context->count = get_class_fields_count(metadata, context->fields);
}

void get_class_field_info(const fields_context *context, int32_t index, field_record *record) {
  if (vm_current_active()) {
    class_members_field_info(context, index, record);
    return;
  }
  uint32_t base = (uint32_t)index * (uint32_t)const_klass_fields_slots.value;
  record->access_flags = get_array_u2_field(context->fields, base + (uint32_t)const_klass_fields_access.value);
  uint16_t name_index = get_array_u2_field(context->fields, base + (uint32_t)const_klass_fields_name.value);
  uint16_t signature_index = get_array_u2_field(context->fields, base + (uint32_t)const_klass_fields_signature.value);
  if (record->access_flags & INTERNAL_FIELD_FLAG) {
    safe_strncpy(record->name, "___internal", sizeof record->name);
    safe_strncpy(record->signature, "___internal", sizeof record->signature);
    return;
  }
  const_pool_get_symbol(context->constant_pool, name_index, record->name, sizeof record->name);
  const_pool_get_symbol(context->constant_pool, signature_index, record->signature, sizeof record->signature);
}

void release_class_fields_context(fields_context *context) {
  if (vm_current_active()) class_members_release();
  *context = fields_context{};
}
