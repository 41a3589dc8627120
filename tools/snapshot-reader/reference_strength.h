// Which references keep an object alive. The referent of a java.lang.ref.Reference does not: a
// soft, weak or phantom reference, or the finalizer's reference to an object waiting for
// finalization, leaves its object to the collector. Those fields get kinds of their own in the
// graph, so that dominators and paths from the roots follow strong references only.
#pragma once

#include <cstdint>

#include "dominators.h"
#include "field_names.h"
#include "heap_graph.h"
#include "snapshot_reader.h"

namespace snapshot_reader {

// Relabels the referent field edges of every instance of a Reference subclass (the class
// hierarchy from the graph's superclass references) with kSoftReferent, kWeakReferent,
// kFinalReferent or kPhantomReferent. Returns how many edges it relabelled.
uint64_t mark_referents(HeapGraph *graph, const InfoFile &info, const FieldNames &names);

// The objects the strong references do not reach, by the first kind of referent that reaches them
// (soft, weak, final, phantom, in that order; soft ones are strong on request).
struct WeakReach {
  uint64_t objects[4] = {0, 0, 0, 0};  // soft, weak, final, phantom
  uint64_t bytes[4] = {0, 0, 0, 0};
  uint64_t total_objects() const { return objects[0] + objects[1] + objects[2] + objects[3]; }
  uint64_t total_bytes() const { return bytes[0] + bytes[1] + bytes[2] + bytes[3]; }
};
WeakReach weak_reach(const HeapGraph &graph, const Dominators &dominators);

const char *referent_kind_name(uint32_t kind);  // "soft", "weak", "final", "phantom"

}  // namespace snapshot_reader
