// The object graph of a snapshot in compact memory: one slot per temporary id in flat arrays
// (class id, shallow size, the range of its references), the references in two flat arrays
// (referee, kind and index), no allocation per object. Id 0, which the walk never hands out, is
// the super-root: its references are the snapshot's root references.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "snapshot_reader.h"

namespace snapshot_reader {

// An edge label: the JVMTI reference kind in bits 0-4, the field or element index above it.
constexpr uint32_t kLabelIndexLimit = 1u << 27;
inline uint32_t edge_kind(uint32_t label) { return label & 0x1F; }

// The referent field of a java.lang.ref.Reference is a field reference that does not keep its
// object alive; once known (mark_referents) it takes one of the kinds JVMTI leaves unused.
constexpr uint32_t kSoftReferent = 11, kWeakReferent = 12, kFinalReferent = 13, kPhantomReferent = 14;
inline bool is_referent_kind(uint32_t kind) { return kind >= kSoftReferent && kind <= kPhantomReferent; }
// Whether an edge keeps its referee alive: every kind but the referents, and soft ones on request.
inline bool is_strong(uint32_t label, bool soft_is_strong) {
  uint32_t kind = edge_kind(label);
  return !is_referent_kind(kind) || (soft_is_strong && kind == kSoftReferent);
}

// A root reference, in the order of the super-root's edges.
struct RootReference {
  uint32_t object = 0;
  uint8_t kind = 0;   // JVMTI reference kind (21 JNI global, 22 system class, 24 stack local, ...)
  int32_t depth = 0;  // stack locals: frame depth and slot
  int32_t slot = 0;
  uint64_t method = 0;
  uint64_t thread_id = 0;  // stack locals: the thread's Java id
};

// The stack of a thread, or one of its frames, as a node of the graph: the super-root refers to
// each thread's stack, the stack to its frames, a frame to the objects its locals hold. What such a
// node retains is what the thread's frames alone keep alive.
struct StackNode {
  uint64_t thread_id = 0;  // the thread's Java id
  int32_t depth = -1;      // the frame (0: the top one); -1 for the whole stack
  uint64_t method = 0;     // the frame's method
};

struct ClassLinks {
  uint32_t superclass = 0;
  std::vector<uint32_t> interfaces;  // directly implemented, in the graph's order
};

struct HeapGraph {
  uint32_t node_count = 1;         // ids 0 .. node_count - 1
  std::vector<uint32_t> class_id;  // per id: the class id of its object record (0: no class or no record)
  std::vector<uint32_t> shallow;   // per id: the size of its object record
  std::vector<uint32_t> first;     // per id: its first edge
  std::vector<uint32_t> degree;    // per id: how many edges follow it
  std::vector<uint32_t> target;    // per edge: the referee
  std::vector<uint32_t> label;     // per edge: kind and index
  std::unordered_map<uint32_t, uint32_t> large_indexes;      // edge -> index, for indexes >= kLabelIndexLimit
  std::vector<RootReference> roots;                          // the super-root's edges, in order
  std::vector<std::pair<uint32_t, uint32_t>> previous_tags;  // (id, low word of the previous tag), by id
  std::unordered_map<uint32_t, ClassLinks> class_links;      // by class id, from the graph's own references
  uint64_t objects = 0;                                      // object records
  uint64_t references = 0;                                   // reference records
  uint64_t total_shallow = 0;                                // sum of the object records' sizes
  uint32_t first_stack_node = 0;                             // ids from here up are stack nodes
  std::vector<StackNode> stack_nodes;                        // by id - first_stack_node

  bool is_stack_node(uint32_t id) const { return id >= first_stack_node && id < node_count; }
  const StackNode &stack_node(uint32_t id) const { return stack_nodes[id - first_stack_node]; }
  // The objects the walk named: every id but the super-root and the stack nodes.
  uint32_t object_ids() const { return first_stack_node; }

  uint32_t edge_index(uint32_t edge) const {
    uint32_t index = label[edge] >> 5;
    if (index != (kLabelIndexLimit - 1)) return index;
    auto found = large_indexes.find(edge);
    return found == large_indexes.end() ? index : found->second;
  }
};

// What is known about a graph before its records: every limit is 0 when unknown.
struct GraphLimits {
  uint64_t object_count = 0;     // the Summary's "Object count": every id is below it
  uint64_t reference_count = 0;  // the Summary's "Reference count", to size the edge arrays once
  uint64_t local_count = 0;      // the Summary's "Local reference count": stack nodes to make room for
  uint64_t class_max = 0;        // the largest class id of the info file
  uint64_t graph_bytes = 0;      // the size of oom_graph.bin
};

// Builds a HeapGraph from the parser's records. Every id must be below the object count or, without
// one, below what a graph of that size can name (the walk hands its ids out one by one after the
// classes, each with an object record of its own). The arrays are sized once for the smaller of
// the two and grow when needed.
class GraphBuilder {
 public:
  GraphBuilder(HeapGraph *graph, const GraphLimits &limits);
  // The visitor for GraphParser; it stops the parser on an unusable record.
  void visit(GraphParser &parser, const Reference &reference, const Object *object);
  // Lays the edges out by referrer and appends the root edges as the super-root's and the stack
  // nodes' (after the objects' ids), at the end of the graph (end_offset bytes). False with a message when the graph
  // holds another number of references than the Summary counts (it was cut at a record's end) or is too large for
  // 32-bit edge positions.
  bool finish(uint64_t end_offset, std::string *error);

 private:
  bool grow(uint64_t id);
  void add_root_edges();
  HeapGraph *graph_;
  uint64_t id_limit_ = 0;             // 0: none
  uint64_t expected_references_ = 0;  // 0: unknown
  uint64_t reserved_nodes_ = 0;       // room kept for the stack nodes
  uint64_t largest_id_ = 0;
  std::string limit_reason_;
  uint32_t run_owner_ = 0;  // referrer of the edges being appended
  bool run_scattered_ = false;
  // Edges of a referrer met again after other referrers: (referrer, first edge, count).
  struct Run {
    uint32_t owner, first, count;
  };
  std::vector<Run> scattered_;
  std::vector<uint32_t> root_targets_;
};

}  // namespace snapshot_reader
