// The JVM's serviceability tables: finding and verifying them, resolving the targets of
// vm_targets.h for the running HotSpot major, and the state that object access and class sizes read.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "vmstructs/symbols.h"
#include "vmstructs/vm_targets.h"

struct vm_structs_record {
  int32_t hotspot_major;  // 1 until read from the VM
  symbols_module_handle *module_handle;
  const char *entries;         // first struct entry
  const char *entries_type;    // first type entry
  const char *entries_int;     // first integer constant entry
  int32_t symbol_error;        // last preload result
  uint8_t no_hotspot_symbols;  // the library does not export gHotSpotVMStructs
  uint8_t unsupported_version;
  uint8_t use_compressed_oops;  // VM flag UseCompressedOops
  int64_t obj_min_alignment;    // VM flag ObjectAlignmentInBytes
  uint8_t is_client_vm;
  int32_t hotspot_symbols_status;  // 0 not tried, 1 loaded, -1 failed
  uint64_t instance_klass_vtable;
  uint64_t instance_mirror_klass_vtable;
  uint64_t instance_ref_klass_vtable;
  uint64_t instance_classloader_klass_vtable;
  uint64_t constant_pool_klass_vtable;
};

extern vm_structs_record vm_structs;

// The whole load: exports, layout, fields, flags and the checks on them. True when every number
// the object access and class sizes need is known.
bool load_class_size_symbols(JNIEnv *env);
bool load_vm_exports(JNIEnv *env);
bool load_required_fields(JNIEnv *env);
// Resolve the applicable rows of a list against the VM's tables; missing targets are logged.
bool lookup_struct_entries(JNIEnv *env, const field_row *list);
bool lookup_type_entries(JNIEnv *env, const type_row *list);
bool lookup_const_int_entries(JNIEnv *env, const const_row *list);
bool load_flags(JNIEnv *env);
// Text at an address in VM memory, read without faulting; false when unreadable or longer than size - 1.
bool vm_read_text(const void *address, char *buffer, size_t size, const char *description, int line);
// Forgets a load: targets unresolved, state as at start, the module handle freed.
void vm_structs_reset();
