// What filled the heap: the class histogram with retained sizes, the biggest dominators, the leak
// suspects with their paths from the GC roots, and the allocation points joined to live objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dominators.h"
#include "field_names.h"
#include "heap_graph.h"
#include "snapshot_reader.h"

namespace snapshot_reader {

struct Analysis {
  const HeapGraph &graph;
  const Dominators &dominators;
  const InfoFile &info;
  const FieldNames &names;
  uint64_t heap() const { return dominators.retained.empty() ? 0 : dominators.retained[0]; }
  uint64_t reachable_objects() const;  // what the strong references reach, the stack nodes left out
};

struct ClassRow {
  uint32_t class_id = 0;
  uint64_t instances = 0;
  uint64_t shallow = 0;
  uint64_t retained = 0;  // the dominator subtrees of its instances, each object counted once
};
// Every class with reached instances, by retained bytes, largest first. The retained bytes per
// class id come from a walk of the dominator tree, or from one made already (dominator_paths).
std::vector<ClassRow> class_histogram(const Analysis &analysis, const std::vector<uint64_t> *retained = nullptr);

// The ids of the top objects by retained size (the super-root left out).
std::vector<uint32_t> top_dominators(const Analysis &analysis, size_t top);

struct PathStep {
  uint32_t id = 0;
  std::string via;  // the reference from the step before (empty for the root object)
};

struct RootPath {
  bool found = false;
  unsigned root_kind = 0;
  std::string thread;           // for stack and thread roots: the thread's name and Java id
  std::string frame;            // for stack locals: the method and depth
  std::vector<PathStep> steps;  // the root object first, the target last
};

// The shortest chain of strong references from a GC root; roots that outlive a thread's frames
// (classes, JNI globals, monitors) are preferred, stack and thread roots serve what only they reach.
std::vector<RootPath> paths_from_roots(const Analysis &analysis, const std::vector<uint32_t> &targets);
// Up to count distinct paths per target: the shortest first, then one through each other strong
// reference to the target (those from permanent roots first, shorter ones first).
std::vector<std::vector<RootPath>> distinct_paths_from_roots(const Analysis &analysis,
                                                             const std::vector<uint32_t> &targets, size_t count);

// The live objects of one allocation point (allocation_sites.h).
struct AllocationRow {
  AllocationPoint point;
  bool listed = false;  // named in the info file's Allocation Points
  uint64_t live = 0;    // followed objects the strong references reach
  uint64_t shallow = 0;
  uint64_t retained = 0;  // counted once
};

struct Suspect {
  uint32_t id = 0;           // the object, or for a group the dominator of its members (0: the roots)
  bool group = false;        // same-class siblings rather than one object
  uint32_t group_class = 0;  // for a group: the members' class
  uint64_t members = 1;
  uint64_t retained = 0;
  RootPath path;                     // to the object (for a group: to the dominator, or to its largest member
                                     // when they are held by the roots directly)
  std::vector<RootPath> more_paths;  // other distinct paths to it, when more than one was asked for
  std::vector<PathStep> inside;      // below the object: the chain of dominated objects that hold most of it
  uint32_t held_class = 0;           // the largest class group held at the end of that chain
  uint64_t held_members = 0;
  uint64_t held_retained = 0;
  // The largest member of the group (the suspect's own for a group, else the one held at the end of
  // the inside chain) and the chain that holds most of it.
  std::vector<PathStep> sample;
  // Where the holder (the object, or a group's dominator) was made, when the statistics followed it.
  bool holder_followed = false;
  AllocationPoint holder_site;
  // The allocation points of the followed objects it holds, by retained bytes (find_suspect_sites).
  std::vector<AllocationRow> sites;
};
// Objects and same-class sibling groups under one dominator retaining at least share of the heap,
// largest first, at most a thousand (class objects and threads' stacks are looked through to what
// they hold), each with up to path_count distinct paths from the roots (none for 0).
std::vector<Suspect> find_suspects(const Analysis &analysis, double share = 0.10, size_t path_count = 1);

std::string root_kind_name(unsigned kind);
std::string method_name(const Analysis &analysis, uint64_t method);  // "java.util.HashMap.put"
std::string object_label(const Analysis &analysis, uint32_t id);     // "java.util.HashMap #981"

}  // namespace snapshot_reader
