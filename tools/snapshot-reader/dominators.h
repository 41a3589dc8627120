// The dominator tree of a heap graph from its super-root (id 0) and the retained size of every
// object: the sum of the shallow sizes of the objects it dominates, itself included.
#pragma once

#include <cstdint>
#include <vector>

#include "heap_graph.h"

namespace snapshot_reader {

class Progress;

struct Dominators {
  static constexpr uint32_t kUnreached = 0xFFFFFFFFu;
  std::vector<uint32_t> idom;         // per id: its immediate dominator; kUnreached when no root reaches it
  std::vector<uint64_t> retained;     // per id
  std::vector<uint32_t> child_first;  // per id + 1: its children are children[child_first[id] .. child_first[id + 1])
  std::vector<uint32_t> children;     // dominator tree children: the largest first, then the others by id
  uint32_t reached = 0;               // objects the roots reach, the super-root included
  bool soft_is_strong = false;        // soft referents were followed

  const uint32_t *children_begin(uint32_t id) const { return children.data() + child_first[id]; }
  const uint32_t *children_end(uint32_t id) const { return children.data() + child_first[id + 1]; }
};

// Lengauer-Tarjan's semi-dominators (iterative depth-first search, path compression) with the
// immediate dominators taken as nearest common ancestors in the tree built so far, over the strong
// references (is_strong): the referents of references are left out, soft ones unless
// soft_is_strong.
void compute_dominators(const HeapGraph &graph, Dominators *out, Progress *progress, bool soft_is_strong = false);

}  // namespace snapshot_reader
