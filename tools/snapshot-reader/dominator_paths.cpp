#include "dominator_paths.h"

#include <algorithm>
#include <unordered_map>

#include "dominator_walk.h"
#include "field_names.h"

namespace snapshot_reader {

namespace {

constexpr uint32_t kNone = Dominators::kUnreached;

// What a path step leads to: an instance's class, a class object, or a thread's stack or frame.
enum : uint64_t { kInstance = 0, kClassObject = 1ull << 32, kStack = 2ull << 32 };
// How a step is taken: an edge label (its kind and field index; elements without their index), a
// root reference of some kind, or the dominator through other objects.
constexpr uint64_t kRootStep = 1ull << 40, kDominatedStep = 2ull << 40;

struct Key {
  uint32_t parent;
  uint64_t step, type;
  bool operator==(const Key &other) const { return parent == other.parent && step == other.step && type == other.type; }
};
struct KeyHash {
  size_t operator()(const Key &k) const {
    uint64_t h = k.parent * 0x9E3779B97F4A7C15ull ^ (k.step + 0x632BE59BD9B4E019ull) * 0xBF58476D1CE4E5B9ull;
    return (size_t)(h ^ (k.type * 0x94D049BB133111EBull) ^ (h >> 29));
  }
};

uint64_t hash_text(uint64_t seed, const std::string &text) {
  uint64_t h = seed ^ 0xCBF29CE484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

class PathCensus {
 public:
  PathCensus(const Analysis &a, size_t max_entries) : a_(a), max_entries_(max_entries) {
    // An object the super-root dominates is named by the root that refers to it straight, or by
    // several. Stack locals are left out: what only they hold is under its frame.
    for (const RootReference &root : a.graph.roots) {
      if (root.kind == 24) continue;
      auto [at, added] = root_kind_.emplace(root.object, root.kind);
      bool permanent = root.kind != 25 && root.kind != 26;
      if (!added && permanent) at->second = root.kind;
    }
    // Or by a static field among others: a class's field names it best (the first by class and
    // field name, when several classes hold it).
    std::unordered_map<uint32_t, std::string> best;
    for (const auto &[class_id, entry] : a.info.classes) {
      uint32_t c = (uint32_t)class_id;
      if (c >= a.graph.object_ids() || a.dominators.idom[c] == kNone) continue;
      for (uint32_t e = a.graph.first[c], end = e + a.graph.degree[c]; e < end; ++e) {
        uint32_t t = a.graph.target[e];
        if (edge_kind(a.graph.label[e]) != 8 || a.dominators.idom[t] != 0) continue;
        std::string name = entry.signature + a.names.edge_name(c, e);
        auto [at, added] = best.emplace(t, name);
        if (!added && name >= at->second) continue;
        at->second = name;
        static_holder_[t] = {c, e};
      }
    }
  }

  std::vector<PathEntry> run(std::vector<uint64_t> *class_retained) {
    const Dominators &d = a_.dominators;
    const HeapGraph &graph = a_.graph;
    path_.assign(graph.node_count, kNone);
    std::vector<uint32_t> open, class_open;
    if (class_retained) {
      uint32_t max_class = 0;
      for (uint32_t id = 1; id < graph.object_ids(); ++id) max_class = std::max(max_class, graph.class_id[id]);
      class_retained->assign(max_class + 1, 0);
      class_open.assign(max_class + 1, 0);
    }
    auto path_of = [&](uint32_t id) {
      if (path_[id] == kNone) {
        uint32_t idom = d.idom[id];
        path_[id] = idom == 0 ? root_entry(id) : entry(path_[idom], kDominatedStep, type_of(id));
      }
      return path_[id];
    };
    walk_dominator_tree(
        d, 0,
        [&](uint32_t id) {
          if (id == 0) return true;
          uint32_t p = path_of(id);
          if (open.size() < entries_.size()) open.resize(entries_.size(), 0);
          PathEntry &e = entries_[p];
          if (!graph.is_stack_node(id)) {
            ++e.objects;
            e.shallow += graph.shallow[id];
            if (class_retained && class_open[graph.class_id[id]]++ == 0) {
              (*class_retained)[graph.class_id[id]] += d.retained[id];
            }
          }
          if (open[p]++ == 0) e.retained += d.retained[id];
          name_children(id, p);
          return true;
        },
        [&](uint32_t id) {
          if (id == 0) return;
          --open[path_[id]];
          if (class_retained && !graph.is_stack_node(id)) --class_open[graph.class_id[id]];
        });
    std::vector<uint32_t>().swap(path_);
    for (PathEntry &e : entries_) {
      e.hash = hash_text(e.parent == PathEntry::kNoParent ? 0 : entries_[e.parent].hash, e.part);
    }
    return std::move(entries_);
  }

 private:
  uint64_t type_of(uint32_t id) const {
    if (a_.graph.is_stack_node(id)) return kStack | intern(stack_label(id));
    if (a_.names.is_class_object(id)) return kClassObject | id;
    return kInstance | a_.graph.class_id[id];
  }

  std::string stack_label(uint32_t id) const {
    const StackNode &node = a_.graph.stack_node(id);
    if (node.depth >= 0) return "frame " + a_.names.method_name(node.method);
    for (const ThreadEntry &thread : a_.info.thread_list) {
      if ((uint64_t)thread.java_id == node.thread_id) return "the stack of \"" + thread.name + "\"";
    }
    return "the stack of an unlisted thread";
  }

  uint32_t intern(const std::string &text) const {
    auto [at, added] = strings_.emplace(text, (uint32_t)labels_.size());
    if (added) labels_.push_back(text);
    return at->second;
  }

  std::string type_name(uint64_t type) const {
    uint32_t low = (uint32_t)type;
    if ((type & ~0xFFFFFFFFull) == kStack) return labels_[low];
    if ((type & ~0xFFFFFFFFull) == kClassObject) return "class " + java_class_name(a_.names.class_signature(low));
    return java_class_name(a_.names.class_signature(low));
  }

  // The class whose fields an edge of a path entry's objects indexes.
  uint32_t holder_of(uint64_t type) const { return (uint32_t)type; }

  // depth: static holders followed so far (class objects can hold each other round in a circle).
  uint32_t root_entry(uint32_t id, int depth = 0) {
    auto holder = static_holder_.find(id);
    if (holder != static_holder_.end() && depth < 8) {
      auto [c, e] = holder->second;
      return entry(root_entry(c, depth + 1), (uint64_t)(8 | (a_.graph.edge_index(e) << 5)), type_of(id));
    }
    auto root = root_kind_.find(id);
    uint64_t step = kRootStep | (root == root_kind_.end() ? 0 : root->second);
    return entry(PathEntry::kNoParent, step, type_of(id));
  }

  // The entry of a step from a parent entry, folded back to an ancestor of the same type.
  uint32_t entry(uint32_t parent, uint64_t step, uint64_t type) {
    Key key{parent, step, type};
    // A small cache in front of the index: the objects of a path take few steps, over and over.
    Cached &cached = cache_[KeyHash()(key) % kCacheSize];
    if (cached.valid && cached.key == key) return cached.entry;
    auto found = index_.find(key);
    uint32_t result;
    if (found != index_.end()) {
      result = found->second;
    } else {
      result = kNone;
      if ((type & ~0xFFFFFFFFull) != kStack) {
        for (uint32_t k = parent; k != PathEntry::kNoParent; k = entries_[k].parent) {
          if (types_[k] == type) {
            result = k;
            break;
          }
        }
      }
      if (result == kNone && entries_.size() >= max_entries_ && parent != PathEntry::kNoParent) result = parent;
      if (result == kNone) result = add(parent, step, type);
      index_.emplace(key, result);
    }
    cached = {key, result, true};
    return result;
  }

  uint32_t add(uint32_t parent, uint64_t step, uint64_t type) {
    PathEntry e;
    e.parent = parent;
    e.depth = parent == PathEntry::kNoParent ? 0 : entries_[parent].depth + 1;
    std::string name = type_name(type);
    if (parent == PathEntry::kNoParent) {
      uint32_t kind = (uint32_t)(step & 0xFF);
      bool plain = (type & ~0xFFFFFFFFull) != kInstance;  // class objects and stacks say what holds them
      e.part = plain ? name : std::string("<") + (kind == 0 ? "roots" : reference_kind_name(kind)) + "> " + name;
    } else if (step == kDominatedStep) {
      e.part = " ... -> " + name;
    } else if (edge_kind((uint32_t)step) == 24) {
      e.part = " -> " + name;
    } else {
      uint32_t label = (uint32_t)step;
      uint32_t kind = edge_kind(label);
      std::string via = kind == 3 ? "[*]" : a_.names.reference_name(holder_of(types_[parent]), kind, label >> 5);
      e.part = " " + via + " -> " + name;
    }
    entries_.push_back(std::move(e));
    types_.push_back(type);
    return (uint32_t)entries_.size() - 1;
  }

  // Gives the objects an object dominates and refers to directly the step of its first strong
  // reference to them.
  void name_children(uint32_t id, uint32_t p) {
    const HeapGraph &graph = a_.graph;
    const Dominators &d = a_.dominators;
    for (uint32_t e = graph.first[id], end = e + graph.degree[id]; e < end; ++e) {
      uint32_t t = graph.target[e];
      if (d.idom[t] != id || path_[t] != kNone || !is_strong(graph.label[e], d.soft_is_strong)) continue;
      uint32_t label = graph.label[e];
      uint32_t kind = edge_kind(label);
      if (is_referent_kind(kind)) kind = 2;
      uint64_t step = kind == 3 ? 3 : kind == 2 || kind == 8 ? (uint64_t)(kind | (graph.edge_index(e) << 5)) : kind;
      path_[t] = entry(p, step, type_of(t));
    }
  }

  const Analysis &a_;
  size_t max_entries_;
  std::vector<PathEntry> entries_;
  std::vector<uint64_t> types_;  // per entry
  std::unordered_map<Key, uint32_t, KeyHash> index_;
  std::unordered_map<uint32_t, uint32_t> root_kind_;  // root object -> the kind of its root (permanent first)
  std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> static_holder_;  // -> (class object, edge)
  std::vector<uint32_t> path_;                                                 // per id: its entry
  mutable std::unordered_map<std::string, uint32_t> strings_;
  mutable std::vector<std::string> labels_;
  struct Cached {
    Key key;
    uint32_t entry;
    bool valid;
  };
  static constexpr size_t kCacheSize = 1021;
  std::vector<Cached> cache_ = std::vector<Cached>(kCacheSize, Cached{{}, 0, false});
};

}  // namespace

std::vector<PathEntry> dominator_paths(const Analysis &analysis, size_t max_entries,
                                       std::vector<uint64_t> *class_retained) {
  return PathCensus(analysis, max_entries).run(class_retained);
}

std::string path_text(const std::vector<PathEntry> &entries, uint32_t entry) {
  std::vector<uint32_t> chain;
  for (uint32_t k = entry; k != PathEntry::kNoParent && chain.size() < entries.size(); k = entries[k].parent) {
    chain.push_back(k);
  }
  std::string text;
  for (auto k = chain.rbegin(); k != chain.rend(); ++k) text += entries[*k].part;
  return text;
}

}  // namespace snapshot_reader
