#include "heap_graph.h"

#include <algorithm>
#include <unordered_map>

namespace snapshot_reader {

namespace {

constexpr uint64_t kMaxIds = 0xFFFFFFF0ULL;                   // ids and edge positions are kept in 32 bits
constexpr uint64_t kMinReferenceBytes = 9;                    // kind byte and two 4-byte ids
constexpr uint64_t kMinObjectBytes = kMinReferenceBytes + 2;  // with the shortest object record

std::string at(uint64_t offset, const std::string &what) { return "offset " + std::to_string(offset) + ": " + what; }

}  // namespace

GraphBuilder::GraphBuilder(HeapGraph *graph, const GraphLimits &limits)
    : graph_(graph), expected_references_(limits.reference_count) {
  *graph_ = HeapGraph{};
  // The walk hands its ids out one by one after the classes, each with an object record after its
  // first reference: a graph of n bytes names at most n / 11 of them.
  uint64_t nameable = limits.graph_bytes > 0 ? limits.class_max + limits.graph_bytes / kMinObjectBytes + 2 : 0;
  if (limits.object_count > 0) {
    id_limit_ = limits.object_count;
    limit_reason_ = "is not below the object count " + std::to_string(limits.object_count);
  } else if (nameable > 0) {
    id_limit_ = nameable;
    limit_reason_ = "is more than a graph of " + std::to_string(limits.graph_bytes) + " bytes can name";
  }
  id_limit_ = std::min(id_limit_, kMaxIds);
  // Sized once for what the graph can name (the arrays grow for ids beyond that).
  // Each stack local adds at most a thread's stack node and a frame's, each with an edge to it.
  uint64_t slots = std::max<uint64_t>(1, nameable > 0 ? std::min(id_limit_, nameable) : id_limit_);
  uint64_t locals = limits.local_count;
  if (limits.graph_bytes > 0) locals = std::min(locals, limits.graph_bytes / kMinReferenceBytes);
  reserved_nodes_ = 2 * locals;
  graph_->node_count = (uint32_t)slots;
  for (std::vector<uint32_t> *array : {&graph_->class_id, &graph_->shallow, &graph_->first, &graph_->degree}) {
    if (slots + reserved_nodes_ < kMaxIds) array->reserve(slots + reserved_nodes_);
    array->assign(slots, 0);
  }
  uint64_t edges = limits.reference_count;
  if (limits.graph_bytes > 0) edges = std::min(edges, limits.graph_bytes / kMinReferenceBytes);
  if (edges > 0 && edges + reserved_nodes_ < kMaxIds) {
    graph_->target.reserve(edges + reserved_nodes_);
    graph_->label.reserve(edges + reserved_nodes_);
  }
}

bool GraphBuilder::grow(uint64_t id) {
  if (id < graph_->node_count) return true;
  if (id >= kMaxIds) return false;
  uint64_t size = std::min<uint64_t>(std::max<uint64_t>(id + 1, (uint64_t)graph_->node_count * 2), kMaxIds);
  for (std::vector<uint32_t> *array : {&graph_->class_id, &graph_->shallow, &graph_->first, &graph_->degree}) {
    array->resize(size, 0);
  }
  graph_->node_count = (uint32_t)size;
  return true;
}

void GraphBuilder::visit(GraphParser &parser, const Reference &reference, const Object *object) {
  HeapGraph &graph = *graph_;
  uint64_t largest = std::max({reference.referrer, reference.referee, object ? (uint64_t)object->class_id : 0});
  if (id_limit_ > 0 && largest >= id_limit_) {
    parser.fail(at(reference.offset, "id " + std::to_string(largest) + " " + limit_reason_));
    return;
  }
  largest_id_ = std::max(largest_id_, largest);
  if (!grow(largest)) {
    parser.fail(at(reference.offset, "id " + std::to_string(largest) + " is too large for this reader"));
    return;
  }
  if (reference.referee == 0) {
    parser.fail(at(reference.offset, "a reference to id 0"));
    return;
  }
  ++graph.references;
  uint32_t referrer = (uint32_t)reference.referrer, referee = (uint32_t)reference.referee;
  if (referrer == 0) {
    RootReference root;
    root.object = referee;
    root.kind = (uint8_t)reference.kind;
    root.depth = reference.depth;
    root.slot = reference.slot;
    root.method = reference.method;
    root.thread_id = reference.thread_id;
    graph.roots.push_back(root);
  } else {
    uint64_t edge = graph.target.size();
    if (edge + graph.roots.size() >= kMaxIds) {
      parser.fail(at(reference.offset, "too many references for this reader"));
      return;
    }
    if (referrer != run_owner_) {
      run_owner_ = referrer;
      run_scattered_ = graph.degree[referrer] > 0;
      if (run_scattered_) {
        scattered_.push_back({referrer, (uint32_t)edge, 0});
      } else {
        graph.first[referrer] = (uint32_t)edge;
      }
    }
    if (run_scattered_) {
      ++scattered_.back().count;
    } else {
      ++graph.degree[referrer];
    }
    graph.target.push_back(referee);
    uint32_t index = reference.index;
    graph.label.push_back(reference.kind | (std::min(index, kLabelIndexLimit - 1) << 5));
    if (index >= kLabelIndexLimit - 1) graph.large_indexes[(uint32_t)edge] = index;
    if (reference.kind == 10) graph.class_links[referrer].superclass = referee;
    if (reference.kind == 7) graph.class_links[referrer].interfaces.push_back(referee);
  }
  if (object != nullptr) {
    ++graph.objects;
    graph.class_id[referee] = object->class_id;
    graph.shallow[referee] = object->size;
    graph.total_shallow += object->size;
    if (object->has_previous_tag && object->previous_tag != 0)
      graph.previous_tags.push_back({referee, object->previous_tag});
  }
}

bool GraphBuilder::finish(uint64_t end_offset, std::string *error) {
  HeapGraph &graph = *graph_;
  if (expected_references_ > 0 && graph.references != expected_references_) {
    if (error) {
      *error = at(end_offset, "the graph ends after " + std::to_string(graph.references) + " references, but the " +
                                  "info file's Summary counts " + std::to_string(expected_references_));
    }
    return false;
  }
  if (largest_id_ + 1 < graph.node_count) {  // sized for more ids than the graph named
    graph.node_count = (uint32_t)(largest_id_ + 1);
    for (std::vector<uint32_t> *array : {&graph.class_id, &graph.shallow, &graph.first, &graph.degree}) {
      array->resize(graph.node_count);
    }
  }
  if (!scattered_.empty()) {
    // Some referrer's edges came in more than one run: lay every referrer's edges out together.
    std::stable_sort(scattered_.begin(), scattered_.end(),
                     [](const Run &a, const Run &b) { return a.owner < b.owner; });
    std::vector<uint32_t> target, label;
    target.reserve(graph.target.size() + graph.roots.size() + reserved_nodes_);
    label.reserve(graph.target.size() + graph.roots.size() + reserved_nodes_);
    std::unordered_map<uint32_t, uint32_t> large;
    auto copy = [&](uint32_t from, uint32_t count) {
      for (uint32_t i = from; i < from + count; ++i) {
        auto found = graph.large_indexes.find(i);
        if (found != graph.large_indexes.end()) large[(uint32_t)target.size()] = found->second;
        target.push_back(graph.target[i]);
        label.push_back(graph.label[i]);
      }
    };
    size_t run = 0;
    for (uint32_t id = 1; id < graph.node_count; ++id) {
      uint32_t start = (uint32_t)target.size();
      copy(graph.first[id], graph.degree[id]);
      while (run < scattered_.size() && scattered_[run].owner < id) ++run;
      while (run < scattered_.size() && scattered_[run].owner == id) {
        copy(scattered_[run].first, scattered_[run].count);
        ++run;
      }
      graph.first[id] = start;
      graph.degree[id] = (uint32_t)target.size() - start;
    }
    graph.target.swap(target);
    graph.label.swap(label);
    graph.large_indexes.swap(large);
    scattered_.clear();
    scattered_.shrink_to_fit();
  }
  if (graph.target.size() + 3 * graph.roots.size() >= kMaxIds ||
      (uint64_t)graph.node_count + 2 * graph.roots.size() >= kMaxIds) {
    if (error) *error = "too many references for this reader";
    return false;
  }
  add_root_edges();
  std::sort(graph.previous_tags.begin(), graph.previous_tags.end());
  return true;
}

void GraphBuilder::add_root_edges() {
  HeapGraph &graph = *graph_;
  // The stack locals by thread and frame: a stack node per thread, then one per frame of it.
  std::vector<uint32_t> locals;  // positions in graph.roots
  for (uint32_t r = 0; r < graph.roots.size(); ++r) {
    if (graph.roots[r].kind == 24) locals.push_back(r);
  }
  std::stable_sort(locals.begin(), locals.end(), [&](uint32_t x, uint32_t y) {
    const RootReference &a = graph.roots[x], &b = graph.roots[y];
    return a.thread_id != b.thread_id ? a.thread_id < b.thread_id : a.depth < b.depth;
  });
  graph.first_stack_node = graph.node_count;
  std::vector<uint32_t> frame_of(locals.size());    // per local: its frame's node
  std::unordered_map<uint64_t, uint32_t> stack_of;  // thread id -> its stack's node
  for (size_t k = 0; k < locals.size(); ++k) {
    const RootReference &root = graph.roots[locals[k]];
    bool new_thread = k == 0 || graph.roots[locals[k - 1]].thread_id != root.thread_id;
    if (new_thread) {
      stack_of[root.thread_id] = graph.first_stack_node + (uint32_t)graph.stack_nodes.size();
      graph.stack_nodes.push_back({root.thread_id, -1, 0});
    }
    if (new_thread || graph.roots[locals[k - 1]].depth != root.depth) {
      graph.stack_nodes.push_back({root.thread_id, root.depth, root.method});
    }
    frame_of[k] = graph.first_stack_node + (uint32_t)graph.stack_nodes.size() - 1;
  }
  uint32_t nodes = graph.first_stack_node + (uint32_t)graph.stack_nodes.size();
  for (std::vector<uint32_t> *array : {&graph.class_id, &graph.shallow, &graph.first, &graph.degree}) {
    if (array->capacity() < nodes) array->reserve(nodes);  // exactly: these arrays are the graph's largest
    array->resize(nodes, 0);
    if (array->capacity() > nodes + nodes / 8 + 1024) array->shrink_to_fit();  // sized for far more ids
  }
  graph.node_count = nodes;
  size_t edges = graph.target.size() + graph.roots.size() + graph.stack_nodes.size();
  if (graph.target.capacity() < edges) graph.target.reserve(edges);
  if (graph.label.capacity() < edges) graph.label.reserve(edges);
  auto edge = [&](uint32_t to, uint32_t kind) {
    graph.target.push_back(to);
    graph.label.push_back(kind);
  };
  // The super-root refers to the root objects and to each thread's stack, where its first local is.
  graph.first[0] = (uint32_t)graph.target.size();
  for (const RootReference &root : graph.roots) {
    if (root.kind != 24) {
      edge(root.object, root.kind);
      continue;
    }
    auto found = stack_of.find(root.thread_id);
    if (found == stack_of.end()) continue;
    edge(found->second, 24);
    stack_of.erase(found);
  }
  graph.degree[0] = (uint32_t)graph.target.size() - graph.first[0];
  // A stack refers to its frames, a frame to the objects of its locals.
  for (uint32_t node = graph.first_stack_node, k = 0; node < nodes; ++node) {
    graph.first[node] = (uint32_t)graph.target.size();
    if (graph.stack_node(node).depth < 0) {
      for (uint32_t frame = node + 1; frame < nodes && graph.stack_node(frame).depth >= 0; ++frame) edge(frame, 24);
    } else {
      for (; k < locals.size() && frame_of[k] == node; ++k) edge(graph.roots[locals[k]].object, 24);
    }
    graph.degree[node] = (uint32_t)graph.target.size() - graph.first[node];
  }
}

}  // namespace snapshot_reader
