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
  FieldNames(const HeapGraph &graph, const InfoFile &info) : graph_(graph), info_(info) {}

  // The signature of a class id, or a placeholder for an unknown one.
  std::string class_signature(uint32_t class_id) const;
  // What an object is: "java.util.HashMap" for an instance, "class java.util.HashMap" for a class object.
  std::string describe_type(uint32_t id) const;
  bool is_class_object(uint32_t id) const;
  // The field of class_id at a JVMTI field index, or null when the listing does not have it.
  const FieldEntry *field_at(uint32_t class_id, uint32_t index) const;
  // ".name", "[index]", or the kind in angle brackets for references of other kinds.
  std::string edge_name(uint32_t referrer, uint32_t edge) const;

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
  mutable std::unordered_map<uint32_t, Layout> layouts_;
  mutable std::unordered_map<uint32_t, std::vector<FieldEntry>> fields_;
};

}  // namespace snapshot_reader
