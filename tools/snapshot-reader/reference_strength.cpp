#include "reference_strength.h"

#include <algorithm>
#include <string>
#include <vector>

namespace snapshot_reader {

namespace {

struct ReferenceClass {
  const char *signature;
  uint32_t kind;
};
constexpr ReferenceClass kReferenceClasses[] = {{"Ljava/lang/ref/SoftReference;", kSoftReferent},
                                                {"Ljava/lang/ref/WeakReference;", kWeakReferent},
                                                {"Ljava/lang/ref/FinalReference;", kFinalReferent},
                                                {"Ljava/lang/ref/PhantomReference;", kPhantomReferent}};

}  // namespace

const char *referent_kind_name(uint32_t kind) {
  switch (kind) {
    case kSoftReferent:
      return "soft";
    case kWeakReferent:
      return "weak";
    case kFinalReferent:
      return "final";
    case kPhantomReferent:
      return "phantom";
    default:
      return "strong";
  }
}

uint64_t mark_referents(HeapGraph *graph, const InfoFile &info, const FieldNames &names) {
  uint32_t reference = 0, max_class = 0;
  uint32_t kind_of_class[4] = {0, 0, 0, 0};  // the class ids of the four kinds of reference
  for (const auto &[id, entry] : info.classes) {
    max_class = std::max(max_class, (uint32_t)id);
    if (entry.signature == "Ljava/lang/ref/Reference;") reference = (uint32_t)id;
    for (int k = 0; k < 4; ++k) {
      if (entry.signature == kReferenceClasses[k].signature) kind_of_class[k] = (uint32_t)id;
    }
  }
  if (reference == 0) return 0;
  // Per listed class: the kind of its referent and the field's index, from its superclasses.
  struct Referent {
    uint32_t kind = 0;
    uint32_t index = 0;
  };
  std::vector<Referent> referents(max_class + 1);
  bool any = false;
  for (const auto &[id, entry] : info.classes) {
    uint32_t kind = 0;
    for (uint32_t k = (uint32_t)id, steps = 0; k != 0 && kind == 0 && steps < 64; ++steps) {
      for (int r = 0; r < 4; ++r) {
        if (k == kind_of_class[r]) kind = kReferenceClasses[r].kind;
      }
      auto links = graph->class_links.find(k);
      k = links == graph->class_links.end() ? 0 : links->second.superclass;
    }
    if (kind == 0) continue;
    int64_t index = names.field_index((uint32_t)id, reference, "referent");
    if (index < 0) continue;
    referents[id] = {kind, (uint32_t)index};
    any = true;
  }
  if (!any) return 0;
  uint64_t marked = 0;
  for (uint32_t id = 1; id < graph->object_ids(); ++id) {
    uint32_t klass = graph->class_id[id];
    if (klass > max_class || referents[klass].kind == 0) continue;
    const Referent &referent = referents[klass];
    for (uint32_t e = graph->first[id], end = e + graph->degree[id]; e < end; ++e) {
      if (edge_kind(graph->label[e]) != 2 || graph->edge_index(e) != referent.index) continue;
      graph->label[e] = (graph->label[e] & ~0x1Fu) | referent.kind;
      ++marked;
    }
  }
  return marked;
}

WeakReach weak_reach(const HeapGraph &graph, const Dominators &dominators) {
  WeakReach reach;
  std::vector<bool> seen;
  std::vector<uint32_t> queue;
  auto strongly_reached = [&](uint32_t id) { return dominators.idom[id] != Dominators::kUnreached; };
  for (int k = 0; k < 4; ++k) {
    uint32_t kind = kReferenceClasses[k].kind;
    if (kind == kSoftReferent && dominators.soft_is_strong) continue;
    // Breadth first from the referents of this kind, over what nothing stronger reached.
    queue.clear();
    for (uint32_t e = 0; e < graph.target.size(); ++e) {
      if (edge_kind(graph.label[e]) != kind) continue;
      uint32_t to = graph.target[e];
      if (strongly_reached(to)) continue;
      if (seen.empty()) seen.assign(graph.node_count, false);
      if (seen[to]) continue;
      seen[to] = true;
      queue.push_back(to);
    }
    for (size_t head = 0; head < queue.size(); ++head) {
      uint32_t v = queue[head];
      ++reach.objects[k];
      reach.bytes[k] += graph.shallow[v];
      for (uint32_t e = graph.first[v], end = e + graph.degree[v]; e < end; ++e) {
        uint32_t w = graph.target[e];
        if (strongly_reached(w) || seen[w]) continue;
        seen[w] = true;
        queue.push_back(w);
      }
    }
  }
  return reach;
}

}  // namespace snapshot_reader
