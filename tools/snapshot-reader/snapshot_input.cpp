#include "snapshot_input.h"

#include <bzlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "progress.h"

namespace snapshot_reader {

namespace {

constexpr size_t kPiece = 1 << 20;

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint64_t file_size(FILE *file) {
  struct stat info;
  return fstat(fileno(file), &info) == 0 ? (uint64_t)info.st_size : 0;
}

bool read_directory_input(const std::string &directory, const SnapshotSink &sink, Progress *progress,
                          std::string *error) {
  std::string info_path = directory + "/oom_info.txt", graph_path = directory + "/oom_graph.bin";
  File info(fopen(info_path.c_str(), "rb"));
  if (!info) {
    *error = "cannot read " + info_path + ": " + strerror(errno);
    return false;
  }
  File graph(fopen(graph_path.c_str(), "rb"));
  if (!graph) {
    *error = "cannot read " + graph_path + ": " + strerror(errno);
    return false;
  }
  std::string text;
  std::vector<uint8_t> buffer(kPiece);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), info.get())) > 0) text.append((const char *)buffer.data(), got);
  if (ferror(info.get())) {
    *error = "cannot read " + info_path;
    return false;
  }
  if (!sink.info(std::move(text))) return false;
  uint64_t total = file_size(graph.get()), done = 0;
  if (sink.graph_size) sink.graph_size(total);
  if (progress) progress->step("reading " + graph_path);
  while ((got = fread(buffer.data(), 1, buffer.size(), graph.get())) > 0) {
    if (!sink.graph(buffer.data(), got)) return false;
    done += got;
    if (progress) progress->update(done, total);
  }
  if (ferror(graph.get())) {
    *error = "cannot read " + graph_path;
    return false;
  }
  return true;
}

// The tar stream inside the archive: 512-byte headers, each followed by its entry's data padded to
// a multiple of 512, and zero blocks at the end. The agent writes the info file first; an archive
// packed otherwise has its graph skipped on the first pass and read on a second one.
class TarReader {
 public:
  enum class Pass { kFirst, kGraphOnly };
  TarReader(const SnapshotSink &sink, Pass pass, std::string *error) : sink_(sink), pass_(pass), error_(error) {}
  // After a first pass that met the graph before the info file.
  bool graph_skipped() const { return graph_skipped_; }

  bool consume(const uint8_t *data, size_t size) {
    while (size > 0 && !ended_) {
      if (remaining_ == 0 && padding_ == 0) {
        size_t take = std::min(size, sizeof header_ - header_fill_);
        memcpy(header_ + header_fill_, data, take);
        header_fill_ += take;
        data += take;
        size -= take;
        position_ += take;
        if (header_fill_ == sizeof header_ && !start_entry()) return false;
        continue;
      }
      if (remaining_ > 0) {
        size_t take = (size_t)std::min<uint64_t>(size, remaining_);
        if (!entry_bytes(data, take)) return false;
        data += take;
        size -= take;
        remaining_ -= take;
        position_ += take;
        if (remaining_ == 0 && !end_entry()) return false;
        continue;
      }
      size_t take = (size_t)std::min<uint64_t>(size, padding_);
      data += take;
      size -= take;
      padding_ -= take;
      position_ += take;
    }
    return true;
  }

  // After the whole stream: both files must have been there, the last one complete.
  bool finish() {
    if (remaining_ > 0 || (header_fill_ > 0 && !ended_)) {
      *error_ = "the archive ends inside " + (remaining_ > 0 ? "the entry " + name_ : std::string("a tar header")) +
                " (uncompressed offset " + std::to_string(position_) + ")";
      return false;
    }
    if (!info_seen_ || !graph_seen_) {
      *error_ = std::string("the archive has no ") + (info_seen_ ? "oom_graph.bin" : "oom_info.txt");
      return false;
    }
    return true;
  }

 private:
  enum class Entry { kSkip, kInfo, kGraph };

  bool start_entry() {
    header_fill_ = 0;
    bool zero = true;
    for (uint8_t byte : header_) zero = zero && byte == 0;
    if (zero) {  // the first of the two end blocks
      ended_ = true;
      return true;
    }
    name_.assign((const char *)header_, strnlen((const char *)header_, 100));
    uint64_t size = 0;
    if (header_[124] & 0x80) {  // base-256: the low 8 bytes of the field, big-endian
      for (int i = 128; i < 136; ++i) size = (size << 8) | header_[i];
    } else {
      for (int i = 124; i < 136 && header_[i] != 0 && header_[i] != ' '; ++i) {
        if (header_[i] < '0' || header_[i] > '7') {
          *error_ =
              "damaged tar header for " + name_ + " (uncompressed offset " + std::to_string(position_ - 512) + ")";
          return false;
        }
        size = size * 8 + (header_[i] - '0');
      }
    }
    size_t slash = name_.rfind('/');
    std::string base = slash == std::string::npos ? name_ : name_.substr(slash + 1);
    entry_ = base == "oom_info.txt" ? Entry::kInfo : base == "oom_graph.bin" ? Entry::kGraph : Entry::kSkip;
    if ((entry_ == Entry::kInfo && info_seen_) || (entry_ == Entry::kGraph && graph_seen_)) {
      *error_ = "the archive has " + base + " twice";
      return false;
    }
    if (entry_ == Entry::kInfo) {
      info_seen_ = true;
      if (pass_ == Pass::kGraphOnly) entry_ = Entry::kSkip;
    } else if (entry_ == Entry::kGraph) {
      graph_seen_ = true;
      if (pass_ == Pass::kFirst && !info_seen_) {
        graph_skipped_ = true;
        entry_ = Entry::kSkip;
      } else if (sink_.graph_size) {
        sink_.graph_size(size);
      }
    }
    remaining_ = size;
    padding_ = (512 - size % 512) % 512;
    return size > 0 || end_entry();
  }

  bool entry_bytes(const uint8_t *data, size_t size) {
    if (entry_ == Entry::kInfo) info_.append((const char *)data, size);
    if (entry_ == Entry::kGraph) return sink_.graph(data, size);
    return true;
  }

  bool end_entry() {
    if (entry_ == Entry::kInfo) return sink_.info(std::move(info_));
    return true;
  }

  const SnapshotSink &sink_;
  Pass pass_;
  std::string *error_;
  uint8_t header_[512];
  size_t header_fill_ = 0;
  uint64_t remaining_ = 0, padding_ = 0, position_ = 0;
  bool ended_ = false, info_seen_ = false, graph_seen_ = false, graph_skipped_ = false;
  Entry entry_ = Entry::kSkip;
  std::string name_, info_;
};

// One pass over the archive: the bzip2 stream (or streams, one after the other) into the tar reader.
bool decompress(const std::string &path, FILE *file, TarReader &tar, Progress *progress, std::string *error) {
  std::vector<char> in(kPiece), out(kPiece);
  bz_stream stream;
  memset(&stream, 0, sizeof stream);
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
    *error = "cannot start the bzip2 decompression";
    return false;
  }
  struct End {
    bz_stream *stream;
    ~End() { BZ2_bzDecompressEnd(stream); }
  } end{&stream};
  uint64_t total = file_size(file), done = 0;
  if (progress) progress->step("reading " + path);
  bool stream_ended = false, output_full = false;
  for (;;) {
    if (stream.avail_in == 0 && !output_full) {
      size_t got = fread(in.data(), 1, in.size(), file);
      if (got == 0) break;
      done += got;
      if (progress) progress->update(done, total);
      stream.next_in = in.data();
      stream.avail_in = (unsigned)got;
    }
    if (stream_ended) {  // concatenated bzip2 streams decompress one after the other
      BZ2_bzDecompressEnd(&stream);
      char *next = stream.next_in;
      unsigned avail = stream.avail_in;
      memset(&stream, 0, sizeof stream);
      if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
        *error = "cannot start the bzip2 decompression";
        return false;
      }
      stream.next_in = next;
      stream.avail_in = avail;
      stream_ended = false;
    }
    stream.next_out = out.data();
    stream.avail_out = (unsigned)out.size();
    int result = BZ2_bzDecompress(&stream);
    if (result != BZ_OK && result != BZ_STREAM_END) {
      *error = "the archive is damaged (bzip2 error " + std::to_string(result) + " after " +
               std::to_string(done - stream.avail_in) + " compressed bytes)";
      return false;
    }
    output_full = stream.avail_out == 0;
    size_t produced = out.size() - stream.avail_out;
    if (produced > 0 && !tar.consume((const uint8_t *)out.data(), produced)) return false;
    if (result == BZ_STREAM_END) stream_ended = true;
  }
  if (ferror(file)) {
    *error = "cannot read " + path;
    return false;
  }
  if (!stream_ended) {
    *error = "the archive is cut off (the bzip2 stream does not end)";
    return false;
  }
  return tar.finish();
}

bool read_archive_input(const std::string &path, FILE *file, const SnapshotSink &sink, Progress *progress,
                        std::string *error) {
  TarReader first(sink, TarReader::Pass::kFirst, error);
  if (!decompress(path, file, first, progress, error)) return false;
  if (!first.graph_skipped()) return true;
  rewind(file);
  TarReader second(sink, TarReader::Pass::kGraphOnly, error);
  return decompress(path + " (again, for its graph)", file, second, progress, error);
}

}  // namespace

bool read_snapshot_input(const std::string &path, const SnapshotSink &sink, Progress *progress, std::string *error) {
  error->clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = strerror(errno);
    return false;
  }
  bool ok;
  if (S_ISDIR(info.st_mode)) {
    ok = read_directory_input(path, sink, progress, error);
  } else {
    File file(fopen(path.c_str(), "rb"));
    char magic[3] = {0, 0, 0};
    if (!file || fread(magic, 1, 3, file.get()) != 3 || memcmp(magic, "BZh", 3) != 0) {
      *error = "neither a snapshot directory nor a .tar.bz2 archive of one";
      return false;
    }
    rewind(file.get());
    ok = read_archive_input(path, file.get(), sink, progress, error);
  }
  if (progress) progress->done();
  return ok;
}

}  // namespace snapshot_reader
