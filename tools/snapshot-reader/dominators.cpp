#include "dominators.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "progress.h"

namespace snapshot_reader {

namespace {

template <typename T>
void release(std::vector<T> &vector) {
  std::vector<T>().swap(vector);
}

// What the semi-dominator phase reads and writes of one vertex, side by side: the forest's
// path compression jumps between vertices, and each jump then costs one cache miss, not three.
struct Vertex {
  uint32_t semi;
  uint32_t label;     // the vertex of least semi-dominator on the compressed path
  uint32_t ancestor;  // in the forest; later the immediate dominator
};

}  // namespace

void compute_dominators(const HeapGraph &graph, Dominators *out, Progress *progress, bool soft_is_strong) {
  const uint32_t n = graph.node_count;
  // Depth-first numbering from the super-root; arrays below are indexed by that number (1 .. d).
  // The search counts the strong references to each number as it goes (every strong edge of a
  // reached object is looked at once, when its referee already has a number).
  std::vector<uint32_t> number(n, 0), vertex(n + 1, 0), parent(n + 1, 0), in_degree(n + 2, 0);
  std::vector<uint32_t> cursor(n + 1, 0), stack(n + 1, 0);  // per number: its next edge; the open numbers
  uint32_t d = 0, depth = 0;
  auto enter = [&](uint32_t node, uint32_t from) {
    number[node] = ++d;
    vertex[d] = node;
    parent[d] = from;
    cursor[d] = graph.first[node];
    stack[depth++] = d;
  };
  if (progress) progress->step("dominators: depth-first search");
  enter(0, 0);
  const uint32_t *target = graph.target.data(), *label = graph.label.data();
  while (depth > 0) {
    uint32_t v = stack[depth - 1];
    uint32_t node = vertex[v];
    uint32_t e = cursor[v], end = graph.first[node] + graph.degree[node];
    uint32_t next = 0;
    for (; e < end; ++e) {
      if (!is_strong(label[e], soft_is_strong)) continue;
      uint32_t w = target[e];
      if (number[w] == 0) {
        next = w;
        ++e;
        break;
      }
      ++in_degree[number[w]];
    }
    cursor[v] = e;
    if (next != 0) {
      enter(next, v);
      ++in_degree[d];
    } else {
      --depth;
    }
    if (progress && (d & 0xFFFF) == 0) progress->update(d, n);
  }
  release(cursor);
  release(stack);

  // Predecessors of every reached object, by number.
  std::vector<uint32_t> &pred_first = in_degree;
  for (uint32_t v = 1; v <= d + 1; ++v) pred_first[v] += pred_first[v - 1];
  std::vector<uint32_t> preds(pred_first[d + 1]);
  for (uint32_t v = 1; v <= d; ++v) {
    uint32_t node = vertex[v];
    for (uint32_t e = graph.first[node], end = e + graph.degree[node]; e < end; ++e) {
      if (is_strong(label[e], soft_is_strong)) preds[--pred_first[number[target[e]]]] = v;
    }
  }
  release(number);

  // Semi-dominators, from the last number to the first, over a forest linked along the search tree.
  std::vector<Vertex> vertices(d + 1);
  for (uint32_t v = 1; v <= d; ++v) vertices[v] = {v, v, 0};
  std::vector<uint32_t> path;
  auto eval = [&](uint32_t v) {
    if (vertices[v].ancestor == 0) return v;
    path.clear();
    uint32_t x = v;
    while (vertices[vertices[x].ancestor].ancestor != 0) {
      path.push_back(x);
      x = vertices[x].ancestor;
    }
    while (!path.empty()) {
      Vertex &y = vertices[path.back()];
      path.pop_back();
      const Vertex &a = vertices[y.ancestor];
      if (vertices[a.label].semi < vertices[y.label].semi) y.label = a.label;
      y.ancestor = a.ancestor;
    }
    return vertices[v].label;
  };
  if (progress) progress->step("dominators: semi-dominators");
  for (uint32_t w = d; w >= 2; --w) {
    uint32_t s = vertices[w].semi;
    for (uint32_t p = pred_first[w], end = pred_first[w + 1]; p < end; ++p) {
      uint32_t u = eval(preds[p]);
      if (vertices[u].semi < s) s = vertices[u].semi;
    }
    vertices[w].semi = s;
    vertices[w].ancestor = parent[w];
    if (progress && (w & 0xFFFF) == 0) progress->update(d - w, d);
  }
  release(preds);
  release(pred_first);
  release(path);

  // Immediate dominators: the nearest ancestor of the parent, in the tree built so far, that is
  // not below the semi-dominator. They take the place of the forest's links.
  vertices[1].ancestor = 1;
  for (uint32_t w = 2; w <= d; ++w) {
    uint32_t x = parent[w];
    while (x > vertices[w].semi) x = vertices[x].ancestor;
    vertices[w].ancestor = x;
  }

  // Retained sizes summed from the last number up (a dominator's number is below those it
  // dominates), in the place of semi and label; then per id with the immediate dominators.
  auto set_retained = [&](uint32_t v, uint64_t bytes) { memcpy(&vertices[v].semi, &bytes, sizeof bytes); };
  auto get_retained = [&](uint32_t v) {
    uint64_t bytes;
    memcpy(&bytes, &vertices[v].semi, sizeof bytes);
    return bytes;
  };
  static_assert(offsetof(Vertex, label) == offsetof(Vertex, semi) + 4, "semi and label hold the retained size");
  for (uint32_t v = 1; v <= d; ++v) set_retained(v, graph.shallow[vertex[v]]);
  for (uint32_t v = d; v >= 2; --v) {
    uint32_t idom = vertices[v].ancestor;
    set_retained(idom, get_retained(idom) + get_retained(v));
  }
  out->reached = d;
  out->soft_is_strong = soft_is_strong;
  out->idom.swap(parent);  // its pages are in memory already
  out->idom.assign(n, Dominators::kUnreached);
  out->retained.assign(n, 0);
  for (uint32_t v = 1; v <= d; ++v) {
    out->idom[vertex[v]] = vertex[vertices[v].ancestor];
    out->retained[vertex[v]] = get_retained(v);
  }
  release(vertices);
  release(vertex);

  // The tree's children, laid out by dominator: counted, then placed from the end of each run
  // with the run's end as the cursor, ids descending, so that each run is in id order and the
  // cursors end where the runs start.
  std::vector<uint32_t> &first = out->child_first;
  first.assign((size_t)n + 1, 0);
  for (uint32_t id = 1; id < n; ++id) {
    if (out->idom[id] != Dominators::kUnreached) ++first[out->idom[id] + 1];
  }
  for (uint32_t id = 1; id <= n; ++id) first[id] += first[id - 1];
  out->children.assign(first[n], 0);
  for (uint32_t id = n - 1; id >= 1; --id) {
    if (out->idom[id] != Dominators::kUnreached) out->children[--first[out->idom[id] + 1]] = id;
  }
  // first[u + 1] is now where u's run starts: shift by one.
  memmove(first.data(), first.data() + 1, (size_t)n * sizeof(uint32_t));
  first[n] = (uint32_t)out->children.size();
  // The largest child of each object first (the lowest id of equals); the others stay in id order.
  const std::vector<uint64_t> &retained = out->retained;
  for (uint32_t id = 0; id < n; ++id) {
    uint32_t *begin = out->children.data() + first[id], *end = out->children.data() + first[id + 1];
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
