// Reading a snapshot from its directory or straight from its .tar.bz2 archive: the info file whole,
// then the graph in pieces, so that no copy of the graph is kept in memory or on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace snapshot_reader {

class Progress;

struct SnapshotSink {
  // The whole oom_info.txt; false stops the reading.
  std::function<bool(std::string text)> info;
  // The size of oom_graph.bin, once, before its first piece (may be left empty).
  std::function<void(uint64_t size)> graph_size;
  // The next piece of oom_graph.bin; false stops the reading (the sink knows why).
  std::function<bool(const uint8_t *data, size_t size)> graph;
};

// PATH is a snapshot directory or an archive (recognised by its bzip2 signature). The info file
// comes before the graph. False with a message in error when a file cannot be read, the archive is
// damaged or lacks one of the two files; false with an empty error when the sink stopped.
bool read_snapshot_input(const std::string &path, const SnapshotSink &sink, Progress *progress, std::string *error);

}  // namespace snapshot_reader
