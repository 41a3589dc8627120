#include "snapshot_load.h"

#include <memory>

#include "progress.h"
#include "snapshot_input.h"

namespace snapshot_reader {

namespace {

int64_t summary_value(const InfoFile &info, const char *key) {
  auto found = info.summary.find(key);
  return found == info.summary.end() || found->second < 0 ? 0 : found->second;
}

}  // namespace

bool load_snapshot(const std::string &path, LoadedSnapshot *out, Progress *progress, std::string *error) {
  std::unique_ptr<GraphBuilder> builder;
  std::unique_ptr<GraphParser> parser;
  std::string info_error;
  SnapshotSink sink;
  sink.info = [&](std::string text) {
    if (!parse_info(text, &out->info, &info_error)) {
      info_error = "oom_info.txt: " + info_error;
      return false;
    }
    // The Summary's counts size the arrays once and bound every id.
    builder = std::make_unique<GraphBuilder>(&out->graph, (uint64_t)summary_value(out->info, "Object count"),
                                             (uint64_t)summary_value(out->info, "Reference count"));
    parser = std::make_unique<GraphParser>([&](const Reference &reference, const Object *object) {
      builder->visit(*parser, reference, object);
    });
    return true;
  };
  sink.graph = [&](const uint8_t *data, size_t size) { return parser->feed(data, size); };
  bool read = read_snapshot_input(path, sink, progress, error);
  if (!info_error.empty()) {
    *error = info_error;
    return false;
  }
  if (read && parser) parser->finish();
  if (parser && parser->failed()) {
    *error = "oom_graph.bin: " + parser->error();
    return false;
  }
  if (!read) return false;
  return builder->finish(error);
}

bool build_graph(const uint8_t *data, size_t size, uint64_t id_limit, size_t split, HeapGraph *graph,
                 std::string *error) {
  GraphBuilder builder(graph, id_limit, 0);
  GraphParser *self = nullptr;
  GraphParser parser([&](const Reference &reference, const Object *object) { builder.visit(*self, reference, object); });
  self = &parser;
  // Two pieces, so that records cut between them are put together again.
  size_t half = split < size ? split : size;
  bool ok = parser.feed(data, half) && parser.feed(data + half, size - half) && parser.finish();
  if (!ok) {
    *error = parser.error();
    return false;
  }
  return builder.finish(error);
}

}  // namespace snapshot_reader
