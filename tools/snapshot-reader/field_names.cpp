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

FieldNames::FieldNames(const HeapGraph &graph, const InfoFile &info) : graph_(graph), info_(info) {
  uint64_t largest = info.classes.empty() ? 0 : info.classes.rbegin()->first;
  if (largest >= 0xFFFFFFFFull) largest = 0;  // ids are 32-bit here; such a class names no object
  listed_.assign(largest + 1, false);
  for (const auto &[id, entry] : info.classes) {
    if (id <= largest) listed_[id] = true;
  }
}

bool FieldNames::is_class_object(uint32_t id) const { return id != 0 && id < listed_.size() && listed_[id]; }

std::string FieldNames::thread_name(uint64_t java_id) const {
  for (const ThreadEntry &thread : info_.thread_list) {
    if ((uint64_t)thread.java_id == java_id) return "\"" + thread.name + "\" (id " + std::to_string(java_id) + ")";
  }
  return "thread id " + std::to_string(java_id);
}

std::string FieldNames::method_name(uint64_t method) const {
  auto found = info_.methods.find(method);
  if (found == info_.methods.end()) return "method " + std::to_string(method);
  return java_class_name(class_signature((uint32_t)found->second.class_id)) + "." + found->second.name;
}

std::string FieldNames::describe_type(uint32_t id) const {
  if (id == 0) return "<roots>";
  if (graph_.is_stack_node(id)) {
    const StackNode &node = graph_.stack_node(id);
    if (node.depth < 0) return "the stack of " + thread_name(node.thread_id);
    return "frame " + std::to_string(node.depth) + " (" + method_name(node.method) + ") of " +
           thread_name(node.thread_id);
  }
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

int64_t FieldNames::field_index(uint32_t class_id, uint32_t declaring, const std::string &name) const {
  const Layout &l = layout(class_id);
  int64_t offset = l.interface_fields;
  for (uint32_t k : l.chain) {
    const std::vector<FieldEntry> &fields = fields_of(k);
    if (k == declaring) {
      for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name == name) return offset + (int64_t)i;
      }
      return -1;
    }
    offset += (int64_t)fields.size();
  }
  return -1;
}

std::string FieldNames::edge_name(uint32_t referrer, uint32_t edge) const {
  uint32_t kind = edge_kind(graph_.label[edge]);
  uint32_t index = graph_.edge_index(edge);
  if (is_referent_kind(kind)) kind = 2;  // a Reference's referent field
  // A static field belongs to the class object that refers through it.
  uint32_t holder = kind == 8 ? referrer : (referrer < graph_.node_count ? graph_.class_id[referrer] : 0);
  return reference_name(holder, kind, index);
}

std::string FieldNames::reference_name(uint32_t holder, uint32_t kind, uint32_t index) const {
  if (kind == 3) return "[" + std::to_string(index) + "]";
  if (kind == 2 || kind == 8) {
    const FieldEntry *field = field_at(holder, index);
    if (field && !field->name.empty()) return "." + field->name;
    return std::string(kind == 8 ? ".<static field " : ".<field ") + std::to_string(index) + ">";
  }
  return std::string("<") + reference_kind_name(kind) + ">";
}

}  // namespace snapshot_reader
