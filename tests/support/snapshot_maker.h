// Hand-made snapshots for the analyser's tests: the graph written with the agent's own record
// encoders, the info file with the sections the analyser reads.
//
//   vt::SnapshotMaker m;
//   uint32_t shop = m.add_class("LShop;", {"static CACHE"});   // classes first: ids 1, 2, ...
//   uint32_t map = m.add_object(m.add_class("LMap;"), 48);     // then objects
//   m.root(shop, 22);                                          // a system class root
//   m.ref(shop, map, 8, 0);                                    // Shop.CACHE (static field 0)
//   m.write(dir);                                              // oom_info.txt and oom_graph.bin
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "snapshot/oom_writer.h"
#include "test_util.h"

namespace vt {

class SnapshotMaker {
 public:
  // A listed class with its fields in listed order ("static NAME" for static ones); ids 1, 2, ...
  // The class objects' own class is java.lang.Class when that is listed.
  uint32_t add_class(const std::string &signature, const std::vector<std::string> &fields = {}) {
    if (signature == "Ljava/lang/Class;") class_class_ = next_id_;
    classes_.push_back({next_id_, signature, fields});
    sizes_[next_id_] = 0;
    return next_id_++;
  }
  // An object of a class with its shallow size and the low word of its previous tag.
  uint32_t add_object(uint32_t class_id, uint32_t size, uint32_t previous_tag = 0) {
    class_of_[next_id_] = class_id;
    sizes_[next_id_] = size;
    tags_[next_id_] = previous_tag;
    return next_id_++;
  }
  // References in the order of the calls; an object's record follows its first reference.
  void ref(uint32_t from, uint32_t to, unsigned kind = 2, uint32_t index = 0) {
    uint8_t out[GRAPH_REFERENCE_MAX];
    bool first = described_.insert(to).second;
    append(out, oom_graph_encode_reference(out, kind, index, from, to, first));
    if (first) describe(to);
  }
  void root(uint32_t to, unsigned kind = 21) { ref(0, to, kind); }
  void stack_local(uint32_t to, uint64_t thread_id, uint64_t method, int32_t depth, int32_t slot) {
    uint8_t out[GRAPH_STACK_LOCAL_MAX];
    bool first = described_.insert(to).second;
    append(out, oom_graph_encode_stack_local(out, method, slot, depth, thread_id, 0, to, first));
    ++locals_;
    if (first) describe(to);
  }
  // A thread with its stack lines, the top frame first, as the agent writes them.
  void add_thread(int64_t java_id, uint32_t object_id, const std::string &name,
                  const std::vector<std::string> &frames = {"LFrames;.method:1(0)"}) {
    char line[256];
    snprintf(line, sizeof line, "%16lld %10lld %8d %s\n", (long long)java_id, (long long)object_id, 5, name.c_str());
    threads_ += line;
    for (const std::string &frame : frames) threads_ += frame + "\n";
  }
  // The thread the Metadata names as the one that took the snapshot.
  void set_current_thread(int64_t java_id) { current_thread_ = java_id; }
  // A method listed under its class.
  void add_method(uint32_t class_id, uint64_t method_id, const std::string &name) {
    methods_[class_id].push_back({method_id, name});
  }
  void add_allocation_point(uint32_t id, const std::string &class_name, const std::string &birthplace) {
    char line[512];
    snprintf(line, sizeof line, "%13lld %30s @ %40s\n", (long long)id, class_name.c_str(), birthplace.c_str());
    allocation_points_ += line;
  }

  const std::string &graph() const { return graph_; }
  // Where each record starts in graph(), reference and object records alike, in order.
  const std::vector<size_t> &record_starts() const { return record_starts_; }
  std::string info() const {
    std::string text = header("Metadata") +
                       "Dump version: 5\nBuild number: 2106\nCurrent thread: " + std::to_string(current_thread_) +
                       "\nVM name: Test VM\nVM version: 1\nClass size type: partial\n";
    text += header("Allocation Points") + allocation_points_;
    text += header("Classes");
    size_t fields = 0;
    for (const ClassLine &c : classes_) {
      text += number(c.id) + " " + c.signature + "\n";
      for (const std::string &field : c.fields) {
        bool is_static = field.rfind("static ", 0) == 0;
        text += std::string(13, ' ') + "  . " + (is_static ? "8" : "2") + " Ljava/lang/Object; " +
                (is_static ? field.substr(7) : field) + "\n";
        ++fields;
      }
      auto methods = methods_.find(c.id);
      if (methods == methods_.end()) continue;
      for (const auto &[method_id, name] : methods->second) {
        text += std::string(13, ' ') + "  #" + std::to_string(method_id) + " 1 ()V " + name + "\n";
      }
    }
    text += header("Class Sizes");
    for (const ClassLine &c : classes_) text += number(c.id) + " 0\n";
    text += header("Threads") + threads_ + header("Classloaders") + header("Summary");
    text += "Object count: " + std::to_string(next_id_) + "\nReference count: " + std::to_string(references_) +
            "\nLocal reference count: " + std::to_string(locals_) +
            "\nClass reference count: 0\nClass count: " + std::to_string(classes_.size()) +
            "\nClass max ID: " + std::to_string(classes_.size()) + "\nField count: " + std::to_string(fields) + "\n";
    return text + header("End");
  }
  bool write(const std::string &directory) const {
    return write_file(directory + "/oom_info.txt", info()) && write_file(directory + "/oom_graph.bin", graph_);
  }

 private:
  struct ClassLine {
    uint32_t id;
    std::string signature;
    std::vector<std::string> fields;
  };
  static std::string header(const std::string &name) {
    char line[128];
    snprintf(line, sizeof line, "--- %-15s ---------------------------------\n", name.c_str());
    return line;
  }
  static std::string number(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "%13llu", (unsigned long long)value);
    return text;
  }
  void append(const uint8_t *bytes, size_t length) {
    record_starts_.push_back(graph_.size());
    graph_.append(reinterpret_cast<const char *>(bytes), length);
    ++references_;
  }
  void describe(uint32_t id) {
    uint8_t out[GRAPH_OBJECT_MAX];
    record_starts_.push_back(graph_.size());
    auto klass = class_of_.find(id);
    graph_.append(
        reinterpret_cast<const char *>(out),
        oom_graph_encode_object(out, tags_[id], klass == class_of_.end() ? class_class_ : klass->second, sizes_[id]));
  }

  uint32_t next_id_ = 1, class_class_ = 0;
  std::vector<ClassLine> classes_;
  std::map<uint32_t, uint32_t> class_of_, sizes_, tags_;
  std::map<uint32_t, std::vector<std::pair<uint64_t, std::string>>> methods_;
  std::set<uint32_t> described_;
  std::string graph_, threads_, allocation_points_;
  std::vector<size_t> record_starts_;
  uint64_t references_ = 0, locals_ = 0;
  int64_t current_thread_ = 0;
};

// A shop whose static map holds orders (four, or as many as asked for: the same program later),
// sessions held through a registry's static fields, and a large array only a thread's frame holds.
// Objects are made in the order the walk meets them, so the snapshot is consistent.
struct ShopSnapshot {
  SnapshotMaker m;
  uint32_t shop, map_class, entry_class, order_class, session_class, registry, map, table, bytes_on_stack;
  std::vector<uint32_t> entries, orders, sessions;
  static constexpr uint32_t kOrderPoint = (32u << 19) | 5;  // a statistics tag's low word

  explicit ShopSnapshot(uint32_t order_count = 4) {
    shop = m.add_class("LShop;", {"static CACHE"});
    map_class = m.add_class("LMap;", {"size", "table"});
    uint32_t table_class = m.add_class("[LEntry;");
    entry_class = m.add_class("LEntry;", {"hash", "key", "value"});
    order_class = m.add_class("LOrder;", {"id", "receipt"});
    uint32_t bytes = m.add_class("[B");
    session_class = m.add_class("LSession;", {"next"});
    registry = m.add_class("LRegistry;", {"static s0", "static s1", "static s2", "static s3"});
    uint32_t thread_class = m.add_class("Ljava/lang/Thread;");
    m.add_class("Ljava/lang/Class;");
    m.add_method(shop, 77, "main");
    m.add_allocation_point(kOrderPoint, "Order", "Shop.main(Shop.java:10)");
    m.root(shop, 22), m.root(registry, 22);
    uint32_t thread = m.add_object(thread_class, 100);
    m.add_thread(1, thread, "main");
    m.root(thread, 26);
    map = m.add_object(map_class, 48);
    m.ref(shop, map, 8, 0);
    table = m.add_object(table_class, 1000);
    m.ref(map, table, 2, 1);
    for (uint32_t n = 0; n < order_count; ++n) {
      entries.push_back(m.add_object(entry_class, 32));
      m.ref(table, entries[n], 3, n);
      m.ref(entries[n], m.add_object(bytes, 16), 2, 1);
      orders.push_back(m.add_object(order_class, 24, kOrderPoint));
      m.ref(entries[n], orders[n], 2, 2);
      m.ref(orders[n], m.add_object(bytes, 10000), 2, 1);
    }
    for (uint32_t n = 0; n < 4; ++n) {
      sessions.push_back(m.add_object(session_class, 2000));
      m.ref(registry, sessions[n], 8, n);
    }
    sessions.push_back(m.add_object(session_class, 2000));
    m.ref(sessions[3], sessions[4], 2, 0);  // the fifth session only through the fourth
    bytes_on_stack = m.add_object(bytes, 30000);
    m.stack_local(bytes_on_stack, 1, 77, 2, 3);
  }
};

}  // namespace vt
