#include "analysis.h"

#include <algorithm>
#include <unordered_map>

#include "dominator_walk.h"

namespace snapshot_reader {

namespace {

constexpr uint32_t kNone = Dominators::kUnreached;

bool reached(const Analysis &a, uint32_t id) { return a.dominators.idom[id] != kNone; }

// Class objects are listed classes; their record's class is java.lang.Class.
uint32_t class_of(const Analysis &a, uint32_t id) { return a.graph.class_id[id]; }

constexpr size_t kMaxSuspects = 1000;

bool permanent_root(unsigned kind) { return kind != 24 && kind != 25 && kind != 26; }

// The first strong edge from one object to another, or kNone.
uint32_t strong_edge_between(const Analysis &a, uint32_t from, uint32_t to) {
  const HeapGraph &graph = a.graph;
  if (from >= graph.node_count) return kNone;
  for (uint32_t e = graph.first[from], end = e + graph.degree[from]; e < end; ++e) {
    if (graph.target[e] == to && is_strong(graph.label[e], a.dominators.soft_is_strong)) return e;
  }
  return kNone;
}

// How the dominator refers to an object it dominates: the field or element when it refers to it
// directly, else "<dominated>" (the object is reached through others that it also dominates).
std::string step_name(const Analysis &a, uint32_t from, uint32_t to) {
  uint32_t e = strong_edge_between(a, from, to);
  return e == kNone ? "<dominated>" : a.names.edge_name(from, e);
}

}  // namespace

std::string root_kind_name(unsigned kind) { return reference_kind_name(kind); }

std::string object_label(const Analysis &analysis, uint32_t id) {
  if (analysis.graph.is_stack_node(id)) return analysis.names.describe_type(id);
  return analysis.names.describe_type(id) + " #" + std::to_string(id);
}

uint64_t Analysis::reachable_objects() const {
  uint64_t stack_nodes = graph.stack_nodes.size();
  return dominators.reached > stack_nodes ? dominators.reached - 1 - stack_nodes : 0;
}

std::vector<ClassRow> class_histogram(const Analysis &a, const std::vector<uint64_t> *retained) {
  const HeapGraph &graph = a.graph;
  uint32_t max_class = 0;
  for (uint32_t id = 1; id < graph.object_ids(); ++id) max_class = std::max(max_class, graph.class_id[id]);
  std::vector<ClassRow> rows(max_class + 1);
  for (uint32_t id = 1; id < graph.object_ids(); ++id) {
    if (!reached(a, id)) continue;
    ClassRow &row = rows[class_of(a, id)];
    ++row.instances;
    row.shallow += graph.shallow[id];
  }
  // Retained per class: an instance counts with its subtree unless an instance of its class dominates it.
  if (retained) {
    for (uint32_t klass = 0; klass <= max_class && klass < retained->size(); ++klass) {
      rows[klass].retained = (*retained)[klass];
    }
  } else {
    count_sets_once(
        a.dominators, 0, max_class + 1,
        [&](uint32_t id) { return id == 0 || graph.is_stack_node(id) ? kNoKey : class_of(a, id); },
        [&](uint32_t klass, uint32_t id) { rows[klass].retained += a.dominators.retained[id]; });
  }
  std::vector<ClassRow> result;
  for (uint32_t klass = 0; klass <= max_class; ++klass) {
    if (rows[klass].instances == 0) continue;
    rows[klass].class_id = klass;
    result.push_back(rows[klass]);
  }
  std::sort(result.begin(), result.end(), [](const ClassRow &x, const ClassRow &y) {
    return x.retained != y.retained ? x.retained > y.retained : x.class_id < y.class_id;
  });
  return result;
}

std::vector<uint32_t> top_dominators(const Analysis &a, size_t top) {
  std::vector<uint32_t> ids;
  for (uint32_t id = 1; id < a.graph.object_ids(); ++id) {
    if (reached(a, id)) ids.push_back(id);
  }
  auto larger = [&](uint32_t x, uint32_t y) {
    const auto &r = a.dominators.retained;
    return r[x] != r[y] ? r[x] > r[y] : x < y;
  };
  top = std::min(top, ids.size());
  std::partial_sort(ids.begin(), ids.begin() + top, ids.end(), larger);
  ids.resize(top);
  return ids;
}

namespace {

// The root reference of an object the roots hold: a permanent one when there is one.
const RootReference *root_of(const HeapGraph &graph, uint32_t object) {
  const RootReference *root = nullptr;
  for (const RootReference &candidate : graph.roots) {
    if (candidate.object != object) continue;
    if (!root || (permanent_root(candidate.kind) && !permanent_root(root->kind))) root = &candidate;
  }
  return root;
}

// A path along a chain of ids from a root object, the last step through the given edge (kNone:
// the first strong edge between the two).
RootPath make_path(const Analysis &a, const std::vector<uint32_t> &chain, uint32_t last_edge) {
  RootPath path;
  path.found = true;
  for (size_t k = 0; k < chain.size(); ++k) {
    PathStep step;
    step.id = chain[k];
    if (k > 0) {
      uint32_t e =
          k + 1 == chain.size() && last_edge != kNone ? last_edge : strong_edge_between(a, chain[k - 1], chain[k]);
      step.via = e == kNone ? "" : a.names.edge_name(chain[k - 1], e);
    }
    path.steps.push_back(step);
  }
  const RootReference *root = root_of(a.graph, chain[0]);
  if (!root) return path;
  path.root_kind = root->kind;
  if (root->kind == 24) path.thread = a.names.thread_name(root->thread_id);
  if (root->kind == 26) {
    for (const ThreadEntry &thread : a.info.thread_list) {
      if (thread.object_id == root->object) path.thread = a.names.thread_name((uint64_t)thread.java_id);
    }
  }
  if (root->kind == 24) {
    path.frame = method_name(a, root->method) + " (frame " + std::to_string(root->depth) + ", slot " +
                 std::to_string(root->slot) + ")";
  }
  return path;
}

}  // namespace

std::string method_name(const Analysis &a, uint64_t method) { return a.names.method_name(method); }

std::vector<std::vector<RootPath>> distinct_paths_from_roots(const Analysis &a, const std::vector<uint32_t> &targets,
                                                             size_t count) {
  const HeapGraph &graph = a.graph;
  const bool soft = a.dominators.soft_is_strong;
  std::vector<std::vector<RootPath>> paths(targets.size());
  if (targets.empty() || count == 0) return paths;
  // Wanted by the search: the targets and, for more than one path, their referrers.
  std::vector<uint8_t> wanted_mark(graph.node_count, 0);
  size_t wanted = 0;
  auto want = [&](uint32_t id) {
    if (id != 0 && id < graph.node_count && !wanted_mark[id]) wanted_mark[id] = 1, ++wanted;
  };
  for (uint32_t t : targets) want(t);
  struct Last {
    uint32_t target, referrer, edge;
  };
  std::vector<Last> lasts;  // strong references to a target, at most 4 * count per target
  if (count > 1) {
    std::unordered_map<uint32_t, size_t> per_target;
    for (uint32_t v = 1; v < graph.object_ids(); ++v) {
      if (!reached(a, v)) continue;
      for (uint32_t e = graph.first[v], end = e + graph.degree[v]; e < end; ++e) {
        uint32_t t = graph.target[e];
        if (wanted_mark[t] != 1 || t == v || !is_strong(graph.label[e], soft)) continue;
        if (per_target[t]++ < 4 * count) lasts.push_back({t, v, e});
      }
    }
    for (const Last &last : lasts) {
      if (!wanted_mark[last.referrer]) wanted_mark[last.referrer] = 2, ++wanted;
    }
  }
  std::vector<uint32_t> parent(graph.node_count, kNone);
  std::vector<uint32_t> queue;
  parent[0] = 0;
  // Breadth first from the permanent roots, then on from the stack and thread roots.
  for (int phase = 0; phase < 2 && wanted > 0; ++phase) {
    for (const RootReference &root : graph.roots) {
      if (permanent_root(root.kind) != (phase == 0) || parent[root.object] != kNone) continue;
      parent[root.object] = 0;
      queue.push_back(root.object);
      if (wanted_mark[root.object] && --wanted == 0) break;
    }
    for (size_t head = 0; head < queue.size() && wanted > 0; ++head) {
      uint32_t v = queue[head];
      for (uint32_t e = graph.first[v], end = e + graph.degree[v]; e < end; ++e) {
        uint32_t w = graph.target[e];
        if (parent[w] != kNone || !is_strong(graph.label[e], soft)) continue;
        parent[w] = v;
        queue.push_back(w);
        if (wanted_mark[w] && --wanted == 0) break;
      }
    }
  }
  std::vector<uint32_t>().swap(queue);
  auto chain_to = [&](uint32_t v) {
    std::vector<uint32_t> chain;
    for (; v != 0; v = parent[v]) chain.push_back(v);
    std::reverse(chain.begin(), chain.end());
    return chain;
  };
  std::stable_sort(lasts.begin(), lasts.end(), [](const Last &x, const Last &y) { return x.target < y.target; });
  for (size_t i = 0; i < targets.size(); ++i) {
    uint32_t t = targets[i];
    if (t == 0 || t >= graph.node_count || parent[t] == kNone) continue;
    // The search's own path first, then one through each other reference to the target: those
    // from permanent roots first, shorter ones first.
    std::vector<uint32_t> first = chain_to(t);
    paths[i].push_back(make_path(a, first, kNone));
    struct Candidate {
      bool permanent;
      std::vector<uint32_t> chain;
      uint32_t edge;
    };
    std::vector<Candidate> candidates;
    const RootReference *own_root = count > 1 && first.size() > 1 ? root_of(graph, t) : nullptr;
    if (own_root) candidates.push_back({permanent_root(own_root->kind), {t}, kNone});  // the target is a root
    auto from = std::lower_bound(lasts.begin(), lasts.end(), t, [](const Last &x, uint32_t v) { return x.target < v; });
    for (auto last = from; last != lasts.end() && last->target == t; ++last) {
      if (parent[last->referrer] == kNone) continue;
      std::vector<uint32_t> chain = chain_to(last->referrer);
      if (std::find(chain.begin(), chain.end(), t) != chain.end()) continue;  // through the target itself
      chain.push_back(t);
      if (chain == first && last->edge == strong_edge_between(a, last->referrer, t)) continue;  // the search's own
      const RootReference *root = root_of(graph, chain[0]);
      candidates.push_back({root && permanent_root(root->kind), std::move(chain), last->edge});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate &x, const Candidate &y) {
      if (x.permanent != y.permanent) return x.permanent;
      return x.chain.size() < y.chain.size();
    });
    for (size_t c = 0; c < candidates.size() && paths[i].size() < count; ++c) {
      paths[i].push_back(make_path(a, candidates[c].chain, candidates[c].edge));
    }
  }
  return paths;
}

std::vector<RootPath> paths_from_roots(const Analysis &a, const std::vector<uint32_t> &targets) {
  std::vector<std::vector<RootPath>> all = distinct_paths_from_roots(a, targets, 1);
  std::vector<RootPath> paths(targets.size());
  for (size_t i = 0; i < all.size(); ++i) {
    if (!all[i].empty()) paths[i] = std::move(all[i][0]);
  }
  return paths;
}

namespace {

// The largest child of one class below a dominator (the lowest id of equals), or kNone.
template <typename Wanted>
uint32_t largest_child(const Analysis &a, uint32_t at, Wanted &&wanted) {
  const Dominators &d = a.dominators;
  uint32_t best = kNone;
  for (const uint32_t *c = d.children_begin(at); c != d.children_end(at); ++c) {
    if (!wanted(*c)) continue;
    if (best == kNone || d.retained[*c] > d.retained[best] || (d.retained[*c] == d.retained[best] && *c < best)) {
      best = *c;
    }
  }
  return best;
}

// Appends the chain of dominated objects below from, each holding at least 80% of the one before,
// and returns where it ends.
uint32_t follow_biggest(const Analysis &a, uint32_t from, std::vector<PathStep> *steps) {
  const Dominators &d = a.dominators;
  uint32_t at = from;
  for (int count = 0; count < 32; ++count) {
    const uint32_t *first = d.children_begin(at);
    if (first == d.children_end(at)) break;
    uint32_t child = *first;  // the largest child comes first
    if (d.retained[child] * 10 < d.retained[at] * 8) break;
    steps->push_back({child, step_name(a, at, child)});
    at = child;
  }
  return at;
}

// Below a suspect: the chain that holds most of it, the largest class group at its end, and the
// largest member of that group with the chain below it.
void describe_inside(const Analysis &a, Suspect *suspect) {
  const Dominators &d = a.dominators;
  uint32_t at = follow_biggest(a, suspect->id, &suspect->inside);
  std::unordered_map<uint32_t, std::pair<uint64_t, uint64_t>> groups;  // class -> (members, retained)
  for (const uint32_t *c = d.children_begin(at); c != d.children_end(at); ++c) {
    if (a.graph.is_stack_node(*c)) continue;
    auto &group = groups[class_of(a, *c)];
    ++group.first;
    group.second += d.retained[*c];
  }
  for (const auto &[klass, group] : groups) {
    if (group.second > suspect->held_retained ||
        (group.second == suspect->held_retained && klass < suspect->held_class)) {
      suspect->held_class = klass;
      suspect->held_members = group.first;
      suspect->held_retained = group.second;
    }
  }
  if (suspect->held_members < 2) return;  // a single child would have continued the chain
  uint32_t largest = largest_child(
      a, at, [&](uint32_t c) { return !a.graph.is_stack_node(c) && class_of(a, c) == suspect->held_class; });
  if (largest == kNone) return;
  suspect->sample.push_back({largest, step_name(a, at, largest)});
  follow_biggest(a, largest, &suspect->sample);
}

}  // namespace

std::vector<Suspect> find_suspects(const Analysis &a, double share, size_t path_count) {
  const Dominators &d = a.dominators;
  std::vector<Suspect> suspects;
  uint64_t threshold = (uint64_t)((double)a.heap() * share);
  if (threshold == 0) threshold = 1;
  auto larger = [](const Suspect &x, const Suspect &y) {
    return x.retained != y.retained ? x.retained > y.retained : x.id < y.id;
  };
  // A tiny share could make millions of suspects: the largest kMaxSuspects are kept.
  auto keep_largest = [&]() {
    if (suspects.size() < 2 * kMaxSuspects) return;
    std::nth_element(suspects.begin(), suspects.begin() + kMaxSuspects, suspects.end(), larger);
    suspects.resize(kMaxSuspects);
  };
  // Looks at the children of one dominator; class objects, threads' stacks and frames (and the
  // super-root) are looked through. True when something there was a suspect.
  auto examine = [&](auto &self, uint32_t at) -> bool {
    bool found = false;
    std::unordered_map<uint32_t, std::pair<uint64_t, uint64_t>> groups;
    for (const uint32_t *c = d.children_begin(at); c != d.children_end(at); ++c) {
      uint32_t child = *c;
      bool class_object = a.names.is_class_object(child) || a.graph.is_stack_node(child);
      if (d.retained[child] >= threshold) {
        if (!class_object || !self(self, child)) {
          Suspect suspect;
          suspect.id = child;
          suspect.retained = d.retained[child];
          suspects.push_back(suspect);
          keep_largest();
        }
        found = true;
      } else if (!class_object) {
        auto &group = groups[class_of(a, child)];
        ++group.first;
        group.second += d.retained[child];
      }
    }
    for (const auto &[klass, group] : groups) {
      if (group.second < threshold || group.first < 2) continue;
      Suspect suspect;
      suspect.id = at;
      suspect.group = true;
      suspect.group_class = klass;
      suspect.members = group.first;
      suspect.retained = group.second;
      suspects.push_back(suspect);
      keep_largest();
      found = true;
    }
    return found;
  };
  if (a.heap() == 0) return suspects;
  examine(examine, 0);
  std::sort(suspects.begin(), suspects.end(), larger);
  if (suspects.size() > kMaxSuspects) suspects.resize(kMaxSuspects);
  // A group's path leads to its dominator, or for roots held by nothing else to its largest member.
  std::vector<uint32_t> targets;
  for (Suspect &suspect : suspects) {
    if (suspect.group) {
      uint32_t largest = largest_child(a, suspect.id, [&](uint32_t c) {
        return class_of(a, c) == suspect.group_class && !a.names.is_class_object(c) && !a.graph.is_stack_node(c);
      });
      if (largest != kNone) {
        suspect.sample.push_back({largest, suspect.id == 0 ? "" : step_name(a, suspect.id, largest)});
        follow_biggest(a, largest, &suspect.sample);
      }
    }
    targets.push_back(suspect.id != 0 || suspect.sample.empty() ? suspect.id : suspect.sample[0].id);
  }
  std::vector<std::vector<RootPath>> paths = distinct_paths_from_roots(a, targets, path_count);
  for (size_t i = 0; i < suspects.size(); ++i) {
    if (!paths[i].empty()) {
      suspects[i].path = std::move(paths[i][0]);
      suspects[i].more_paths.assign(std::make_move_iterator(paths[i].begin() + 1),
                                    std::make_move_iterator(paths[i].end()));
    }
    if (!suspects[i].group) describe_inside(a, &suspects[i]);
  }
  return suspects;
}

}  // namespace snapshot_reader
