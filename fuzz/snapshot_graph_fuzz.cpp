// The snapshot analyser's graph parser and what runs on its result. The first two bytes choose the
// limits and where the graph is cut into two pieces; the rest is oom_graph.bin. A graph that is
// refused must be refused however it is cut; a graph that is read must read the same however it
// is cut, and its dominator tree must hold every reached byte once.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "allocation_sites.h"
#include "analysis.h"
#include "findings.h"
#include "snapshot_diff.h"
#include "snapshot_load.h"

using namespace snapshot_reader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  GraphLimits limits;
  limits.object_count = (data[0] & 0x7F) * 8;  // 0: no Summary, the graph's size bounds the ids
  limits.class_max = data[0] >> 7 ? 16 : 0;
  size_t split = (size_t)data[1] * (size - 2) / 255;
  const uint8_t *graph_bytes = data + 2;
  size -= 2;

  HeapGraph graph, whole;
  std::string error, whole_error;
  bool read = build_graph(graph_bytes, size, limits, split, &graph, &error);
  bool read_whole = build_graph(graph_bytes, size, limits, size, &whole, &whole_error);
  if (read != read_whole || error != whole_error) abort();
  if (!read) {
    if (error.rfind("offset ", 0) != 0 && error.find("too many references") == std::string::npos) abort();
    return 0;
  }
  if (graph.target != whole.target || graph.label != whole.label || graph.shallow != whole.shallow) abort();

  InfoFile info;
  FieldNames names(graph, info);
  Dominators dominators;
  compute_dominators(graph, &dominators, nullptr, (data[0] & 1) != 0);
  uint64_t reached = 0;
  for (uint32_t id = 1; id < graph.node_count; ++id) {
    if (dominators.idom[id] == Dominators::kUnreached) continue;
    reached += graph.shallow[id];
    if (dominators.retained[id] < graph.shallow[id]) abort();
  }
  if (dominators.retained[0] != reached) abort();

  Analysis analysis{graph, dominators, info, names};
  gather_findings(analysis, 0.05, 3);
  class_histogram(analysis);
  allocation_rows(analysis);
  Profile profile = make_profile(analysis);
  compare_profiles(profile, profile, 20);
  return 0;
}
