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

// The low word of a statistics tag names an allocation point of 32 and above in bits 19-31; lower
// numbers are the agent's other tag kinds.
bool is_statistics_tag(uint32_t tag) { return ((tag >> 19) & 0x1FFF) >= 32; }

bool permanent_root(unsigned kind) { return kind != 24 && kind != 25 && kind != 26; }

// The first edge from one object to another, or kNone.
uint32_t edge_between(const HeapGraph &graph, uint32_t from, uint32_t to) {
  for (uint32_t e = graph.first[from], end = e + graph.degree[from]; e < end; ++e) {
    if (graph.target[e] == to) return e;
  }
  return kNone;
}

// How the dominator refers to an object it dominates: the field or element when it refers to it
// directly, else "<dominated>" (the object is reached through others that it also dominates).
std::string step_name(const Analysis &a, uint32_t from, uint32_t to) {
  uint32_t e = edge_between(a.graph, from, to);
  return e == kNone ? "<dominated>" : a.names.edge_name(from, e);
}

}  // namespace

std::string root_kind_name(unsigned kind) { return reference_kind_name(kind); }

std::string object_label(const Analysis &analysis, uint32_t id) {
  return analysis.names.describe_type(id) + " #" + std::to_string(id);
}

std::vector<ClassRow> class_histogram(const Analysis &a) {
  const HeapGraph &graph = a.graph;
  uint32_t max_class = 0;
  for (uint32_t id = 1; id < graph.node_count; ++id) max_class = std::max(max_class, graph.class_id[id]);
  std::vector<ClassRow> rows(max_class + 1);
  for (uint32_t id = 1; id < graph.node_count; ++id) {
    if (!reached(a, id)) continue;
    ClassRow &row = rows[class_of(a, id)];
    ++row.instances;
    row.shallow += graph.shallow[id];
  }
  // Retained per class: an instance counts with its subtree unless an instance of its class dominates it.
  count_sets_once(
      a.dominators, 0, max_class + 1, [&](uint32_t id) { return id == 0 ? kNoKey : class_of(a, id); },
      [&](uint32_t klass, uint32_t id) { rows[klass].retained += a.dominators.retained[id]; });
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
  for (uint32_t id = 1; id < a.graph.node_count; ++id) {
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

std::vector<RootPath> paths_from_roots(const Analysis &a, const std::vector<uint32_t> &targets) {
  const HeapGraph &graph = a.graph;
  std::vector<RootPath> paths(targets.size());
  if (targets.empty()) return paths;
  std::vector<uint32_t> parent(graph.node_count, kNone);
  std::vector<uint32_t> queue;
  size_t wanted = 0;
  std::vector<uint8_t> is_target(graph.node_count, 0);
  for (uint32_t t : targets) {
    if (t < graph.node_count && !is_target[t]) {
      is_target[t] = 1;
      ++wanted;
    }
  }
  parent[0] = 0;
  // Breadth first from the permanent roots, then on from the stack and thread roots.
  for (int phase = 0; phase < 2 && wanted > 0; ++phase) {
    for (const RootReference &root : graph.roots) {
      if (permanent_root(root.kind) != (phase == 0) || parent[root.object] != kNone) continue;
      parent[root.object] = 0;
      queue.push_back(root.object);
      if (is_target[root.object] && --wanted == 0) break;
    }
    for (size_t head = 0; head < queue.size() && wanted > 0; ++head) {
      uint32_t v = queue[head];
      for (uint32_t e = graph.first[v], end = e + graph.degree[v]; e < end; ++e) {
        uint32_t w = graph.target[e];
        if (parent[w] != kNone) continue;
        parent[w] = v;
        queue.push_back(w);
        if (is_target[w] && --wanted == 0) break;
      }
    }
  }
  std::vector<uint32_t>().swap(queue);
  for (size_t i = 0; i < targets.size(); ++i) {
    RootPath &path = paths[i];
    uint32_t t = targets[i];
    if (t == 0 || t >= graph.node_count || parent[t] == kNone) continue;
    path.found = true;
    std::vector<uint32_t> chain;
    for (uint32_t v = t; v != 0; v = parent[v]) chain.push_back(v);
    std::reverse(chain.begin(), chain.end());
    for (size_t k = 0; k < chain.size(); ++k) {
      PathStep step;
      step.id = chain[k];
      if (k > 0) {
        uint32_t e = edge_between(graph, chain[k - 1], chain[k]);
        step.via = e == kNone ? "" : a.names.edge_name(chain[k - 1], e);
      }
      path.steps.push_back(step);
    }
    // The root reference itself: a permanent one when there is one.
    const RootReference *root = nullptr;
    for (const RootReference &candidate : graph.roots) {
      if (candidate.object != chain[0]) continue;
      if (!root || (permanent_root(candidate.kind) && !permanent_root(root->kind))) root = &candidate;
    }
    if (!root) continue;
    path.root_kind = root->kind;
    if (root->kind == 24 || root->kind == 26) {
      for (const ThreadEntry &thread : a.info.thread_list) {
        if ((root->kind == 24 && (uint64_t)thread.java_id == root->thread_id) ||
            (root->kind == 26 && thread.object_id == root->object)) {
          path.thread = "\"" + thread.name + "\" (id " + std::to_string(thread.java_id) + ")";
        }
      }
      if (path.thread.empty() && root->kind == 24) path.thread = "thread id " + std::to_string(root->thread_id);
    }
    if (root->kind == 24) {
      auto method = a.info.methods.find(root->method);
      std::string name =
          method == a.info.methods.end()
              ? "method " + std::to_string(root->method)
              : java_class_name(a.names.class_signature((uint32_t)method->second.class_id)) + "." + method->second.name;
      path.frame = name + " (frame " + std::to_string(root->depth) + ", slot " + std::to_string(root->slot) + ")";
    }
  }
  return paths;
}

namespace {

// Appends the chain of dominated objects below from, each holding at least 80% of the one before,
// and returns where it ends.
uint32_t follow_biggest(const Analysis &a, uint32_t from, std::vector<PathStep> *steps) {
  const Dominators &d = a.dominators;
  uint32_t at = from;
  for (int count = 0; count < 32; ++count) {
    const uint32_t *first = d.children_begin(at);
    if (first == d.children_end(at)) break;
    uint32_t child = *first;  // children are sorted by retained size
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
  for (const uint32_t *c = d.children_begin(at); c != d.children_end(at); ++c) {
    if (class_of(a, *c) != suspect->held_class) continue;
    suspect->sample.push_back({*c, step_name(a, at, *c)});
    follow_biggest(a, *c, &suspect->sample);
    break;
  }
}

}  // namespace

std::vector<Suspect> find_suspects(const Analysis &a, double share) {
  const Dominators &d = a.dominators;
  std::vector<Suspect> suspects;
  uint64_t threshold = (uint64_t)((double)a.heap() * share);
  if (threshold == 0) threshold = 1;
  // Looks at the children of one dominator; class objects (and the super-root) are looked
  // through. True when something there was a suspect.
  auto examine = [&](auto &self, uint32_t at) -> bool {
    bool found = false;
    std::unordered_map<uint32_t, std::pair<uint64_t, uint64_t>> groups;
    for (const uint32_t *c = d.children_begin(at); c != d.children_end(at); ++c) {
      uint32_t child = *c;
      bool class_object = a.names.is_class_object(child);
      if (d.retained[child] >= threshold) {
        if (!class_object || !self(self, child)) {
          Suspect suspect;
          suspect.id = child;
          suspect.retained = d.retained[child];
          suspects.push_back(suspect);
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
      found = true;
    }
    return found;
  };
  if (a.heap() == 0) return suspects;
  examine(examine, 0);
  std::sort(suspects.begin(), suspects.end(), [](const Suspect &x, const Suspect &y) {
    return x.retained != y.retained ? x.retained > y.retained : x.id < y.id;
  });
  // A group's path leads to its dominator, or for roots held by nothing else to its largest member.
  std::vector<uint32_t> targets;
  for (Suspect &suspect : suspects) {
    if (suspect.group) {
      for (const uint32_t *c = d.children_begin(suspect.id); c != d.children_end(suspect.id); ++c) {
        if (class_of(a, *c) != suspect.group_class || a.names.is_class_object(*c)) continue;
        suspect.sample.push_back({*c, suspect.id == 0 ? "" : step_name(a, suspect.id, *c)});
        follow_biggest(a, *c, &suspect.sample);
        break;
      }
    }
    targets.push_back(suspect.id != 0 || suspect.sample.empty() ? suspect.id : suspect.sample[0].id);
  }
  std::vector<RootPath> paths = paths_from_roots(a, targets);
  for (size_t i = 0; i < suspects.size(); ++i) {
    suspects[i].path = std::move(paths[i]);
    if (!suspects[i].group) describe_inside(a, &suspects[i]);
  }
  return suspects;
}

std::vector<AllocationRow> allocation_rows(const Analysis &a) {
  std::vector<AllocationRow> rows;
  std::unordered_map<uint32_t, uint32_t> row_of;  // allocation id -> row
  auto row = [&](uint32_t allocation_id) -> AllocationRow & {
    auto [found, added] = row_of.emplace(allocation_id, (uint32_t)rows.size());
    if (added) rows.emplace_back().point.id = allocation_id;
    return rows[found->second];
  };
  for (const AllocationPoint &point : a.info.allocation_list) {
    AllocationRow &listed = row(point.id);
    listed.point = point;
    listed.listed = true;
  }
  // The followed objects the roots reach, by id, with their row.
  std::vector<std::pair<uint32_t, uint32_t>> members;
  for (const auto &[id, tag] : a.graph.previous_tags) {
    if (!is_statistics_tag(tag) || !reached(a, id)) continue;
    uint32_t index = (uint32_t)(&row(tag) - rows.data());
    ++rows[index].live;
    rows[index].shallow += a.graph.shallow[id];
    members.push_back({id, index});
  }
  if (!members.empty()) {
    std::vector<bool> member(a.graph.node_count, false);
    for (const auto &[id, index] : members) member[id] = true;
    auto key = [&](uint32_t id) {
      if (!member[id]) return kNoKey;
      return std::lower_bound(members.begin(), members.end(), std::make_pair(id, 0u))->second;
    };
    count_sets_once(a.dominators, 0, rows.size(), key,
                    [&](uint32_t index, uint32_t id) { rows[index].retained += a.dominators.retained[id]; });
  }
  std::sort(rows.begin(), rows.end(), [](const AllocationRow &x, const AllocationRow &y) {
    return x.retained != y.retained ? x.retained > y.retained : x.point.id < y.point.id;
  });
  return rows;
}

}  // namespace snapshot_reader
