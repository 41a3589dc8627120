// Synthetic VM images for the VM structure reader: serviceability tables in the VM's entry layout,
// exported through the fake JVM library, and class metadata laid out as each HotSpot generation's
// formulas read it. Offsets and sizes are this file's own choice; the tables publish them.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_init.h"
#include "vmstructs/vm_targets.h"

namespace vt {

struct VmImageOptions {
  int major = 24;
  bool compressed_oops = false;
  int64_t alignment = 8;
  bool client = false;
  int32_t bytes_per_word = 8;
};

// Field offsets inside the synthetic metadata (klass fields start after the object header below 25).
namespace vm_layout {
constexpr uint32_t klass_layout_helper = 8, klass_name = 16, iklass_constants = 24, iklass_local_interfaces = 32,
                   iklass_trans_interfaces = 40, iklass_methods = 48, iklass_inner_classes = 56, iklass_fields = 64,
                   iklass_java_fields_count = 72, iklass_class_annotations = 80, iklass_fields_annotations = 88;
constexpr uint32_t cp_length = 16, cp_cache = 24, cp_tags = 32, cpc_length = 16;
constexpr uint32_t method_const = 8, method_data = 16, method_counters = 24, method_size = 32, method_access = 36;
constexpr uint32_t const_method_size = 8, const_method_stackmap = 16, const_method_name = 24, const_method_sig = 26;
constexpr uint32_t method_data_size = 8, symbol_length = 2, symbol_body = 8;
constexpr uint32_t array_u1_data = 4, array_u2_data = 4, array_ptr_data = 8;
constexpr uint32_t constant_pool_size = 48;  // the type size of ConstantPool: its slots follow
}  // namespace vm_layout

class VmImage {
 public:
  explicit VmImage(const VmImageOptions &options);
  ~VmImage();
  VmImage(const VmImage &) = delete;
  VmImage &operator=(const VmImage &) = delete;

  // Publishes the tables through the fake JVM's exports and points agent_globals at an
  // environment whose Allocate lies inside the fake JVM library.
  void install();
  // Drops the struct entry of Type::field (before install).
  void remove_field(const std::string &type, const std::string &field);
  void set_constant(const std::string &name, int32_t value);
  int32_t *major_version() { return major_storage_; }

  // Memory.
  char *alloc(size_t bytes);
  char *text(const std::string &value);
  template <typename T>
  static void put(char *base, uint64_t offset, T value) {
    memcpy(base + offset, &value, sizeof value);
  }
  // Writes an object pointer the way the VM stores it in a heap object or heap array.
  void put_oop(char *base, uint64_t offset, const void *object);
  // A class object (java.lang.Class instance) pointing at a klass, and a JNI reference to it.
  jclass mirror_of(const char *klass);
  // Instance klass metadata with its object header or virtual table pointer.
  char *instance_klass();
  // Metadata arrays: heap arrays below 25 (kinds 'b' bytes, 's' shorts, 'o' objects) and Array<T>
  // at 25 (data at data_offset, element size bytes).
  char *array(char kind, uint32_t length);
  void set_element(char *array, uint32_t index, const void *object);
  void set_u2(char *array, uint32_t index, uint16_t value);
  char *symbol(const std::string &value);
  // Writes a field of klass metadata (after the object header below 25).
  template <typename T>
  void put_klass(char *klass, uint32_t offset, T value) {
    put(klass, offset + (options.major < 25 ? 16 : 0), value);
  }
  // A method id: the address of a slot holding the method.
  jmethodID method_id(const char *method);

  const VmImageOptions options;

 private:
  struct StructEntry {
    const char *type_name, *field_name, *type_string;
    int32_t is_static;
    uint64_t offset, address;
  };
  struct TypeEntry {
    const char *type_name, *superclass_name;
    int32_t is_oop, is_integer, is_unsigned;
    uint64_t size;
  };
  struct ConstEntry {
    const char *name;
    int32_t value;
  };
  const char *name(const char *value) { return value != nullptr ? text(value) : nullptr; }
  void add_fields(const field_row *list);

  std::vector<std::unique_ptr<uint64_t[]>> blocks_;
  std::vector<StructEntry> structs_;
  std::vector<TypeEntry> types_;
  std::vector<ConstEntry> constants_;
  std::map<const field_target *, std::pair<uint64_t, uint64_t>> layout_;  // offset, static address
  char *heap_base_ = nullptr;                                             // also the base of narrow pointers (shift 3)
  size_t used_ = 0;
  int32_t *major_storage_ = nullptr;
  char *instance_klass_klass_ = nullptr;
  char *array_klasses_[3] = {};
  jvmtiInterface_1_ functions_{};
  _jvmtiEnv env_{};
  agent_globals_record globals_{};
  agent_globals_record *saved_globals_ = nullptr;
};

// One class with every part the size formulas count: a constant pool of 10 slots with a cache of 3
// entries and a tag array, interface, inner class and field arrays (three fields: a private one, a
// VM-internal one and a static one, of which the VM counts two as Java fields from 23 on), class
// and field annotations below 25 (the second field's annotations missing), and two methods, the
// first with a stack map, method data and counters, the second with long name and signature.
struct VmSampleClass {
  jclass klass;
  char *metadata;
  char *constant_pool;
  char *methods;
  char *method[2];
  jmethodID method_ids[3];  // the third one's method is gone
};
VmSampleClass build_sample_class(VmImage &image);

}  // namespace vt
