// A snapshot loaded for analysis: its info file parsed and its graph built, from a directory or an archive.
#pragma once

#include <string>

#include "heap_graph.h"
#include "snapshot_reader.h"

namespace snapshot_reader {

class Progress;

struct LoadedSnapshot {
  InfoFile info;
  HeapGraph graph;
};

// False with a message naming the file and, for the graph, the byte offset of the bad record.
bool load_snapshot(const std::string &path, LoadedSnapshot *out, Progress *progress, std::string *error);

// The limits an info file sets on its graph (of graph_bytes bytes, 0 when unknown).
GraphLimits graph_limits(const InfoFile &info, uint64_t graph_bytes);

// The graph alone, from bytes fed in two pieces cut at split (what the fuzz target and the tests
// use), under the given limits (graph_bytes is taken from size).
bool build_graph(const uint8_t *data, size_t size, GraphLimits limits, size_t split, HeapGraph *graph,
                 std::string *error);

}  // namespace snapshot_reader
