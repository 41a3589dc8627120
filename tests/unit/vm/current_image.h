// Synthetic images of current HotSpot for the VM structure reader: the serviceability tables as
// JDK 17 or JDK 25 name them, exported through the fake JVM library, and class metadata laid out
// at the offsets those tables publish (this file's own choice), in a "metaspace" block and an
// "archive" block that the tables name as the class data archive.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_init.h"

namespace vt {

struct CurrentImageOptions {
  int feature = 25;  // 17: the field array and cache entries of JDK 11 to 20; 25: the field stream
  bool security_version = true;
  std::string release = "25.0.3+9-LTS";
};

// The offsets the image publishes.
namespace current_layout {
constexpr uint32_t klass_layout_helper = 8, klass_name = 16, klass_super = 24, klass_vtable_len = 32,
                   klass_access_flags = 36, klass_secondary_supers = 40, klass_loader_data = 48;
constexpr uint32_t ik_constants = 64, ik_methods = 72, ik_default_methods = 80, ik_local_interfaces = 88,
                   ik_transitive_interfaces = 96, ik_fields = 104, ik_java_fields_count = 112, ik_inner_classes = 120,
                   ik_nest_members = 128, ik_permitted_subclasses = 144, ik_record_components = 152,
                   ik_source_debug_extension = 160, ik_annotations = 168, ik_method_ordering = 176,
                   ik_default_vtable_indices = 184, ik_itable_len = 192, ik_oop_map_size = 196,
                   ik_fieldinfo_stream = 376, ik_fields_status = 392, instance_klass_size = 400;
constexpr uint32_t cp_tags = 8, cp_cache = 16, cp_operands = 32, cp_resolved_klasses = 40, cp_length = 60,
                   constant_pool_size = 72;
constexpr uint32_t cpc_length = 0, cpc_reference_map = 24, cpc_indy = 40, cpc_fields = 48, cpc_methods = 56;
constexpr uint32_t method_const = 8, method_data = 16, method_counters = 24, method_access = 40, method_size = 88;
constexpr uint32_t const_method_stackmap = 16, const_method_size = 24, const_method_flags = 28, const_method_name = 34,
                   const_method_signature = 36;
constexpr uint32_t method_data_size = 16, symbol_length = 4, symbol_body = 6, loader_data_loader = 8;
constexpr uint32_t mirror_klass = 64;
}  // namespace current_layout

class CurrentImage {
 public:
  explicit CurrentImage(const CurrentImageOptions &options);
  ~CurrentImage();
  CurrentImage(const CurrentImage &) = delete;
  CurrentImage &operator=(const CurrentImage &) = delete;

  // Publishes the tables through the fake JVM's exports and points agent_globals at a JVMTI 9
  // environment whose Allocate lies inside the fake JVM library.
  void install();
  // Drops the struct entries of Type::field (before install).
  void remove_field(const std::string &type, const std::string &field);
  // Moves a member field's published offset (before install).
  void move_field(const std::string &type, const std::string &field, uint64_t offset);

  char *alloc(size_t bytes);     // in the loader's metaspace
  char *archived(size_t bytes);  // in the class data archive
  template <typename T>
  static void put(char *base, uint64_t offset, T value) {
    memcpy(base + offset, &value, sizeof value);
  }
  // Array<T> of a length with elements of a size (data after the 4-byte length, pointers after 8).
  char *array(uint32_t length, uint32_t element, bool in_archive = false);
  char *symbol(const std::string &text);
  char *instance_klass(const std::string &name);
  jclass mirror_of(const char *klass);
  jmethodID method_id(const char *method);
  // Memory that cannot be read (an inaccessible page).
  char *unmapped() const { return unmapped_; }

  const CurrentImageOptions options;

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
  const char *keep(const std::string &text);
  void field(const char *type, const char *name, const char *type_string, uint64_t offset);
  void static_field(const char *type, const char *name, const char *type_string, const void *address);

  std::vector<std::unique_ptr<uint64_t[]>> blocks_;
  std::vector<std::unique_ptr<char[]>> texts_;
  char *metaspace_ = nullptr, *archive_ = nullptr, *unmapped_ = nullptr;
  size_t metaspace_used_ = 0, archive_used_ = 0;
  std::vector<StructEntry> structs_;
  std::vector<TypeEntry> types_;
  std::vector<ConstEntry> constants_;
  int32_t major_ = 0, security_ = 0, klass_offset_ = 0;
  const char *release_ = nullptr;
  void *shared_base_ = nullptr, *shared_top_ = nullptr;
  jvmtiInterface_1_ functions_{};
  _jvmtiEnv env_{};
  agent_globals_record globals_{};
  agent_globals_record *saved_globals_ = nullptr;
};

}  // namespace vt
