#include "snapshot_diff.h"

#include <algorithm>
#include <unordered_map>

#include "allocation_sites.h"
#include "field_names.h"

namespace snapshot_reader {

namespace {

void add(ProfileRow *to, const ProfileRow &row) {
  to->objects += row.objects;
  to->shallow += row.shallow;
  to->retained += row.retained;
}

std::vector<DiffRow> compare(const std::map<std::string, ProfileRow> &old_rows,
                             const std::map<std::string, ProfileRow> &new_rows) {
  std::map<std::string, DiffRow> rows;
  for (const auto &[key, row] : old_rows) rows[key].old_side = row;
  for (const auto &[key, row] : new_rows) rows[key].new_side = row;
  std::vector<DiffRow> result;
  for (auto &[key, row] : rows) {
    row.key = key;
    result.push_back(std::move(row));
  }
  return result;
}

void sort_by_growth(std::vector<DiffRow> *rows) {
  std::stable_sort(rows->begin(), rows->end(), [](const DiffRow &x, const DiffRow &y) {
    if (x.growth() != y.growth()) return x.growth() > y.growth();
    return x.key < y.key;
  });
}

}  // namespace

Profile make_profile(const Analysis &a) {
  Profile profile;
  profile.facts.metadata = a.info.metadata;
  profile.heap = a.heap();
  profile.objects = a.reachable_objects();
  for (const AllocationRow &row : allocation_rows(a)) {
    if (row.live == 0) continue;
    add(&profile.sites[site_name(row)], {row.live, row.shallow, row.retained});
  }
  std::vector<uint64_t> class_retained;  // from the paths' walk of the tree, which is the costly part
  profile.paths = dominator_paths(a, 1u << 20, &class_retained);
  for (const ClassRow &row : class_histogram(a, &class_retained)) {
    add(&profile.classes[java_class_name(a.names.class_signature(row.class_id))],
        {row.instances, row.shallow, row.retained});
  }
  return profile;
}

SnapshotDiff compare_profiles(const Profile &old_profile, const Profile &new_profile, size_t path_rows) {
  SnapshotDiff diff;
  diff.old_profile = &old_profile;
  diff.new_profile = &new_profile;
  diff.sites = compare(old_profile.sites, new_profile.sites);
  diff.classes = compare(old_profile.classes, new_profile.classes);
  sort_by_growth(&diff.sites);
  sort_by_growth(&diff.classes);
  // Paths by the hash of their text; only the rows kept get their text, made from a side that has them.
  struct Matched {
    DiffRow row;
    const Profile *side;
    uint32_t entry;
  };
  std::unordered_map<uint64_t, Matched> paths;
  for (const Profile *side : {&old_profile, &new_profile}) {
    for (uint32_t k = 0; k < side->paths.size(); ++k) {
      const PathEntry &entry = side->paths[k];
      auto [at, added] = paths.try_emplace(entry.hash, Matched{DiffRow{}, side, k});
      add(side == &old_profile ? &at->second.row.old_side : &at->second.row.new_side,
          {entry.objects, entry.shallow, entry.retained});
    }
  }
  std::vector<std::pair<uint64_t, const Matched *>> order;
  for (const auto &[hash, matched] : paths) order.push_back({hash, &matched});
  // Equal growth: the shorter path (the holder) first.
  auto larger = [](const std::pair<uint64_t, const Matched *> &x, const std::pair<uint64_t, const Matched *> &y) {
    int64_t gx = x.second->row.growth(), gy = y.second->row.growth();
    if (gx != gy) return gx > gy;
    uint32_t dx = x.second->side->paths[x.second->entry].depth, dy = y.second->side->paths[y.second->entry].depth;
    return dx != dy ? dx < dy : x.first < y.first;
  };
  size_t kept = std::min(path_rows, order.size());
  std::partial_sort(order.begin(), order.begin() + kept, order.end(), larger);
  for (size_t i = 0; i < kept; ++i) {
    DiffRow row = order[i].second->row;
    row.key = path_text(order[i].second->side->paths, order[i].second->entry);
    diff.paths.push_back(std::move(row));
  }
  diff.path_count = paths.size();
  return diff;
}

int64_t SnapshotDiff::largest_growth(std::string *what) const {
  int64_t largest = heap_growth();
  *what = "the heap";
  auto consider = [&](const std::vector<DiffRow> &rows, const char *kind) {
    if (!rows.empty() && rows[0].growth() > largest) {
      largest = rows[0].growth();
      *what = std::string(kind) + " " + rows[0].key;
    }
  };
  consider(sites, "allocation site");
  consider(classes, "class");
  consider(paths, "dominator path");
  return largest;
}

}  // namespace snapshot_reader
