// The comparison of two snapshots of one program: what grew, by allocation site, by class and by
// dominator path, each of them an identity that holds across snapshots (ids do not). A snapshot
// is analysed and boiled down to its profile first, so that two of them are compared without
// both graphs in memory at the end.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "analysis.h"
#include "dominator_paths.h"

namespace snapshot_reader {

struct ProfileRow {
  uint64_t objects = 0;
  uint64_t shallow = 0;
  uint64_t retained = 0;  // counted once
};

struct Profile {
  InfoFile facts;  // the snapshot's Metadata only
  uint64_t heap = 0, objects = 0;
  std::map<std::string, ProfileRow> sites;    // by "class @ birthplace" of the allocation point
  std::map<std::string, ProfileRow> classes;  // by class name
  std::vector<PathEntry> paths;               // dominator paths
};

Profile make_profile(const Analysis &analysis);

struct DiffRow {
  std::string key;  // the site, class or path
  ProfileRow old_side, new_side;
  int64_t growth() const { return (int64_t)new_side.retained - (int64_t)old_side.retained; }
};

struct SnapshotDiff {
  const Profile *old_profile = nullptr;
  const Profile *new_profile = nullptr;
  std::vector<DiffRow> sites, classes, paths;  // largest growth first
  size_t path_count = 0;                       // paths of either side, of which paths holds the top
  int64_t heap_growth() const { return (int64_t)new_profile->heap - (int64_t)old_profile->heap; }
  // The largest growth of the heap or of one row, and what grew.
  int64_t largest_growth(std::string *what) const;
};

// Rows of either side; of the paths, which can be many, the path_rows that grew most.
SnapshotDiff compare_profiles(const Profile &old_profile, const Profile &new_profile, size_t path_rows);

}  // namespace snapshot_reader
