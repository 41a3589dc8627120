// Test-kit natives of vorkel.test.VmStructsProbe: the VM structure reader's lower functions driven
// directly on the JVM that runs them (the agent's own load stops at the version gate): the exports
// and layout variables of the loaded JVM library, its virtual tables, a walk of the real struct
// table, class metadata read from real class objects, and safe reads of memory that is not there.
// Each native answers with "key=value" lines.
#include <jni.h>
#include <jvmti.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vmstructs/class_size.h"
#include "base/common.h"
#include "probe_kit.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_access.h"
#include "vmstructs/vm_structs.h"

namespace {

const char *const layout_names[] = {
    "gHotSpotVMStructEntryTypeNameOffset",     "gHotSpotVMStructEntryFieldNameOffset",
    "gHotSpotVMStructEntryTypeStringOffset",   "gHotSpotVMStructEntryIsStaticOffset",
    "gHotSpotVMStructEntryOffsetOffset",       "gHotSpotVMStructEntryAddressOffset",
    "gHotSpotVMStructEntryArrayStride",        "gHotSpotVMTypeEntryTypeNameOffset",
    "gHotSpotVMTypeEntrySuperclassNameOffset", "gHotSpotVMTypeEntryIsOopTypeOffset",
    "gHotSpotVMTypeEntryIsIntegerTypeOffset",  "gHotSpotVMTypeEntryIsUnsignedOffset",
    "gHotSpotVMTypeEntrySizeOffset",           "gHotSpotVMTypeEntryArrayStride",
    "gHotSpotVMIntConstantEntryNameOffset",    "gHotSpotVMIntConstantEntryValueOffset",
    "gHotSpotVMIntConstantEntryArrayStride",
};
const char *const vtable_classes[] = {
    "InstanceKlass", "InstanceMirrorKlass", "InstanceRefKlass", "InstanceClassLoaderKlass", "ConstantPool", nullptr};

void line(std::string &out, const std::string &key, const std::string &value) { out += key + "=" + value + "\n"; }

jstring answer(JNIEnv *jni, const std::string &lines) { return jni->NewStringUTF(lines.c_str()); }

// Runs the function once while the VM is stopped (the first reference of a heap walk).
template <typename Function>
void at_safepoint(Function function) {
  struct call {
    Function *function;
    bool ran;
  } state{&function, false};
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = [](jvmtiHeapReferenceKind, const jvmtiHeapReferenceInfo *, jlong, jlong, jlong,
                                         jlong *, jlong *, jint, void *data) -> jint {
    auto *running = static_cast<call *>(data);
    if (!running->ran) (*running->function)();
    running->ran = true;
    return JVMTI_VISIT_ABORT;
  };
  probe_tag_env()->FollowReferences(0, nullptr, nullptr, &callbacks, &state);
  if (!state.ran) function();
}

const char *vtable_kind(const char *metadata) {
  uint64_t pointer = safe_read_memory_ulong(metadata, 0, "vtable_kind", __LINE__);
  const struct {
    uint64_t vtable;
    const char *name;
  } kinds[] = {{vm_structs.instance_klass_vtable, "InstanceKlass"},
               {vm_structs.instance_mirror_klass_vtable, "InstanceMirrorKlass"},
               {vm_structs.instance_ref_klass_vtable, "InstanceRefKlass"},
               {vm_structs.instance_classloader_klass_vtable, "InstanceClassLoaderKlass"},
               {vm_structs.constant_pool_klass_vtable, "ConstantPool"}};
  for (const auto &kind : kinds) {
    if (kind.vtable != 0 && is_matching_vtable(pointer, kind.vtable)) return kind.name;
  }
  return "other";
}

}  // namespace

// The module of the hint (JVMTI's Allocate), its check and main lists, the layout variables read
// back with safe reads, and the three tables.
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_VmStructsProbe_exports(JNIEnv *jni, jclass) {
  std::string out;
  line(out, "exports", load_vm_exports(jni) ? "true" : "false");
  line(out, "symbol_error", std::to_string(vm_structs.symbol_error));
  for (const char *name : layout_names) {
    const void *address = lookup_symbol(jni, vm_structs.module_handle, name);
    line(out, name,
         address != nullptr ? std::to_string(safe_read_memory_ulong(address, 0, name, __LINE__)) : "missing");
  }
  line(out, "tables",
       std::to_string((vm_structs.entries != nullptr) + (vm_structs.entries_type != nullptr) +
                      (vm_structs.entries_int != nullptr)));
  return answer(jni, out);
}

// After exports(): the virtual tables from the library's full symbol table, the VM's major and
// version text from the struct table, then per class its name and its metadata's kind (and for
// instance klasses the kind of their constant pool), read through the class object the way the
// reader reads HotSpot's current layout (metadata outside the heap, raw klass pointer in the mirror).
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_VmStructsProbe_classes(JNIEnv *jni, jclass, jobjectArray classes) {
  std::string out;
  symbols_module_handle *handle = vm_structs.module_handle;
  vm_structs.symbol_error = symbols_preload(jni, handle, vtable_classes, true, true);
  line(out, "vtables", std::to_string(vm_structs.symbol_error));
  uint64_t *vtables[] = {&vm_structs.instance_klass_vtable, &vm_structs.instance_mirror_klass_vtable,
                         &vm_structs.instance_ref_klass_vtable, &vm_structs.instance_classloader_klass_vtable,
                         &vm_structs.constant_pool_klass_vtable};
  for (size_t i = 0; i < countof(vtables); ++i) {
    *vtables[i] = reinterpret_cast<uint64_t>(lookup_vtable(jni, handle, vtable_classes[i]));
  }

  line(out, "version_fields", lookup_struct_entries(jni, vm_version_field_list) ? "true" : "false");
  line(out, "major",
       std::to_string(safe_read_memory_int(reinterpret_cast<const void *>(struct_vm_major_version.address), 0,
                                           "probe_major", __LINE__)));
  char version[256];
  const void *version_at = safe_read_memory_ptr(reinterpret_cast<const void *>(struct_vm_version_string.address), 0,
                                                "probe_version", __LINE__);
  line(out, "version", vm_read_text(version_at, version, sizeof version, "probe_version", __LINE__) ? version : "");

  // The current JDKs name these as HotSpot 25 did, except for the type string of Symbol::_length.
  vm_structs.hotspot_major = 25;
  vm_targets_fill_version_names(25);
  field_target symbol_length = {"Symbol", "_length", "u2", 0, VM_UNRESOLVED, 0};
  const field_row rows[] = {{25, 25, &struct_klass_offset},     {25, 25, &struct_klass_name},
                            {25, 25, &struct_iklass_constants}, {25, 25, &struct_symbol_body},
                            {25, 25, &symbol_length},           {0, 0, nullptr}};
  line(out, "fields", lookup_struct_entries(jni, rows) ? "true" : "false");
  struct_symbol_length.offset = symbol_length.offset;

  // Heap callbacks may not call JNI: the references are taken before.
  std::vector<jobject> mirrors;
  for (jsize i = 0; i < jni->GetArrayLength(classes); ++i) mirrors.push_back(jni->GetObjectArrayElement(classes, i));
  at_safepoint([&] {
    for (size_t i = 0; i < mirrors.size(); ++i) {
      const char *metadata = get_jvm_klass_oop(handle_to_oop(mirrors[i]));
      const char *symbol = reinterpret_cast<const char *>(
          get_obj_field_wide(metadata, (int32_t)get_entry_offset(struct_klass_name), "probe_name", __LINE__));
      char name[256] = "";
      get_symbol_value(symbol, name, sizeof name);
      std::string key = "class" + std::to_string(i);
      line(out, key + "_name", name);
      line(out, key + "_kind", vtable_kind(metadata));
      if (is_instance_klass_oop(metadata)) {
        const char *pool = reinterpret_cast<const char *>(
            get_obj_field_wide(metadata, (int32_t)get_entry_offset(struct_iklass_constants), "probe_pool", __LINE__));
        line(out, key + "_pool", vtable_kind(pool));
      }
    }
  });
  for (jobject mirror : mirrors) jni->DeleteLocalRef(mirror);
  return answer(jni, out);
}

// Reads of address 16 and of a page that was mapped and freed fail (logged with these
// descriptions and lines) and leave the destination as it was; a mapped page reads.
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_VmStructsProbe_safeReads(JNIEnv *jni, jclass) {
  std::string out;
  char *pages =
      static_cast<char *>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (pages == MAP_FAILED) return answer(jni, "mmap=failed\n");
  memcpy(pages, "mapped!", 8);
  munmap(pages + 4096, 4096);
  char destination[8] = "before";
  line(out, "mapped", safe_read_memory(pages, destination, 8, "probe_mapped", 1) ? destination : "false");
  memcpy(destination, "before", 7);
  line(out, "unmapped",
       safe_read_memory(reinterpret_cast<void *>(16), destination, 8, "probe_unmapped", 4711) ? "true" : "false");
  line(out, "freed", safe_read_memory(pages + 4096, destination, 8, "probe_freed", 4712) ? "true" : "false");
  line(out, "destination", destination);
  char address[32];
  snprintf(address, sizeof address, "%p", static_cast<void *>(pages + 4096));
  line(out, "freed_address", address);
  munmap(pages, 4096);
  munmap(pages + 2 * 4096, 4096);
  return answer(jni, out);
}

// Current HotSpot: the fields and methods of each class as the listing from VM structures reads
// them, against JVMTI's own: "members<i>=ok (F fields, M methods)" or the first difference.
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_VmStructsProbe_members(JNIEnv *jni, jclass, jobjectArray classes) {
  std::string out;
  jvmtiEnv *jvmti = probe_tag_env();
  for (jsize i = 0; i < jni->GetArrayLength(classes); ++i) {
    auto klass = static_cast<jclass>(jni->GetObjectArrayElement(classes, i));
    std::vector<std::string> expected, actual;
    jint count = 0;
    jfieldID *fields = nullptr;
    if (jvmti->GetClassFields(klass, &count, &fields) == JVMTI_ERROR_NONE) {
      for (jint f = 0; f < count; ++f) {
        char *name = nullptr, *signature = nullptr;
        jint modifiers = 0;
        jvmti->GetFieldName(klass, fields[f], &name, &signature, nullptr);
        jvmti->GetFieldModifiers(klass, fields[f], &modifiers);
        expected.push_back(". " + std::to_string(modifiers) + " " + signature + " " + name);
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(name));
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
      }
      jvmti->Deallocate(reinterpret_cast<unsigned char *>(fields));
    }
    jmethodID *methods = nullptr;
    jint method_count = 0;
    if (jvmti->GetClassMethods(klass, &method_count, &methods) == JVMTI_ERROR_NONE) {
      for (jint m = 0; m < method_count; ++m) {
        char *name = nullptr, *signature = nullptr;
        jint modifiers = 0;
        jvmti->GetMethodName(methods[m], &name, &signature, nullptr);
        jvmti->GetMethodModifiers(methods[m], &modifiers);
        expected.push_back("# " + std::to_string(modifiers) + " " + signature + " " + name);
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(name));
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
      }
    }
    fields_context field_context;
    get_class_fields_context(klass, &field_context);
    for (int32_t f = 0; f < field_context.count; ++f) {
      field_record record;
      get_class_field_info(&field_context, f, &record);
      actual.push_back(". " + std::to_string(record.access_flags) + " " + record.signature + " " + record.name);
    }
    int32_t field_count = field_context.count;
    release_class_fields_context(&field_context);
    methods_context method_context;
    get_class_methods_context(klass, &method_context);
    method_context.methods = methods;
    method_context.count = method_count;
    for (int64_t m = 0; m < method_context.count; ++m) {
      method_record record;
      get_class_method_info(&method_context, m, &record);
      actual.push_back("# " + std::to_string(record.access_flags) + " " + record.signature + " " + record.name);
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(methods));
    std::string verdict =
        "ok (" + std::to_string(field_count) + " fields, " + std::to_string(method_count) + " methods)";
    for (size_t k = 0; k < std::max(expected.size(), actual.size()); ++k) {
      std::string want = k < expected.size() ? expected[k] : "nothing", got = k < actual.size() ? actual[k] : "nothing";
      if (want != got) {
        verdict = "JVMTI '" + want + "' but VM structures '" + got + "'";
        break;
      }
    }
    line(out, "members" + std::to_string(i), verdict);
    jni->DeleteLocalRef(klass);
  }
  return answer(jni, out);
}

// The snapshot's paths with or without the VM structures, on a JVM where they loaded.
VORKEL_EXPORT void JNICALL Java_vorkel_test_VmStructsProbe_useVmStructures(JNIEnv *, jclass, jboolean use) {
  vm_structs.hotspot_symbols_status = use ? 1 : -1;
}
