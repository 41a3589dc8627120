#include "field_names.h"

#include <functional>
#include <unordered_set>

namespace snapshot_reader {

std::string java_class_name(const std::string &signature) {
  size_t dims = 0;
  while (dims < signature.size() && signature[dims] == '[') ++dims;
  std::string base = signature.substr(dims);
  if (base.size() >= 2 && base.front() == 'L' && base.back() == ';') {
    base = base.substr(1, base.size() - 2);
    for (char &c : base) {
      if (c == '/') c = '.';
    }
  } else if (dims > 0 && base.size() == 1) {
    switch (base[0]) {
      case 'Z':
        base = "boolean";
        break;
      case 'B':
        base = "byte";
        break;
      case 'C':
        base = "char";
        break;
      case 'S':
        base = "short";
        break;
      case 'I':
        base = "int";
        break;
      case 'J':
        base = "long";
        break;
      case 'F':
        base = "float";
        break;
      case 'D':
        base = "double";
        break;
      default:
        break;
    }
  }
  for (size_t i = 0; i < dims; ++i) base += "[]";
  return base;
}

const ClassEntry *FieldNames::entry(uint32_t class_id) const {
  auto found = info_.classes.find(class_id);
  return found == info_.classes.end() ? nullptr : &found->second;
}

std::string FieldNames::class_signature(uint32_t class_id) const {
  if (class_id == 0) return "(no class)";
  const ClassEntry *found = entry(class_id);
  return found ? found->signature : "(unlisted class " + std::to_string(class_id) + ")";
}

bool FieldNames::is_class_object(uint32_t id) const { return id != 0 && entry(id) != nullptr; }

std::string FieldNames::describe_type(uint32_t id) const {
  if (id == 0) return "<roots>";
  if (is_class_object(id)) return "class " + java_class_name(class_signature(id));
  uint32_t class_id = id < graph_.node_count ? graph_.class_id[id] : 0;
  return java_class_name(class_signature(class_id));
}

const std::vector<FieldEntry> &FieldNames::fields_of(uint32_t class_id) const {
  auto cached = fields_.find(class_id);
  if (cached != fields_.end()) return cached->second;
  std::vector<FieldEntry> fields;
  if (const ClassEntry *found = entry(class_id)) {
    for (const FieldEntry &field : found->field_list) {
      if (field.name == "___internal") continue;  // fields the VM adds have no JVMTI index
      fields.push_back(field);
    }
    // The listing from VM structures leaves Throwable's second field out; keep the later indexes.
    auto type = info_.metadata.find("Class size type");
    if (type != info_.metadata.end() && type->second == "full" && found->signature == "Ljava/lang/Throwable;" &&
        !fields.empty()) {
      fields.insert(fields.begin() + 1, FieldEntry{0, "", "(hidden)"});
    }
  }
  return fields_.emplace(class_id, std::move(fields)).first->second;
}

const FieldNames::Layout &FieldNames::layout(uint32_t class_id) const {
  auto cached = layouts_.find(class_id);
  if (cached != layouts_.end()) return cached->second;
  Layout result;
  std::unordered_set<uint32_t> seen_classes, seen_interfaces;
  for (uint32_t k = class_id; k != 0 && seen_classes.insert(k).second;) {
    result.chain.insert(result.chain.begin(), k);
    auto links = graph_.class_links.find(k);
    k = links == graph_.class_links.end() ? 0 : links->second.superclass;
  }
  // Superinterfaces, each with its own superinterfaces first, from the top of the chain down.
  std::function<void(uint32_t)> add = [&](uint32_t interface) {
    if (!seen_interfaces.insert(interface).second) return;
    auto links = graph_.class_links.find(interface);
    if (links != graph_.class_links.end()) {
      for (uint32_t super : links->second.interfaces) add(super);
    }
    result.interfaces.push_back(interface);
  };
  for (uint32_t k : result.chain) {
    auto links = graph_.class_links.find(k);
    if (links == graph_.class_links.end()) continue;
    for (uint32_t interface : links->second.interfaces) add(interface);
  }
  for (uint32_t interface : result.interfaces) result.interface_fields += (uint32_t)fields_of(interface).size();
  return layouts_.emplace(class_id, std::move(result)).first->second;
}

const FieldEntry *FieldNames::field_at(uint32_t class_id, uint32_t index) const {
  const Layout &l = layout(class_id);
  const std::vector<uint32_t> &order = index < l.interface_fields ? l.interfaces : l.chain;
  uint32_t rest = index < l.interface_fields ? index : index - l.interface_fields;
  for (uint32_t k : order) {
    const std::vector<FieldEntry> &fields = fields_of(k);
    if (rest < fields.size()) return &fields[rest];
    rest -= (uint32_t)fields.size();
  }
  return nullptr;
}

std::string FieldNames::edge_name(uint32_t referrer, uint32_t edge) const {
  uint32_t kind = edge_kind(graph_.label[edge]);
  uint32_t index = graph_.edge_index(edge);
  if (kind == 3) return "[" + std::to_string(index) + "]";
  if (kind == 2 || kind == 8) {
    // A static field belongs to the class object that refers through it.
    uint32_t class_id = kind == 8 ? referrer : (referrer < graph_.node_count ? graph_.class_id[referrer] : 0);
    const FieldEntry *field = field_at(class_id, index);
    if (field && !field->name.empty()) return "." + field->name;
    return std::string(kind == 8 ? ".<static field " : ".<field ") + std::to_string(index) + ">";
  }
  return std::string("<") + reference_kind_name(kind) + ">";
}

}  // namespace snapshot_reader
