// Dominator paths: where an object sits in the dominator tree, told by the chain of types and
// field names from a root ("class Shop .CACHE -> java.util.HashMap .table -> ..."). Unlike ids,
// that chain names the same holder in two snapshots of one program. Array elements read "[*]",
// an object its dominator holds through others "...", and a type met again along the chain folds
// the path back to where the type first came (a linked list or a tree is one path).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"

namespace snapshot_reader {

struct PathEntry {
  static constexpr uint32_t kNoParent = 0xFFFFFFFFu;
  uint32_t parent = kNoParent;  // the entry it extends
  uint64_t hash = 0;            // of the whole path's text: the identity across snapshots
  uint32_t depth = 0;           // steps from its root
  std::string part;             // its own part of the text
  uint64_t objects = 0;         // the objects on this path
  uint64_t shallow = 0;
  uint64_t retained = 0;  // counted once
};

// Every dominator path with its objects; at most max_entries of them (beyond that an object
// takes its dominator's path). The same walk of the tree can give the retained bytes of each
// class id, counted once (for class_histogram).
std::vector<PathEntry> dominator_paths(const Analysis &analysis, size_t max_entries = 1u << 20,
                                       std::vector<uint64_t> *class_retained = nullptr);

// The whole text of an entry's path.
std::string path_text(const std::vector<PathEntry> &entries, uint32_t entry);

}  // namespace snapshot_reader
