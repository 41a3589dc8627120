#include "vmstructs/vm_structs.h"

#include <jvmti.h>

#include <cstring>

#include "core/agent_state.h"
#include "base/common.h"
#include "core/log.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_table_entries.h"

vm_structs_record vm_structs = {1, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};

namespace {

using struct_entry = vm_struct_entry;
using type_entry = vm_type_entry;
using int_constant_entry = vm_int_constant_entry;

#define LAYOUT(name, value) \
  { "lookup_symbol(jni, handle, \"" #name "\")", #name, value }
struct layout_variable {
  const char *lookup_text;
  const char *name;
  uint64_t value;
};
const layout_variable layout_variables[] = {
    LAYOUT(gHotSpotVMStructEntryTypeNameOffset, 0),     LAYOUT(gHotSpotVMStructEntryFieldNameOffset, 8),
    LAYOUT(gHotSpotVMStructEntryTypeStringOffset, 16),  LAYOUT(gHotSpotVMStructEntryIsStaticOffset, 24),
    LAYOUT(gHotSpotVMStructEntryOffsetOffset, 32),      LAYOUT(gHotSpotVMStructEntryAddressOffset, 40),
    LAYOUT(gHotSpotVMStructEntryArrayStride, 48),       LAYOUT(gHotSpotVMTypeEntryTypeNameOffset, 0),
    LAYOUT(gHotSpotVMTypeEntrySuperclassNameOffset, 8), LAYOUT(gHotSpotVMTypeEntryIsOopTypeOffset, 16),
    LAYOUT(gHotSpotVMTypeEntryIsIntegerTypeOffset, 20), LAYOUT(gHotSpotVMTypeEntryIsUnsignedOffset, 24),
    LAYOUT(gHotSpotVMTypeEntrySizeOffset, 32),          LAYOUT(gHotSpotVMTypeEntryArrayStride, 40),
    LAYOUT(gHotSpotVMIntConstantEntryNameOffset, 0),    LAYOUT(gHotSpotVMIntConstantEntryValueOffset, 8),
    LAYOUT(gHotSpotVMIntConstantEntryArrayStride, 16),
};
#undef LAYOUT

const char *const check_list[] = {"gHotSpotVMStructs", nullptr};
const char *const main_list[] = {
    "gHotSpotVMStructEntryTypeNameOffset",
    "gHotSpotVMStructEntryFieldNameOffset",
    "gHotSpotVMStructEntryTypeStringOffset",
    "gHotSpotVMStructEntryIsStaticOffset",
    "gHotSpotVMStructEntryOffsetOffset",
    "gHotSpotVMStructEntryAddressOffset",
    "gHotSpotVMStructEntryArrayStride",
    "gHotSpotVMTypeEntryTypeNameOffset",
    "gHotSpotVMTypeEntrySuperclassNameOffset",
    "gHotSpotVMTypeEntryIsOopTypeOffset",
    "gHotSpotVMTypeEntryIsIntegerTypeOffset",
    "gHotSpotVMTypeEntryIsUnsignedOffset",
    "gHotSpotVMTypeEntrySizeOffset",
    "gHotSpotVMTypeEntryArrayStride",
    "gHotSpotVMIntConstantEntryNameOffset",
    "gHotSpotVMIntConstantEntryValueOffset",
    "gHotSpotVMIntConstantEntryArrayStride",
    "gHotSpotVMTypes",
    "gHotSpotVMIntConstants",
    nullptr,
};
const char *const constructor_list[] = {
    "InstanceKlass", "InstanceMirrorKlass", "InstanceRefKlass", "InstanceClassLoaderKlass", "ConstantPool", nullptr};

struct flag_row {
  const char *name;
  const char *type;
  void *destination;
};
const flag_row flag_list[] = {
    {"UseCompressedOops", "bool", &vm_structs.use_compressed_oops},
    {"ObjectAlignmentInBytes", "intx", &vm_structs.obj_min_alignment},
};

// Names in the tables are short; longer texts never equal a target.
constexpr size_t NAME_SIZE = 256;

bool applies(int32_t lowest, int32_t highest) {
  return vm_structs.hotspot_major >= lowest && vm_structs.hotspot_major <= highest;
}

// A text of the VM's tables compared with a target's: equal when both are null or both hold the
// same characters. Unreadable texts are not equal to anything.
struct vm_text {
  const char *address;
  bool read = false, readable = false;
  char value[NAME_SIZE];
  explicit vm_text(const char *at) : address(at) {}
  bool equals(const char *expected) {
    if (address == nullptr || expected == nullptr) return address == expected;
    if (!read) {
      read = true;
      readable = vm_read_text(address, value, sizeof value, "vm_text", __LINE__);
    }
    return readable && strcmp(value, expected) == 0;
  }
};

bool same_flag(int32_t a, int32_t b) { return (a != 0) == (b != 0); }

}  // namespace

bool vm_read_text(const void *address, char *buffer, size_t size, const char *description, int line) {
  constexpr uintptr_t PAGE = 4096;
  if (size == 0) return false;
  buffer[0] = '\0';
  if (address == nullptr) return false;
  size_t length = 0;
  auto at = reinterpret_cast<uintptr_t>(address);
  while (length < size - 1) {
    // Never read across a page the text does not reach into.
    size_t chunk = PAGE - ((at + length) % PAGE);
    if (chunk > size - 1 - length) chunk = size - 1 - length;
    if (!safe_read_memory(reinterpret_cast<const void *>(at + length), buffer + length, chunk, description, line)) {
      buffer[0] = '\0';
      return false;
    }
    const void *end = memchr(buffer + length, '\0', chunk);
    if (end != nullptr) return true;
    length += chunk;
  }
  buffer[size - 1] = '\0';
  return false;
}

bool lookup_struct_entries(JNIEnv *env, const field_row *list) {
  const char *at = vm_structs.entries;
  struct_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "lookup_struct_entries", __LINE__) &&
         entry.type_name != nullptr;
       at += sizeof entry) {
    vm_text type_name(entry.type_name), field_name(entry.field_name), type_string(entry.type_string);
    for (const field_row *row = list; row->target != nullptr; ++row) {
      field_target *target = row->target;
      if (!applies(row->lowest, row->highest) || !same_flag(target->is_static, entry.is_static)) continue;
      if (type_name.equals(target->type_name) && field_name.equals(target->field_name) &&
          type_string.equals(target->type_string)) {
        target->offset = entry.offset;
        target->address = entry.address;
        break;
      }
    }
  }
  bool found = true;
  for (const field_row *row = list; row->target != nullptr; ++row) {
    if (applies(row->lowest, row->highest) && row->target->offset == VM_UNRESOLVED) {
      log_error_raw(env, "Class size calculator: Field %s::%s not found.", row->target->type_name,
                    row->target->field_name);
      found = false;
    }
  }
  return found;
}

bool lookup_type_entries(JNIEnv *env, const type_row *list) {
  const char *at = vm_structs.entries_type;
  type_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "lookup_type_entries", __LINE__) &&
         entry.type_name != nullptr;
       at += sizeof entry) {
    vm_text type_name(entry.type_name), superclass_name(entry.superclass_name);
    for (const type_row *row = list; row->target != nullptr; ++row) {
      type_target *target = row->target;
      if (!applies(row->lowest, row->highest) || !same_flag(target->is_oop, entry.is_oop) ||
          !same_flag(target->is_integer, entry.is_integer) || !same_flag(target->is_unsigned, entry.is_unsigned)) {
        continue;
      }
      if (type_name.equals(target->type_name) && superclass_name.equals(target->superclass_name)) {
        target->size = entry.size;
        break;
      }
    }
  }
  bool found = true;
  for (const type_row *row = list; row->target != nullptr; ++row) {
    if (applies(row->lowest, row->highest) && row->target->size == VM_UNRESOLVED) {
      log_error_raw(env, "Class size calculator: Type %s not found.", row->target->type_name);
      found = false;
    }
  }
  return found;
}

bool lookup_const_int_entries(JNIEnv *env, const const_row *list) {
  const char *at = vm_structs.entries_int;
  int_constant_entry entry{};
  for (; at != nullptr && safe_read_memory(at, &entry, sizeof entry, "lookup_const_int_entries", __LINE__) &&
         entry.name != nullptr;
       at += sizeof entry) {
    vm_text name(entry.name);
    for (const const_row *row = list; row->target != nullptr; ++row) {
      if (applies(row->lowest, row->highest) && name.equals(row->target->name)) {
        row->target->value = entry.value;
        break;
      }
    }
  }
  bool found = true;
  for (const const_row *row = list; row->target != nullptr; ++row) {
    if (applies(row->lowest, row->highest) && row->target->value == VM_UNRESOLVED_CONSTANT) {
      log_error_raw(env, "Class size calculator: Int constant %s not found.", row->target->name);
      found = false;
    }
  }
  return found;
}

bool load_flags(JNIEnv *env) {
  const char *flags = static_cast<const char *>(
      safe_read_memory_ptr(reinterpret_cast<const void *>(struct_flags.address), 0, "load_flags", __LINE__));
  int32_t count =
      safe_read_memory_int(reinterpret_cast<const void *>(struct_flags_num.address), 0, "load_flags", __LINE__);
  if (count < 1) return true;
  for (int32_t i = 0; i < count; ++i) {
    const char *flag = flags + (uint64_t)i * type_flag.size;
    const void *name_at = safe_read_memory_ptr(flag, (int64_t)struct_flag_name.offset, "load_flags", __LINE__);
    if (name_at == nullptr) continue;
    char name[NAME_SIZE];
    if (!vm_read_text(name_at, name, sizeof name, "load_flags", __LINE__)) continue;
    for (const flag_row &row : flag_list) {
      if (strcmp(name, row.name) != 0) continue;
      char type[NAME_SIZE];
      const void *type_at = safe_read_memory_ptr(flag, (int64_t)struct_flag_type.offset, "load_flags", __LINE__);
      if (!vm_read_text(type_at, type, sizeof type, "load_flags", __LINE__) || strcmp(type, row.type) != 0) {
        log_error_raw(env, "Class size calculator: Flag %s has type %s instead of %s.", row.name, type, row.type);
        return false;
      }
      const void *value_at = safe_read_memory_ptr(flag, (int64_t)struct_flag_addr.offset, "load_flags", __LINE__);
      if (strcmp(row.type, "bool") == 0) {
        uint8_t value = 0;
        safe_read_memory(value_at, &value, 1, "load_flags", __LINE__);
        *static_cast<uint8_t *>(row.destination) = value;
      } else if (type_intx.size == 4) {
        *static_cast<int64_t *>(row.destination) = safe_read_memory_int(value_at, 0, "load_flags", __LINE__);
      } else {
        *static_cast<int64_t *>(row.destination) = (int64_t)safe_read_memory_ulong(value_at, 0, "load_flags", __LINE__);
      }
    }
  }
  return true;
}

bool load_vm_exports(JNIEnv *env) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->jvmti == nullptr) return false;
  const void *hint = reinterpret_cast<const void *>(globals->jvmti->functions->Allocate);
  vm_structs.module_handle = symbols_get_module_handle(env, hint);
  symbols_module_handle *handle = vm_structs.module_handle;
  if (handle == nullptr) return false;

  vm_structs.symbol_error = symbols_preload(env, handle, check_list, false, false);
  if (vm_structs.symbol_error == SYMBOLS_MISSING) vm_structs.no_hotspot_symbols = 1;
  if (vm_structs.symbol_error != 0) return false;
  vm_structs.symbol_error = symbols_preload(env, handle, main_list, false, true);
  if (vm_structs.symbol_error != 0) return false;

  for (const layout_variable &variable : layout_variables) {
    const void *address = lookup_symbol(env, handle, variable.name);
    uint64_t value = 0;
    if (address == nullptr || !safe_read_memory(address, &value, sizeof value, variable.lookup_text, 0) ||
        value != variable.value) {
      log_error_raw(env, "Unexpected %s value.", variable.lookup_text);
      return false;
    }
  }
  const char **tables[] = {&vm_structs.entries, &vm_structs.entries_type, &vm_structs.entries_int};
  const char *names[] = {"gHotSpotVMStructs", "gHotSpotVMTypes", "gHotSpotVMIntConstants"};
  for (size_t i = 0; i < countof(tables); ++i) {
    const void *address = lookup_symbol(env, handle, names[i]);
    if (address == nullptr) return false;
    *tables[i] = static_cast<const char *>(safe_read_memory_ptr(address, 0, names[i], 0));
    if (*tables[i] == nullptr) return false;
  }
  return true;
}

bool load_required_fields(JNIEnv *env) {
  if (!lookup_struct_entries(env, vm_version_field_list)) return false;
  vm_structs.hotspot_major = safe_read_memory_int(reinterpret_cast<const void *>(struct_vm_major_version.address), 0,
                                                  "load_required_fields", __LINE__);
  vm_targets_fill_version_names(vm_structs.hotspot_major);
  if (vm_structs.hotspot_major >= 26 || vm_structs.hotspot_major <= 9) {
    vm_structs.unsupported_version = 1;
    return false;
  }
  if (vm_structs.hotspot_major == 25) {
    vm_structs.symbol_error = symbols_preload(env, vm_structs.module_handle, constructor_list, true, true);
    if (vm_structs.symbol_error != 0) return false;
    uint64_t *vtables[] = {&vm_structs.instance_klass_vtable, &vm_structs.instance_mirror_klass_vtable,
                           &vm_structs.instance_ref_klass_vtable, &vm_structs.instance_classloader_klass_vtable,
                           &vm_structs.constant_pool_klass_vtable};
    for (size_t i = 0; i < countof(vtables); ++i) {
      *vtables[i] = reinterpret_cast<uint64_t>(lookup_vtable(env, vm_structs.module_handle, constructor_list[i]));
      if (*vtables[i] == 0) return false;
    }
  }
  if (!lookup_struct_entries(env, vm_field_list) || !lookup_const_int_entries(env, vm_const_list) ||
      !lookup_type_entries(env, vm_type_list) || !load_flags(env)) {
    return false;
  }
  char version[1024];
  const void *version_at = safe_read_memory_ptr(reinterpret_cast<const void *>(struct_vm_version_string.address), 0,
                                                "load_required_fields", __LINE__);
  if (vm_read_text(version_at, version, sizeof version, "load_required_fields", __LINE__) &&
      strstr(version, "Client VM") != nullptr) {
    vm_structs.is_client_vm = 1;
  }
  if (vm_structs.hotspot_major <= 21 && !vm_structs.is_client_vm)
    return lookup_struct_entries(env, vm_old_server_field_list);
  return true;
}

bool load_class_size_symbols(JNIEnv *env) {
  if (agent_globals != nullptr && agent_globals->jvmti_9_or_later) {
    vm_structs.unsupported_version = 1;
    return false;
  }
  auto silent = [] {
    return vm_structs.symbol_error > 1 || vm_structs.no_hotspot_symbols || vm_structs.unsupported_version;
  };
  if (!load_vm_exports(env)) {
    if (!silent()) log_error_raw(env, "Class size calculator: Did not find exports.");
    return false;
  }
  if (!load_required_fields(env)) {
    if (!silent()) log_error_raw(env, "Class size calculator: Did not find fields.");
    return false;
  }
  if (vm_structs.obj_min_alignment != 8 && vm_structs.obj_min_alignment != 16) {
    log_error_raw(env, "Class size calculator: Invalid min alignment %d.", (int)vm_structs.obj_min_alignment);
    return false;
  }
  if (vm_structs.hotspot_major == 25) {
    if (const_bytes_per_word.value != const_word_size.value) {
      log_error_raw(env, "Class size calculator: Conflicting word sizes %d vs %d.", const_bytes_per_word.value,
                    const_word_size.value);
      return false;
    }
    return true;
  }
  if (vm_structs.hotspot_major <= 15 && vm_structs.use_compressed_oops) {
    log_error_raw(env, "Class size calculator: Compressed oops used on < 16 hotspot version, unsupported.");
    return false;
  }
  if (vm_structs.hotspot_major <= 13) const_oop_size.value = 8;
  return true;
}

void vm_structs_reset() {
  symbols_free_module_handle(vm_structs.module_handle);
  vm_structs = vm_structs_record{};
  vm_structs.hotspot_major = 1;
  vm_structs.obj_min_alignment = 8;
  vm_targets_reset();
}
