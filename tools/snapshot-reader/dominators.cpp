#include "dominators.h"

#include <algorithm>

#include "progress.h"

namespace snapshot_reader {

namespace {

template <typename T>
void release(std::vector<T> &vector) {
  std::vector<T>().swap(vector);
}

}  // namespace

void compute_dominators(const HeapGraph &graph, Dominators *out, Progress *progress, bool soft_is_strong) {
  const uint32_t n = graph.node_count;
  // Depth-first numbering from the super-root; arrays below are indexed by that number (1 .. d).
  std::vector<uint32_t> number(n, 0), vertex(n + 1, 0), parent(n + 1, 0);
  std::vector<uint32_t> semi(n + 1, 0), label(n + 1, 0);  // the search's edge cursors and stack, at first
  uint32_t d = 0, depth = 0;
  auto enter = [&](uint32_t node, uint32_t from) {
    number[node] = ++d;
    vertex[d] = node;
    parent[d] = from;
    semi[d] = graph.first[node];
    label[depth++] = d;
  };
  if (progress) progress->step("dominators: depth-first search");
  enter(0, 0);
  while (depth > 0) {
    uint32_t v = label[depth - 1];
    uint32_t node = vertex[v];
    if (semi[v] < graph.first[node] + graph.degree[node]) {
      uint32_t e = semi[v]++;
      uint32_t w = graph.target[e];
      if (number[w] == 0 && is_strong(graph.label[e], soft_is_strong)) enter(w, v);
    } else {
      --depth;
    }
    if (progress && (d & 0xFFFF) == 0) progress->update(d, n);
  }

  // Predecessors of every reached object, by number.
  std::vector<uint32_t> pred_first(d + 2, 0);
  for (uint32_t v = 1; v <= d; ++v) {
    uint32_t node = vertex[v];
    for (uint32_t e = graph.first[node], end = e + graph.degree[node]; e < end; ++e) {
      if (is_strong(graph.label[e], soft_is_strong)) ++pred_first[number[graph.target[e]]];
    }
  }
  for (uint32_t v = 1; v <= d + 1; ++v) pred_first[v] += pred_first[v - 1];
  std::vector<uint32_t> preds(pred_first[d + 1]);
  for (uint32_t v = 1; v <= d; ++v) {
    uint32_t node = vertex[v];
    for (uint32_t e = graph.first[node], end = e + graph.degree[node]; e < end; ++e) {
      if (is_strong(graph.label[e], soft_is_strong)) preds[--pred_first[number[graph.target[e]]]] = v;
    }
  }
  release(number);

  // Semi-dominators, from the last number to the first, over a forest linked along the search tree.
  std::vector<uint32_t> ancestor(d + 1, 0), path;
  for (uint32_t v = 1; v <= d; ++v) semi[v] = label[v] = v;
  auto eval = [&](uint32_t v) {
    if (ancestor[v] == 0) return v;
    path.clear();
    uint32_t x = v;
    while (ancestor[ancestor[x]] != 0) {
      path.push_back(x);
      x = ancestor[x];
    }
    while (!path.empty()) {
      uint32_t y = path.back();
      path.pop_back();
      uint32_t a = ancestor[y];
      if (semi[label[a]] < semi[label[y]]) label[y] = label[a];
      ancestor[y] = ancestor[a];
    }
    return label[v];
  };
  if (progress) progress->step("dominators: semi-dominators");
  for (uint32_t w = d; w >= 2; --w) {
    uint32_t s = semi[w];
    for (uint32_t p = pred_first[w], end = pred_first[w + 1]; p < end; ++p) {
      uint32_t u = eval(preds[p]);
      if (semi[u] < s) s = semi[u];
    }
    semi[w] = s;
    ancestor[w] = parent[w];
    if (progress && (w & 0xFFFF) == 0) progress->update(d - w, d);
  }
  release(preds);
  release(pred_first);
  release(label);
  release(path);

  // Immediate dominators: the nearest ancestor of the parent, in the tree built so far, that is
  // not below the semi-dominator.
  std::vector<uint32_t> &idom = ancestor;
  idom[1] = 1;
  for (uint32_t w = 2; w <= d; ++w) {
    uint32_t x = parent[w];
    while (x > semi[w]) x = idom[x];
    idom[w] = x;
  }
  release(semi);
  release(parent);

  // Per id: the immediate dominator and the retained size, summed from the last number up.
  out->reached = d;
  out->soft_is_strong = soft_is_strong;
  out->idom.assign(n, Dominators::kUnreached);
  out->retained.assign(n, 0);
  for (uint32_t v = 1; v <= d; ++v) {
    out->idom[vertex[v]] = vertex[idom[v]];
    out->retained[vertex[v]] = graph.shallow[vertex[v]];
  }
  for (uint32_t v = d; v >= 2; --v) out->retained[vertex[idom[v]]] += out->retained[vertex[v]];
  release(idom);
  release(vertex);

  // The tree's children, largest first.
  out->child_first.assign((size_t)n + 1, 0);
  for (uint32_t id = 1; id < n; ++id) {
    if (out->idom[id] != Dominators::kUnreached) ++out->child_first[out->idom[id] + 1];
  }
  for (uint32_t id = 1; id <= n; ++id) out->child_first[id] += out->child_first[id - 1];
  out->children.assign(out->child_first[n], 0);
  std::vector<uint32_t> fill(out->child_first.begin(), out->child_first.end() - 1);
  for (uint32_t id = 1; id < n; ++id) {
    if (out->idom[id] != Dominators::kUnreached) out->children[fill[out->idom[id]]++] = id;
  }
  release(fill);
  // The largest child of each object first (the lowest id of equals); the others stay in id order.
  const std::vector<uint64_t> &retained = out->retained;
  for (uint32_t id = 0; id < n; ++id) {
    uint32_t *begin = out->children.data() + out->child_first[id],
             *end = out->children.data() + out->child_first[id + 1];
    if (end - begin < 2) continue;
    uint32_t *largest = begin;
    for (uint32_t *c = begin + 1; c < end; ++c) {
      if (retained[*c] > retained[*largest]) largest = c;
    }
    std::rotate(begin, largest, largest + 1);
  }
  if (progress) progress->done();
}

}  // namespace snapshot_reader
