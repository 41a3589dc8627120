// Names of references: fields and static fields by the JVMTI field index (the fields of every
// superinterface first, each counted once, then those of java.lang.Object down to the class
// itself, each class's fields in the listed order), array elements as "[index]", other kinds by
// their kind. The class hierarchy comes from the graph's superclass and interface references.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "heap_graph.h"
#include "snapshot_reader.h"

namespace snapshot_reader {

// "Ljava/util/HashMap;" -> "java.util.HashMap", "[I" -> "int[]"; other texts unchanged.
std::string java_class_name(const std::string &signature);

class FieldNames {
 public:
  FieldNames(const HeapGraph &graph, const InfoFile &info);

  // The signature of a class id, or a placeholder for an unknown one.
  std::string class_signature(uint32_t class_id) const;
  // What an object is: "java.util.HashMap" for an instance, "class java.util.HashMap" for a class
  // object, "the stack of "main" (id 1)" or "frame 0 (Shop.main) of "main" (id 1)" for a stack node.
  std::string describe_type(uint32_t id) const;
  std::string thread_name(uint64_t java_id) const;  // "\"main\" (id 1)", or "thread id 7" when not listed
  std::string method_name(uint64_t method) const;   // "java.util.HashMap.put", or "method 140" when not listed
  bool is_class_object(uint32_t id) const;
  // The field of class_id at a JVMTI field index, or null when the listing does not have it.
  const FieldEntry *field_at(uint32_t class_id, uint32_t index) const;
  // The JVMTI index of the instance field name that declaring declares, in the objects of
  // class_id; -1 when class_id does not inherit it.
  int64_t field_index(uint32_t class_id, uint32_t declaring, const std::string &name) const;
  // ".name", "[index]", or the kind in angle brackets for references of other kinds.
  std::string edge_name(uint32_t referrer, uint32_t edge) const;
  // The same for a reference of a kind and index from an object of class holder (for a static
  // field: from the class object holder).
  std::string reference_name(uint32_t holder, uint32_t kind, uint32_t index) const;

 private:
  struct Layout {
    uint32_t interface_fields = 0;
    std::vector<uint32_t> chain;       // java.lang.Object first, the class itself last
    std::vector<uint32_t> interfaces;  // every superinterface, each once
  };
  const Layout &layout(uint32_t class_id) const;
  const ClassEntry *entry(uint32_t class_id) const;
  // The fields a class declares, as JVMTI counts them.
  const std::vector<FieldEntry> &fields_of(uint32_t class_id) const;

  const HeapGraph &graph_;
  const InfoFile &info_;
  std::vector<bool> listed_;  // per id up to the largest listed class: whether it is a listed class
  mutable std::unordered_map<uint32_t, Layout> layouts_;
  mutable std::unordered_map<uint32_t, std::vector<FieldEntry>> fields_;
};

}  // namespace snapshot_reader
