#include "allocation_sites.h"

#include <algorithm>
#include <unordered_map>

#include "dominator_walk.h"

namespace snapshot_reader {

namespace {

bool reached(const Analysis &a, uint32_t id) { return a.dominators.idom[id] != Dominators::kUnreached; }

// The allocation points with a row each, and the followed live objects with their row.
class Sites {
 public:
  explicit Sites(const Analysis &a) {
    for (const AllocationPoint &point : a.info.allocation_list) {
      AllocationRow &listed = row(point.id);
      listed.point = point;
      listed.listed = true;
    }
    for (const auto &[id, tag] : a.graph.previous_tags) {
      if (!is_statistics_tag(tag) || !reached(a, id)) continue;
      members_.push_back({id, (uint32_t)(&row(tag) - rows_.data())});
    }
    if (members_.empty()) return;
    member_.assign(a.graph.node_count, false);
    for (const auto &[id, index] : members_) member_[id] = true;
  }
  std::vector<AllocationRow> &rows() { return rows_; }
  const std::vector<std::pair<uint32_t, uint32_t>> &members() const { return members_; }
  bool empty() const { return members_.empty(); }
  // The row of a followed live object, or kNoKey.
  uint32_t key(uint32_t id) const {
    if (member_.empty() || id >= member_.size() || !member_[id]) return kNoKey;
    return std::lower_bound(members_.begin(), members_.end(), std::make_pair(id, 0u))->second;
  }

 private:
  AllocationRow &row(uint32_t allocation_id) {
    auto [found, added] = row_of_.emplace(allocation_id, (uint32_t)rows_.size());
    if (added) rows_.emplace_back().point.id = allocation_id;
    return rows_[found->second];
  }
  std::vector<AllocationRow> rows_;
  std::unordered_map<uint32_t, uint32_t> row_of_;       // allocation id -> row
  std::vector<std::pair<uint32_t, uint32_t>> members_;  // (id, row), by id
  std::vector<bool> member_;                            // per id
};

void sort_rows(std::vector<AllocationRow> *rows) {
  std::sort(rows->begin(), rows->end(), [](const AllocationRow &x, const AllocationRow &y) {
    return x.retained != y.retained ? x.retained > y.retained : x.point.id < y.point.id;
  });
}

}  // namespace

std::string site_name(const AllocationRow &row) {
  if (!row.listed) return "allocation id " + std::to_string(row.point.id);
  return row.point.class_name + " @ " + row.point.birthplace;
}

std::vector<AllocationRow> allocation_rows(const Analysis &a) {
  Sites sites(a);
  std::vector<AllocationRow> &rows = sites.rows();
  for (const auto &[id, index] : sites.members()) {
    ++rows[index].live;
    rows[index].shallow += a.graph.shallow[id];
  }
  if (!sites.empty()) {
    count_sets_once(
        a.dominators, 0, rows.size(), [&](uint32_t id) { return sites.key(id); },
        [&](uint32_t index, uint32_t id) { rows[index].retained += a.dominators.retained[id]; });
  }
  std::vector<AllocationRow> result = std::move(rows);
  sort_rows(&result);
  return result;
}

void find_suspect_sites(const Analysis &a, std::vector<Suspect> *suspects) {
  Sites sites(a);
  if (sites.empty()) return;
  const Dominators &d = a.dominators;
  std::vector<AllocationRow> &points = sites.rows();
  for (Suspect &suspect : *suspects) {
    uint32_t holder = sites.key(suspect.id);
    if (holder != kNoKey) {
      suspect.holder_followed = true;
      suspect.holder_site = points[holder].point;
    }
    // The subtrees the suspect retains: the object's own, or those of the group's members.
    std::vector<uint32_t> tops;
    if (!suspect.group) {
      tops.push_back(suspect.id);
    } else {
      for (const uint32_t *c = d.children_begin(suspect.id); c != d.children_end(suspect.id); ++c) {
        if (a.graph.class_id[*c] == suspect.group_class && !a.names.is_class_object(*c) && !a.graph.is_stack_node(*c)) {
          tops.push_back(*c);
        }
      }
    }
    std::unordered_map<uint32_t, AllocationRow> found;  // by row of the points
    std::vector<uint32_t> open(points.size(), 0), stack;
    for (uint32_t top : tops) {
      walk_dominator_tree(
          d, top,
          [&](uint32_t id) {
            uint32_t index = sites.key(id);
            if (index == kNoKey) return true;
            AllocationRow &row = found[index];
            ++row.live;
            row.shallow += a.graph.shallow[id];
            if (open[index]++ == 0) row.retained += d.retained[id];
            return true;
          },
          [&](uint32_t id) {
            uint32_t index = sites.key(id);
            if (index != kNoKey) --open[index];
          },
          &stack);
    }
    for (auto &[index, row] : found) {
      row.point = points[index].point;
      row.listed = points[index].listed;
      suspect.sites.push_back(row);
    }
    sort_rows(&suspect.sites);
  }
}

}  // namespace snapshot_reader
