#include "vm_image.h"

#include <cstdlib>

#include "fake_jvm.h"

namespace vt {

namespace {

constexpr size_t HEAP_SIZE = 4 << 20;

// Static storage of the image, as offsets into its statics block.
enum static_slot : uint64_t {
  NARROW_BASE = 0,
  NARROW_SHIFT = 8,
  NKLASS_BASE = 16,
  NKLASS_SHIFT = 24,
  KLASS_OFFSET = 32,
  IKLASS_KLASS = 40,
  FLAGS = 48,
  NUM_FLAGS = 56,
  VERSION_STRING = 64,
  MAJOR = 72,
};
constexpr uint64_t NOT_STATIC = ~(uint64_t)0;
constexpr uint32_t MIRROR_KLASS_OFFSET = 64;

struct layout_row {
  field_target *target;
  uint64_t offset;
  uint64_t slot;
};

using namespace vm_layout;
const layout_row field_layout[] = {
    {&struct_klass_offset, 0, KLASS_OFFSET},
    {&struct_obj_iklass_klass, 0, IKLASS_KLASS},
    {&struct_klass_layout_helper, klass_layout_helper, NOT_STATIC},
    {&struct_klass_name, klass_name, NOT_STATIC},
    {&struct_iklass_constants, iklass_constants, NOT_STATIC},
    {&struct_iklass_local_interfaces, iklass_local_interfaces, NOT_STATIC},
    {&struct_iklass_trans_interfaces, iklass_trans_interfaces, NOT_STATIC},
    {&struct_iklass_methods, iklass_methods, NOT_STATIC},
    {&struct_iklass_inner_classes, iklass_inner_classes, NOT_STATIC},
    {&struct_iklass_fields, iklass_fields, NOT_STATIC},
    {&struct_iklass_field_count, iklass_java_fields_count, NOT_STATIC},
    {&struct_iklass_class_annotations, iklass_class_annotations, NOT_STATIC},
    {&struct_iklass_fields_annotations, iklass_fields_annotations, NOT_STATIC},
    {&struct_iklass_methods_annotations, 96, NOT_STATIC},
    {&struct_iklass_methods_param_annotations, 104, NOT_STATIC},
    {&struct_iklass_methods_default_annotations, 112, NOT_STATIC},
    {&struct_flags, 0, FLAGS},
    {&struct_flags_num, 0, NUM_FLAGS},
    {&struct_flag_type, 0, NOT_STATIC},
    {&struct_flag_name, 8, NOT_STATIC},
    {&struct_flag_addr, 16, NOT_STATIC},
    {&struct_narrow_base, 0, NARROW_BASE},
    {&struct_narrow_shift, 0, NARROW_SHIFT},
    {&struct_nklass_base, 0, NKLASS_BASE},
    {&struct_nklass_shift, 0, NKLASS_SHIFT},
    {&struct_obj_nklass_offset, 8, NOT_STATIC},
    {&struct_obj_klass_offset, 8, NOT_STATIC},
    {&struct_arr_length, 16, NOT_STATIC},
    {&struct_cp_length, cp_length, NOT_STATIC},
    {&struct_cp_cache, cp_cache, NOT_STATIC},
    {&struct_cp_tags, cp_tags, NOT_STATIC},
    {&struct_cpc_length, cpc_length, NOT_STATIC},
    {&struct_arr_int_length, 0, NOT_STATIC},
    {&struct_arr_u1_data, array_u1_data, NOT_STATIC},
    {&struct_arr_u2_data, array_u2_data, NOT_STATIC},
    {&struct_arr_klass_data, array_ptr_data, NOT_STATIC},
    {&struct_arr_method_data, array_ptr_data, NOT_STATIC},
    {&struct_const_method_size, const_method_size, NOT_STATIC},
    {&struct_const_method_stackmap, const_method_stackmap, NOT_STATIC},
    {&struct_const_method_name_index, const_method_name, NOT_STATIC},
    {&struct_const_method_sig_index, const_method_sig, NOT_STATIC},
    {&struct_method_const, method_const, NOT_STATIC},
    {&struct_method_data, method_data, NOT_STATIC},
    {&struct_method_counters, method_counters, NOT_STATIC},
    {&struct_method_size, method_size, NOT_STATIC},
    {&struct_method_access, method_access, NOT_STATIC},
    {&struct_access_flags, 0, NOT_STATIC},
    {&struct_method_data_size, method_data_size, NOT_STATIC},
    {&struct_symbol_length, symbol_length, NOT_STATIC},
    {&struct_symbol_body, symbol_body, NOT_STATIC},
    {&struct_vm_version_string, 0, VERSION_STRING},
    {&struct_vm_major_version, 0, MAJOR},
};

struct type_size {
  type_target *target;
  uint64_t size;
};
const type_size type_sizes[] = {
    {&type_instance_klass, 256},
    {&type_flag, 40},
    {&type_oop_desc, 16},
    {&type_instance_oop_desc, 16},
    {&type_intx, 8},
    {&type_intptr_t, 8},
    {&type_constant_pool_oop_desc, constant_pool_size},
    {&type_constant_pool_cache_oop_desc, 32},
    {&type_constant_pool_cache_entry, 32},
    {&type_array_oop_desc, 16},
    {&type_method_counters, 40},
    {&type_u1, 1},
    {&type_u2, 2},
    {&type_jushort, 2},
    {&type_ptr, 8},
};

}  // namespace

VmImage::VmImage(const VmImageOptions &image_options) : options(image_options) {
  blocks_.emplace_back(new uint64_t[HEAP_SIZE / 8]());
  heap_base_ = reinterpret_cast<char *>(blocks_.back().get());
  used_ = 64;  // narrow pointer 0 stays null
  char *statics = alloc(128);
  major_storage_ = reinterpret_cast<int32_t *>(statics + MAJOR);
  *major_storage_ = options.major;
  put(statics, NARROW_BASE, reinterpret_cast<uint64_t>(heap_base_));
  put(statics, NARROW_SHIFT, (int32_t)3);

  vm_targets_fill_version_names(options.major);
  for (const layout_row &row : field_layout) {
    layout_[row.target] = {row.offset, row.slot == NOT_STATIC ? 0 : reinterpret_cast<uint64_t>(statics + row.slot)};
  }
  // Entries that differ from a target only in the type string or the static flag match nothing.
  structs_.push_back({text("Klass"), text("_name"), text("char*"), 0, 999, 0});
  structs_.push_back({text("Universe"), text("_narrow_oop._base"), text("address"), 0, 999, 0});
  add_fields(vm_version_field_list);
  add_fields(vm_field_list);
  if (options.major <= 21 && !options.client) add_fields(vm_old_server_field_list);

  for (const type_row *row = vm_type_list; row->target != nullptr; ++row) {
    if (options.major < row->lowest || options.major > row->highest) continue;
    const type_target *target = row->target;
    uint64_t size = 0;
    for (const type_size &entry : type_sizes) {
      if (entry.target == target) size = entry.size;
    }
    types_.push_back({name(target->type_name), name(target->superclass_name), target->is_oop, target->is_integer,
                      target->is_unsigned, size});
  }
  const bool old_fields = options.major <= 21;
  const std::pair<const char *, int32_t> constants[] = {
      {"oopSize", 8},
      {"java_lang_Class::hc_klass_offset", 2},
      {"HeapWordSize", 8},
      {"BytesPerWord", options.bytes_per_word},
      {"Klass::_lh_header_size_shift", 16},
      {"Klass::_lh_log2_element_size_shift", 0},
      {old_fields ? "instanceKlass::access_flags_offset" : "FieldInfo::access_flags_offset", 0},
      {old_fields ? "instanceKlass::name_index_offset" : "FieldInfo::name_index_offset", 1},
      {old_fields ? "instanceKlass::signature_index_offset" : "FieldInfo::signature_index_offset", 2},
      {old_fields ? "instanceKlass::next_offset" : "FieldInfo::field_slots", old_fields ? 7 : 6},
  };
  for (const auto &constant : constants) {
    bool applies = false;
    for (const const_row *row = vm_const_list; row->target != nullptr; ++row) {
      applies |= strcmp(row->target->name, constant.first) == 0 && options.major >= row->lowest &&
                 options.major <= row->highest;
    }
    if (applies) constants_.push_back({text(constant.first), constant.second});
  }

  // Flags: the two the reader wants, one it ignores and one without a name.
  char *flags = alloc(4 * 40);
  char *compressed = alloc(8);
  *compressed = options.compressed_oops ? 1 : 0;
  char *alignment = alloc(8);
  put(alignment, 0, options.alignment);
  char *heap_size = alloc(8);
  const struct {
    const char *type, *name;
    char *value;
  } flag_rows[] = {{"bool", "UseCompressedOops", compressed},
                   {"uintx", nullptr, heap_size},
                   {"uintx", "MaxHeapSize", heap_size},
                   {"intx", "ObjectAlignmentInBytes", alignment}};
  for (int i = 0; i < 4; ++i) {
    put(flags, i * 40 + 0, name(flag_rows[i].type));
    put(flags, i * 40 + 8, name(flag_rows[i].name));
    put(flags, i * 40 + 16, flag_rows[i].value);
  }
  put(statics, FLAGS, flags);
  put(statics, NUM_FLAGS, (uint64_t)4);
  put(statics, VERSION_STRING,
      text(std::string("Java HotSpot(TM) 64-Bit ") + (options.client ? "Client" : "Server") + " VM (test build)"));
  put(statics, KLASS_OFFSET, (int32_t)MIRROR_KLASS_OFFSET);

  if (options.major < 25) {
    instance_klass_klass_ = alloc(64);
    put(statics, IKLASS_KLASS, instance_klass_klass_);
    const uint32_t header = options.compressed_oops ? 16 : 24;
    const uint32_t log2[3] = {0, 1, options.compressed_oops ? 2u : 3u};
    for (int kind = 0; kind < 3; ++kind) {
      array_klasses_[kind] = alloc(64);
      put_klass(array_klasses_[kind], klass_layout_helper, (int32_t)(0x80000000u | header << 16 | log2[kind]));
    }
  }
}

VmImage::~VmImage() {
  if (agent_globals == &globals_) agent_globals = saved_globals_;
  *fake_jvm_export("gHotSpotVMStructs") = *fake_jvm_export("gHotSpotVMTypes") =
      *fake_jvm_export("gHotSpotVMIntConstants") = 0;
}

void VmImage::add_fields(const field_row *list) {
  for (const field_row *row = list; row->target != nullptr; ++row) {
    if (options.major < row->lowest || options.major > row->highest) continue;
    const field_target *target = row->target;
    const auto &layout = layout_.at(target);
    structs_.push_back({name(target->type_name), name(target->field_name), name(target->type_string), target->is_static,
                        layout.first, layout.second});
  }
}

void VmImage::remove_field(const std::string &type, const std::string &field) {
  for (auto it = structs_.begin(); it != structs_.end();) {
    it = type == it->type_name && field == it->field_name ? structs_.erase(it) : it + 1;
  }
}

void VmImage::set_constant(const std::string &constant, int32_t value) {
  for (ConstEntry &entry : constants_) {
    if (constant == entry.name) entry.value = value;
  }
}

void VmImage::install() {
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
  if (agent_globals != &globals_) saved_globals_ = agent_globals;
  agent_globals = &globals_;
}

char *VmImage::alloc(size_t bytes) {
  used_ = (used_ + 15) & ~(size_t)15;
  if (used_ + bytes > HEAP_SIZE) abort();
  char *result = heap_base_ + used_;
  used_ += bytes;
  return result;
}

char *VmImage::text(const std::string &value) {
  char *copy = alloc(value.size() + 1);
  memcpy(copy, value.c_str(), value.size() + 1);
  return copy;
}

void VmImage::put_oop(char *base, uint64_t offset, const void *object) {
  if (!options.compressed_oops) {
    put(base, offset, object);
    return;
  }
  uint64_t heap = reinterpret_cast<uint64_t>(heap_base_);
  put(base, offset, object == nullptr ? 0u : (uint32_t)((reinterpret_cast<uint64_t>(object) - heap) >> 3));
}

jclass VmImage::mirror_of(const char *klass) {
  char *mirror = alloc(128);
  if (options.major == 25) {
    put(mirror, MIRROR_KLASS_OFFSET, klass);
  } else if (options.major >= 21) {
    put_oop(mirror, MIRROR_KLASS_OFFSET, klass);
  } else {
    put_oop(mirror, 16 - (options.compressed_oops ? 4 : 0) + 8 * 2, klass);
  }
  char *slot = alloc(8);
  put(slot, 0, mirror);
  return reinterpret_cast<jclass>(slot);
}

char *VmImage::instance_klass() {
  char *klass = alloc(256 + 16);
  if (options.major == 25) {
    put(klass, 0, fake_jvm_vtable_pointer(0));
  } else {
    put_oop(klass, 8, instance_klass_klass_);
  }
  return klass;
}

char *VmImage::array(char kind, uint32_t length) {
  const int index = kind == 'b' ? 0 : kind == 's' ? 1 : 2;
  if (options.major == 25) {
    const uint32_t data[3] = {array_u1_data, array_u2_data, array_ptr_data}, element[3] = {1, 2, 8};
    char *array = alloc(data[index] + length * element[index]);
    put(array, 0, (int32_t)length);
    return array;
  }
  const uint32_t header = options.compressed_oops ? 16 : 24;
  const uint32_t log2 = index == 0 ? 0 : index == 1 ? 1 : options.compressed_oops ? 2 : 3;
  char *array = alloc(header + (length << log2));
  put_oop(array, 8, array_klasses_[index]);
  put(array, options.compressed_oops ? 12 : 16, (int32_t)length);
  return array;
}

void VmImage::set_element(char *array, uint32_t index, const void *object) {
  if (options.major == 25) {
    put(array, array_ptr_data + 8 * index, object);
  } else {
    put_oop(array, (options.compressed_oops ? 16 : 24) + index * (options.compressed_oops ? 4 : 8), object);
  }
}

void VmImage::set_u2(char *array, uint32_t index, uint16_t value) {
  put(array, (options.major == 25 ? array_u2_data : options.compressed_oops ? 16 : 24) + 2 * index, value);
}

char *VmImage::symbol(const std::string &value) {
  char *symbol = alloc(symbol_body + value.size() + 1);
  put(symbol, symbol_length, (uint16_t)value.size());
  memcpy(symbol + symbol_body, value.data(), value.size());
  return symbol;
}

jmethodID VmImage::method_id(const char *method) {
  char *slot = alloc(8);
  put(slot, 0, method);
  return reinterpret_cast<jmethodID>(slot);
}

VmSampleClass build_sample_class(VmImage &image) {
  VmSampleClass sample{};
  char *pool = image.alloc(constant_pool_size + 10 * 8);
  VmImage::put(pool, cp_length, (int32_t)10);  // also where the heap array length lies below 14
  const std::string symbols[] = {"",      "run", "()V", std::string(600, 'n'), "(" + std::string(2100, 's') + ")V",
                                 "count", "I"};
  for (uint32_t i = 1; i < 7; ++i) {
    uint64_t symbol = reinterpret_cast<uint64_t>(image.symbol(symbols[i]));
    VmImage::put(pool, constant_pool_size + 8 * i, symbol | (i == 6 ? 1 : 0));
  }
  char *cache = image.alloc(64);
  VmImage::put(cache, cpc_length, (int32_t)3);
  VmImage::put(pool, cp_cache, cache);
  VmImage::put(pool, cp_tags, image.array('b', 10));

  char *klass = image.instance_klass();
  image.put_klass(klass, iklass_constants, pool);
  char *local_interfaces = image.array('o', 1);
  image.set_element(local_interfaces, 0, klass);
  image.put_klass(klass, iklass_local_interfaces, local_interfaces);
  image.put_klass(klass, iklass_trans_interfaces, image.array('o', 2));
  image.put_klass(klass, iklass_inner_classes, image.array('s', 4));
  const uint32_t slots = image.options.major <= 21 ? 7 : 6;
  char *fields = image.array('s', 3 * slots);
  const uint16_t field_values[3][3] = {{0x0002, 5, 6}, {0x0401, 1, 2}, {0x0008, 1, 2}};
  for (uint32_t f = 0; f < 3; ++f) {
    for (uint32_t v = 0; v < 3; ++v) image.set_u2(fields, f * slots + v, field_values[f][v]);
  }
  image.put_klass(klass, iklass_fields, fields);
  image.put_klass(klass, iklass_java_fields_count, (uint16_t)2);
  if (image.options.major < 25) {
    image.put_klass(klass, iklass_class_annotations, image.array('b', 5));
    char *field_annotations = image.array('o', 2);
    image.set_element(field_annotations, 0, image.array('b', 3));
    image.put_klass(klass, iklass_fields_annotations, field_annotations);
  }

  char *methods = image.array('o', 2);
  for (int m = 0; m < 2; ++m) {
    char *method = image.alloc(64), *const_method = image.alloc(32);
    VmImage::put(method, method_size, (uint16_t)10);
    VmImage::put(method, method_const, const_method);
    VmImage::put(method, method_access, (int32_t)(m == 0 ? 0x0009 : 0x0001));
    VmImage::put(const_method, vm_layout::const_method_size, (int32_t)12);
    VmImage::put(const_method, const_method_name, (uint16_t)(m == 0 ? 1 : 3));
    VmImage::put(const_method, const_method_sig, (uint16_t)(m == 0 ? 2 : 4));
    if (m == 0) {
      char *data = image.alloc(16);
      VmImage::put(data, vm_layout::method_data_size, (int32_t)200);
      VmImage::put(method, vm_layout::method_data, data);
      VmImage::put(method, method_counters, image.alloc(40));
      VmImage::put(const_method, const_method_stackmap, image.array('b', 7));
    }
    image.set_element(methods, m, method);
    sample.method[m] = method;
    sample.method_ids[m] = image.method_id(method);
  }
  sample.method_ids[2] = image.method_id(nullptr);
  image.put_klass(klass, iklass_methods, methods);
  sample.klass = image.mirror_of(klass);
  sample.metadata = klass;
  sample.constant_pool = pool;
  sample.methods = methods;
  return sample;
}

}  // namespace vt
