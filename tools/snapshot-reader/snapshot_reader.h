// Reading a snapshot directory: the object graph (oom_graph.bin) record by record, the info file
// (oom_info.txt) by sections, and the checks that bind the two together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace snapshot_reader {

// One reference record, with the object record that followed it when there was one.
struct Reference {
  unsigned kind = 0;      // JVMTI heap reference kind, 1 to 27
  uint32_t index = 0;     // field, element or static-field index (indexed kinds only)
  uint64_t referrer = 0;  // 0 for roots
  uint64_t referee = 0;
  // Stack locals only.
  uint64_t method = 0;
  int32_t slot = 0;
  int32_t depth = 0;
  uint64_t thread_id = 0;
  size_t offset = 0;  // where the record starts in the file
};

struct Object {
  uint64_t id = 0;  // the referee of the reference record before it
  bool has_previous_tag = false;
  uint32_t previous_tag = 0;
  uint32_t class_id = 0;
  uint32_t size = 0;
};

// Called for each reference record; object is null when no object record followed.
using GraphVisitor = std::function<void(const Reference &reference, const Object *object)>;

// The longest record: a stack local with 8-byte thread id and two 5-byte ids, then an object record.
constexpr size_t GRAPH_RECORD_MAX = 35 + 13;

// Parses a graph fed in pieces of any size (a file read in chunks, a decompressed stream); the
// offsets in its errors count from the first byte fed.
class GraphParser {
 public:
  explicit GraphParser(GraphVisitor visitor) : visitor_(std::move(visitor)) {}
  // Parses every complete record; keeps a record cut by the end of the piece for the next one.
  // False once a record is malformed (error() names its offset and the reason).
  bool feed(const uint8_t *data, size_t size);
  // The end of the stream: false when it cuts a record off.
  bool finish();
  // Stops the parse from inside the visitor, for a record that is well formed but unusable.
  void fail(const std::string &error);
  bool failed() const { return !error_.empty(); }
  const std::string &error() const { return error_; }
  uint64_t offset() const { return offset_; }

 private:
  size_t parse(const uint8_t *data, size_t size, bool final);
  GraphVisitor visitor_;
  uint8_t carry_[2 * GRAPH_RECORD_MAX];
  size_t carry_size_ = 0;
  uint64_t offset_ = 0;  // stream offset of data[0] in the piece being parsed
  std::string error_;
};

// Reads the records from data to its last byte. False, with the offset and reason in error,
// when a record is cut off or malformed; the records before it were visited.
bool parse_graph(const uint8_t *data, size_t size, const GraphVisitor &visitor, std::string *error);

struct FieldEntry {
  int modifiers = 0;
  std::string signature;
  std::string name;
};

struct ClassEntry {
  uint64_t id = 0;
  std::string signature;
  int fields = 0;
  int methods = 0;
  std::vector<FieldEntry> field_list;  // in the listed order (the JVMTI field order)
};

struct MethodEntry {
  uint64_t class_id = 0;
  std::string name;
};

struct ThreadEntry {
  int64_t java_id = 0;     // the Thread object's id field
  uint64_t object_id = 0;  // graph id of the Thread object, 0 when unknown
  int state = 0;
  std::string name;
  std::vector<std::string> frames;  // its stack lines, the top frame first ("LShop;.main:10(4)")
};

struct AllocationPoint {
  uint32_t id = 0;  // allocation id: the low word of the statistics tags of its instances
  std::string class_name;
  std::string birthplace;
};

// The parts of a class's metadata that current HotSpot adds to its class-size record
// ("metaspace=... shared=... klass=... constants=... methods=... fields=... other=...").
struct ClassMetadata {
  uint64_t metaspace = 0, shared = 0, klass = 0, constants = 0, methods = 0, fields = 0, other = 0;
  std::string unreadable;   // the parts that could not be read, comma-separated
  bool has_loader = false;  // loader=0xADDRESS: the defining loader object's address (0: the boot loader)
  uint64_t loader = 0;
};

struct InfoFile {
  std::vector<std::string> sections;            // section names in file order
  std::map<std::string, std::string> metadata;  // "Dump version" -> "5", ...
  std::map<uint64_t, ClassEntry> classes;       // by class id
  std::vector<uint64_t> class_order;            // class ids in file order
  std::map<uint64_t, MethodEntry> methods;      // by JVMTI method id
  std::map<uint64_t, uint32_t> class_sizes;     // class id -> base + metadata size
  std::map<std::string, int64_t> summary;       // "Object count" -> ...
  int allocation_points = 0;
  std::vector<AllocationPoint> allocation_list;
  int threads = 0;
  std::vector<ThreadEntry> thread_list;
  int classloaders = 0;
  bool complete = false;  // ends with the "End" header

  // Class id -> the parts of its metadata, where its class-size record has them.
  std::map<uint64_t, ClassMetadata> class_metadata;
};

bool parse_info(const std::string &text, InfoFile *info, std::string *error);

// Figures gathered from a graph.
struct GraphStats {
  uint64_t references = 0;
  uint64_t local_references = 0;  // stack locals (kind 24)
  uint64_t class_references = 0;  // kind 1
  uint64_t objects = 0;           // object records
  uint64_t root_references = 0;   // referrer 0
  uint64_t max_id = 0;            // largest id named anywhere
  std::map<unsigned, uint64_t> references_by_kind;
  struct PerClass {
    uint64_t instances = 0;
    uint64_t shallow_bytes = 0;
  };
  std::map<uint32_t, PerClass> classes;  // by class id of the object records
  std::vector<uint64_t> object_ids;      // ids of the object records, in file order
  std::vector<uint32_t> previous_tags;   // non-zero previous tags, in file order
};

bool read_graph_stats(const uint8_t *data, size_t size, GraphStats *stats, std::string *error);

// Consistency of a graph with its info file: every class id of an object record is a listed class,
// the reference, local reference, class reference and object counts match the Summary, every id
// is below the object count, and no object is described twice. Problems are appended to problems.
bool check_consistency(const GraphStats &stats, const InfoFile &info, std::vector<std::string> *problems);

// Name of a JVMTI heap reference kind ("field", "array element", ...).
const char *reference_kind_name(unsigned kind);

// A whole directory: reads both files, checks them, and writes the report to out.
struct Report {
  bool ok = false;
  GraphStats stats;
  InfoFile info;
  std::vector<std::string> problems;
};
// A snapshot directory, or a .tar.bz2 archive of one (read as a stream).
Report read_directory(const std::string &path);
std::string format_report(const Report &report, size_t top);

bool read_whole_file(const std::string &path, std::string *content);

}  // namespace snapshot_reader
