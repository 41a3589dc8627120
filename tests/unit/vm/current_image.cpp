#include "current_image.h"

#include <sys/mman.h>

#include <cstdlib>

#include "fake_jvm.h"

namespace vt {

namespace {

constexpr size_t BLOCK_SIZE = 1 << 20;

}  // namespace

using namespace current_layout;

CurrentImage::CurrentImage(const CurrentImageOptions &image_options) : options(image_options) {
  const bool jdk25 = options.feature >= 21;
  blocks_.emplace_back(new uint64_t[BLOCK_SIZE / 8]());
  metaspace_ = reinterpret_cast<char *>(blocks_.back().get());
  blocks_.emplace_back(new uint64_t[BLOCK_SIZE / 8]());
  archive_ = reinterpret_cast<char *>(blocks_.back().get());
  shared_base_ = archive_;
  shared_top_ = archive_ + BLOCK_SIZE;
  void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) abort();
  // Kept reserved and inaccessible while the image lives: a page given back could be mapped again
  // by the next allocation and read as zeros.
  unmapped_ = static_cast<char *>(page);
  major_ = options.feature;
  security_ = 3;
  klass_offset_ = mirror_klass;
  release_ = keep(options.release);

  static_field("Abstract_VM_Version", "_vm_major_version", "int", &major_);
  if (options.security_version) static_field("Abstract_VM_Version", "_vm_security_version", "int", &security_);
  static_field("Abstract_VM_Version", "_s_vm_release", "const char*", &release_);
  static_field("java_lang_Class", "_klass_offset", "int", &klass_offset_);
  static_field("MetaspaceObj", "_shared_metaspace_base", "void*", &shared_base_);
  static_field("MetaspaceObj", "_shared_metaspace_top", "void*", &shared_top_);
  // An entry that differs from a wanted one only in its type string matches nothing.
  field("Klass", "_name", "char*", 999);
  const struct {
    const char *type, *name, *type_string;
    uint64_t offset;
    int only;  // 0 both, 17 or 25: the JDK that names it so
  } fields[] = {
      {"Klass", "_layout_helper", "jint", klass_layout_helper, 0},
      {"Klass", "_name", "Symbol*", klass_name, 0},
      {"Klass", "_super", "Klass*", klass_super, 0},
      {"Klass", "_vtable_len", "int", klass_vtable_len, 0},
      {"Klass", "_access_flags", "AccessFlags", klass_access_flags, 0},
      {"Klass", "_secondary_supers", "Array<Klass*>*", klass_secondary_supers, 0},
      {"Klass", "_class_loader_data", "ClassLoaderData*", klass_loader_data, 0},
      {"ClassLoaderData", "_class_loader", "OopHandle", loader_data_loader, 0},
      {"InstanceKlass", "_constants", "ConstantPool*", ik_constants, 0},
      {"InstanceKlass", "_methods", "Array<Method*>*", ik_methods, 0},
      {"InstanceKlass", "_default_methods", "Array<Method*>*", ik_default_methods, 0},
      {"InstanceKlass", "_local_interfaces", "Array<InstanceKlass*>*", ik_local_interfaces, 0},
      {"InstanceKlass", "_transitive_interfaces", "Array<InstanceKlass*>*", ik_transitive_interfaces, 0},
      {"InstanceKlass", "_fields", "Array<u2>*", ik_fields, 17},
      {"InstanceKlass", "_java_fields_count", "u2", ik_java_fields_count, 17},
      {"InstanceKlass", "_fieldinfo_stream", "Array<u1>*", ik_fieldinfo_stream, 25},
      {"InstanceKlass", "_inner_classes", "Array<jushort>*", ik_inner_classes, 0},
      {"InstanceKlass", "_nest_members", "Array<jushort>*", ik_nest_members, 25},
      {"InstanceKlass", "_source_debug_extension", "const char*", ik_source_debug_extension, 0},
      {"InstanceKlass", "_annotations", "Annotations*", ik_annotations, 0},
      {"InstanceKlass", "_method_ordering", "Array<int>*", ik_method_ordering, 0},
      {"InstanceKlass", "_default_vtable_indices", "Array<int>*", ik_default_vtable_indices, 0},
      {"InstanceKlass", "_itable_len", "int", ik_itable_len, 0},
      {"InstanceKlass", "_nonstatic_oop_map_size", "int", ik_oop_map_size, 0},
      {"ConstantPool", "_tags", "Array<u1>*", cp_tags, 0},
      {"ConstantPool", "_cache", "ConstantPoolCache*", cp_cache, 0},
      {"ConstantPool", "_operands", "Array<u2>*", cp_operands, 0},
      {"ConstantPool", "_resolved_klasses", "Array<Klass*>*", cp_resolved_klasses, 0},
      {"ConstantPool", "_length", "int", cp_length, 0},
      {"ConstantPoolCache", "_length", "int", cpc_length, 17},
      {"ConstantPoolCache", "_reference_map", "Array<u2>*", cpc_reference_map, 0},
      {"ConstantPoolCache", "_resolved_indy_entries", "Array<ResolvedIndyEntry>*", cpc_indy, 25},
      {"ConstantPoolCache", "_resolved_field_entries", "Array<ResolvedFieldEntry>*", cpc_fields, 25},
      {"ConstantPoolCache", "_resolved_method_entries", "Array<ResolvedMethodEntry>*", cpc_methods, 25},
      {"Method", "_constMethod", "ConstMethod*", method_const, 0},
      {"Method", "_method_data", "MethodData*", method_data, 0},
      {"Method", "_method_counters", "MethodCounters*", method_counters, 0},
      {"Method", "_access_flags", "AccessFlags", method_access, 0},
      {"ConstMethod", "_constMethod_size", "int", const_method_size, 0},
      {"ConstMethod", "_stackmap_data", "Array<u1>*", const_method_stackmap, 0},
      {"ConstMethod", "_name_index", "u2", const_method_name, 0},
      {"ConstMethod", "_signature_index", "u2", const_method_signature, 0},
      {"ConstMethod", "_flags", "u2", const_method_flags, 17},
      {"ConstMethod", "_flags._flags", "u4", const_method_flags, 25},
      {"MethodData", "_size", "int", method_data_size, 0},
      {"Annotations", "_class_annotations", "Array<u1>*", 0, 25},
      {"Annotations", "_fields_annotations", "Array<Array<u1>*>*", 8, 25},
      {"Annotations", "_class_type_annotations", "Array<u1>*", 16, 25},
      {"Annotations", "_fields_type_annotations", "Array<Array<u1>*>*", 24, 25},
      {"AccessFlags", "_flags", "jint", 0, 17},
      {"AccessFlags", "_flags", "u2", 0, 25},
      {"Symbol", "_length", "u2", symbol_length, 0},
      {"Symbol", "_body", nullptr, symbol_body, 0},
      {"Array<int>", "_length", "int", 0, 0},
      {"Array<int>", "_data", nullptr, 4, 0},
      {"Array<u1>", "_data", nullptr, 4, 0},
      {"Array<u2>", "_data", nullptr, 4, 0},
      {"Array<Klass*>", "_data", nullptr, 8, 0},
  };
  for (const auto &f : fields) {
    if (f.only == 0 || (f.only == 25) == jdk25) field(f.type, f.name, f.type_string, f.offset);
  }
  const struct {
    const char *name;
    uint64_t size;
    int only;
  } types[] = {
      {"InstanceKlass", instance_klass_size, 0},
      {"ObjArrayKlass", 240, 0},
      {"TypeArrayKlass", 232, 0},
      {"ConstantPool", constant_pool_size, 0},
      {"ConstantPoolCache", jdk25 ? 64u : 40u, 0},
      {"ConstantPoolCacheEntry", 32, 17},
      {"ResolvedIndyEntry", 16, 25},
      {"ResolvedFieldEntry", 24, 25},
      {"ResolvedMethodEntry", 24, 25},
      {"Array<ResolvedIndyEntry>", 24, 25},
      {"Array<ResolvedFieldEntry>", 32, 25},
      {"Method", method_size, 0},
      {"MethodCounters", jdk25 ? 64u : 56u, 0},
      {"Annotations", 32, 25},
      {"Array<u1>", 8, 0},
      {"Array<u2>", 8, 0},
      {"Array<int>", 8, 0},
      {"Array<Klass*>", 16, 0},
      {"intptr_t", 8, 0},
  };
  for (const auto &t : types) {
    if (t.only == 0 || (t.only == 25) == jdk25) types_.push_back({keep(t.name), nullptr, 0, 0, 0, t.size});
  }
  const struct {
    const char *name;
    int32_t value;
    int only;
  } constants[] = {
      {"HeapWordSize", 8, 0},
      {"ConstMethod::_has_method_annotations", 128, 17},
      {"ConstMethod::_has_parameter_annotations", 256, 17},
      {"ConstMethod::_has_type_annotations", 512, 17},
      {"ConstMethod::_has_default_annotations", 1024, 17},
      {"ConstMethodFlags::_misc_has_method_annotations", 128, 25},
      {"ConstMethodFlags::_misc_has_parameter_annotations", 256, 25},
      {"ConstMethodFlags::_misc_has_type_annotations", 512, 25},
      {"ConstMethodFlags::_misc_has_default_annotations", 1024, 25},
      {"FieldInfo::field_slots", 6, 17},
      {"FieldInfo::access_flags_offset", 0, 17},
      {"FieldInfo::name_index_offset", 1, 17},
      {"FieldInfo::signature_index_offset", 2, 17},
      {"FieldInfo::FieldFlags::_ff_initialized", 0, 25},
      {"FieldInfo::FieldFlags::_ff_injected", 1, 25},
      {"FieldInfo::FieldFlags::_ff_generic", 2, 25},
      {"FieldInfo::FieldFlags::_ff_contended", 4, 25},
  };
  for (const auto &c : constants) {
    if (c.only == 0 || (c.only == 25) == jdk25) constants_.push_back({keep(c.name), c.value});
  }
}

CurrentImage::~CurrentImage() {
  munmap(unmapped_, 4096);
  if (agent_globals == &globals_) agent_globals = saved_globals_;
  *fake_jvm_export("gHotSpotVMStructs") = *fake_jvm_export("gHotSpotVMTypes") =
      *fake_jvm_export("gHotSpotVMIntConstants") = 0;
}

const char *CurrentImage::keep(const std::string &text) {
  texts_.emplace_back(new char[text.size() + 1]);
  memcpy(texts_.back().get(), text.c_str(), text.size() + 1);
  return texts_.back().get();
}

void CurrentImage::field(const char *type, const char *name, const char *type_string, uint64_t offset) {
  structs_.push_back({keep(type), keep(name), type_string ? keep(type_string) : nullptr, 0, offset, 0});
}

void CurrentImage::static_field(const char *type, const char *name, const char *type_string, const void *address) {
  structs_.push_back({keep(type), keep(name), keep(type_string), 1, 0, reinterpret_cast<uint64_t>(address)});
}

void CurrentImage::remove_field(const std::string &type, const std::string &name) {
  for (auto it = structs_.begin(); it != structs_.end();) {
    it = type == it->type_name && name == it->field_name ? structs_.erase(it) : it + 1;
  }
}

void CurrentImage::move_field(const std::string &type, const std::string &name, uint64_t offset) {
  for (StructEntry &entry : structs_) {
    if (type == entry.type_name && name == entry.field_name) entry.offset = offset;
  }
}

void CurrentImage::install() {
  structs_.push_back({});
  types_.push_back({});
  constants_.push_back({});
  *fake_jvm_export("gHotSpotVMStructs") = reinterpret_cast<uint64_t>(structs_.data());
  *fake_jvm_export("gHotSpotVMTypes") = reinterpret_cast<uint64_t>(types_.data());
  *fake_jvm_export("gHotSpotVMIntConstants") = reinterpret_cast<uint64_t>(constants_.data());
  fake_jvm_reset_layout();
  functions_.Allocate = reinterpret_cast<jvmtiError(JNICALL *)(jvmtiEnv *, jlong, unsigned char **)>(fake_jvm_allocate);
  env_.functions = &functions_;
  globals_.jvmti = &env_;
  globals_.is_hotspot = 1;
  globals_.jvmti_9_or_later = 1;
  if (agent_globals != &globals_) saved_globals_ = agent_globals;
  agent_globals = &globals_;
}

char *CurrentImage::alloc(size_t bytes) {
  metaspace_used_ = (metaspace_used_ + 15) & ~(size_t)15;
  if (metaspace_used_ + bytes > BLOCK_SIZE) abort();
  char *at = metaspace_ + metaspace_used_;
  metaspace_used_ += bytes;
  return at;
}

char *CurrentImage::archived(size_t bytes) {
  archive_used_ = (archive_used_ + 15) & ~(size_t)15;
  if (archive_used_ + bytes > BLOCK_SIZE) abort();
  char *at = archive_ + archive_used_;
  archive_used_ += bytes;
  return at;
}

char *CurrentImage::array(uint32_t length, uint32_t element, bool in_archive) {
  uint32_t data = element >= 8 ? 8 : 4;
  char *at = in_archive ? archived(data + length * element + 8) : alloc(data + length * element + 8);
  put(at, 0, (int32_t)length);
  return at;
}

char *CurrentImage::symbol(const std::string &text) {
  char *at = alloc(symbol_body + text.size() + 1);
  put(at, symbol_length, (uint16_t)text.size());
  memcpy(at + symbol_body, text.data(), text.size());
  return at;
}

char *CurrentImage::instance_klass(const std::string &name) {
  char *klass = alloc(instance_klass_size + 64);
  put(klass, klass_layout_helper, (int32_t)24);
  put(klass, klass_name, symbol(name));
  return klass;
}

jclass CurrentImage::mirror_of(const char *klass) {
  char *mirror = alloc(128);
  put(mirror, mirror_klass, klass);
  char *slot = alloc(8);
  put(slot, 0, mirror);
  return reinterpret_cast<jclass>(slot);
}

jmethodID CurrentImage::method_id(const char *method) {
  char *slot = alloc(8);
  put(slot, 0, method);
  return reinterpret_cast<jmethodID>(slot);
}

}  // namespace vt
