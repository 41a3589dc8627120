// Depth-first walks of the dominator tree with a stack of one position per open level (a chain of
// millions of dominated objects costs four bytes a link, not a recursion).
#pragma once

#include <cstdint>
#include <vector>

#include "dominators.h"

namespace snapshot_reader {

// Visits the tree below from, from included: enter(id) before its subtree, returning whether to go
// into it; leave(id) after the subtree of every object entered. Children come largest first.
// Walks of many small subtrees pass a stack to reuse.
template <typename Enter, typename Leave>
void walk_dominator_tree(const Dominators &d, uint32_t from, Enter &&enter, Leave &&leave,
                         std::vector<uint32_t> *stack = nullptr) {
  if (!enter(from)) return;
  // next[k]: the position in d.children of the next child of the k-th open object. That object is
  // from for k = 0, else the child just before next[k - 1].
  std::vector<uint32_t> own;
  std::vector<uint32_t> &next = stack ? *stack : own;
  next.assign(1, d.child_first[from]);
  while (!next.empty()) {
    size_t level = next.size();
    uint32_t node = level == 1 ? from : d.children[next[level - 2] - 1];
    if (next[level - 1] == d.child_first[node + 1]) {
      leave(node);
      next.pop_back();
      continue;
    }
    uint32_t child = d.children[next[level - 1]++];
    if (enter(child)) next.push_back(d.child_first[child]);
  }
}

// The retained size of a set of objects, each counted once: a member is counted with its subtree
// unless another member dominates it. open[key] counts the open members of each key; key(id) is
// kNoKey for objects outside every set.
constexpr uint32_t kNoKey = 0xFFFFFFFFu;
template <typename Key, typename Counted>
void count_sets_once(const Dominators &d, uint32_t from, size_t keys, Key &&key, Counted &&counted) {
  std::vector<uint32_t> open(keys, 0);
  walk_dominator_tree(
      d, from,
      [&](uint32_t id) {
        uint32_t k = key(id);
        if (k != kNoKey && open[k]++ == 0) counted(k, id);
        return true;
      },
      [&](uint32_t id) {
        uint32_t k = key(id);
        if (k != kNoKey) --open[k];
      });
}

}  // namespace snapshot_reader
