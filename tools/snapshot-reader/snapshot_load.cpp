#include "snapshot_load.h"

#include <memory>

#include "progress.h"
#include "snapshot_input.h"

namespace snapshot_reader {

namespace {

uint64_t summary_value(const InfoFile &info, const char *key) {
  auto found = info.summary.find(key);
  return found == info.summary.end() || found->second < 0 ? 0 : (uint64_t)found->second;
}

// The graph's records go through the parser into the builder.
struct Pipeline {
  explicit Pipeline(HeapGraph *graph, const GraphLimits &limits)
      : builder(graph, limits),
        parser([this](const Reference &reference, const Object *object) { builder.visit(parser, reference, object); }) {
  }
  GraphBuilder builder;
  GraphParser parser;
};

}  // namespace

GraphLimits graph_limits(const InfoFile &info, uint64_t graph_bytes) {
  GraphLimits limits;
  limits.object_count = summary_value(info, "Object count");
  limits.reference_count = summary_value(info, "Reference count");
  limits.local_count = summary_value(info, "Local reference count");
  limits.class_max = info.classes.empty() ? summary_value(info, "Class max ID") : info.classes.rbegin()->first;
  limits.graph_bytes = graph_bytes;
  return limits;
}

bool load_snapshot(const std::string &path, LoadedSnapshot *out, Progress *progress, std::string *error) {
  std::unique_ptr<Pipeline> pipeline;
  std::string info_error;
  SnapshotSink sink;
  sink.info = [&](std::string text) {
    if (parse_info(text, &out->info, &info_error)) return true;
    info_error = "oom_info.txt: " + info_error;
    return false;
  };
  // The Summary's counts and the graph's size bound every id and size the arrays once.
  sink.graph_size = [&](uint64_t size) {
    pipeline = std::make_unique<Pipeline>(&out->graph, graph_limits(out->info, size));
  };
  sink.graph = [&](const uint8_t *data, size_t size) {
    if (!pipeline) pipeline = std::make_unique<Pipeline>(&out->graph, graph_limits(out->info, 0));
    return pipeline->parser.feed(data, size);
  };
  bool read = read_snapshot_input(path, sink, progress, error);
  if (!info_error.empty()) {
    *error = info_error;
    return false;
  }
  if (read && pipeline) pipeline->parser.finish();
  if (pipeline && pipeline->parser.failed()) {
    *error = "oom_graph.bin: " + pipeline->parser.error();
    return false;
  }
  if (!read) return false;
  if (!pipeline) pipeline = std::make_unique<Pipeline>(&out->graph, graph_limits(out->info, 0));  // an empty graph
  if (pipeline->builder.finish(pipeline->parser.offset(), error)) return true;
  *error = "oom_graph.bin: " + *error;
  return false;
}

bool build_graph(const uint8_t *data, size_t size, GraphLimits limits, size_t split, HeapGraph *graph,
                 std::string *error) {
  limits.graph_bytes = size;
  Pipeline pipeline(graph, limits);
  // Two pieces, so that records cut between them are put together again.
  size_t half = split < size ? split : size;
  GraphParser &parser = pipeline.parser;
  bool ok = parser.feed(data, half) && parser.feed(data + half, size - half) && parser.finish();
  if (!ok) {
    *error = parser.error();
    return false;
  }
  return pipeline.builder.finish(parser.offset(), error);
}

}  // namespace snapshot_reader
