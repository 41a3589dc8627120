// A snapshot of any size without a JVM, for the analyser's scale tests and benchmark: a static
// table of arrays holding chunks of nine objects each (a map node with its key, a small tree of
// three nodes with a cycle, a string with its bytes, a boxed long and an int array; one chunk in
// four linked to the one before), a thread with a stack local and one followed allocation point.
// The records are the agent's own (its encoders), the ids handed out in the order the objects are
// first referred to, so the snapshot is consistent.
//
//   vorkel_synthetic_snapshot DIR OBJECTS     writes DIR/oom_info.txt and DIR/oom_graph.bin
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "snapshot/oom_writer.h"

namespace {

// Listed classes, their ids from 1 and their fields in the listed (JVMTI) order.
enum ClassId : uint32_t {
  kObject = 1,
  kClass,
  kHeap,
  kObjectArray,
  kMapNode,
  kInteger,
  kNode,
  kString,
  kBytes,
  kLong,
  kInts,
  kThread,
  kClassCount = kThread
};
struct ClassLine {
  const char *signature;
  std::vector<std::string> fields;  // "I count" style: signature and name; "static " first for statics
};
const ClassLine kClasses[] = {
    {"Ljava/lang/Object;", {}},
    {"Ljava/lang/Class;", {}},
    {"LSyntheticHeap;", {"static [Ljava/lang/Object; CHUNKS"}},
    {"[Ljava/lang/Object;", {}},
    {"Ljava/util/HashMap$Node;",
     {"I hash", "Ljava/lang/Object; key", "Ljava/lang/Object; value", "Ljava/util/HashMap$Node; next"}},
    {"Ljava/lang/Integer;", {"I value"}},
    {"LSyntheticHeap$Node;",
     {"LSyntheticHeap$Node; left", "LSyntheticHeap$Node; right", "J value", "Ljava/lang/Object; payload"}},
    {"Ljava/lang/String;", {"[B value", "I hash", "B coder"}},
    {"[B", {}},
    {"Ljava/lang/Long;", {"J value"}},
    {"[I", {}},
    {"Ljava/lang/Thread;", {"Ljava/lang/String; name"}},
};
constexpr uint32_t kChunkSite = (40u << 19) | kMapNode;  // a statistics tag's low word
constexpr uint64_t kMainMethod = 7001;
constexpr uint32_t kChunkObjects = 9, kPerArray = 100000;

class Writer {
 public:
  explicit Writer(FILE *file) : file_(file) { buffer_.reserve(1 << 20); }
  ~Writer() { flush(); }
  uint64_t references = 0, locals = 0;
  uint32_t next_id = kClassCount + 1;
  bool failed = false;

  // A reference to a new object: it gets the next id and its record.
  uint32_t create(uint32_t from, unsigned kind, uint32_t index, uint32_t klass, uint32_t size, uint32_t tag = 0) {
    uint32_t id = next_id++;
    reference(from, id, kind, index, true);
    uint8_t out[GRAPH_OBJECT_MAX];
    put(out, oom_graph_encode_object(out, tag, klass, size));
    return id;
  }
  void reference(uint32_t from, uint32_t to, unsigned kind, uint32_t index, bool object_follows = false) {
    uint8_t out[GRAPH_REFERENCE_MAX];
    put(out, oom_graph_encode_reference(out, kind, index, from, to, object_follows));
    ++references;
  }
  void class_root(uint32_t klass) {
    reference(0, klass, 22, 0, true);
    uint8_t out[GRAPH_OBJECT_MAX];
    put(out, oom_graph_encode_object(out, 0, kClass, 0));
  }
  void stack_local(uint32_t to, uint64_t thread_id) {
    uint8_t out[GRAPH_STACK_LOCAL_MAX];
    put(out, oom_graph_encode_stack_local(out, kMainMethod, 1, 0, thread_id, 0, to, false));
    ++references, ++locals;
  }
  void flush() {
    if (!buffer_.empty() && fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) failed = true;
    buffer_.clear();
  }

 private:
  void put(const uint8_t *data, size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
    if (buffer_.size() >= (1 << 20) - 64) flush();
  }
  FILE *file_;
  std::vector<uint8_t> buffer_;
};

// One chunk below its array element; returns its map node, which the next chunk may link to.
uint32_t chunk(Writer &w, uint32_t array, uint32_t element, uint64_t n, uint32_t previous) {
  uint32_t head = w.create(array, 3, element, kMapNode, 32, n % 64 == 0 ? kChunkSite : 0);
  w.create(head, 2, 1, kInteger, 16);
  uint32_t a = w.create(head, 2, 2, kNode, 40);
  if (previous != 0 && n % 4 == 1) w.reference(head, previous, 2, 3);
  uint32_t b = w.create(a, 2, 0, kNode, 40), c = w.create(a, 2, 1, kNode, 40);
  uint32_t s = w.create(a, 2, 3, kString, 24);
  w.create(b, 2, 3, kLong, 24);
  w.create(c, 2, 3, kInts, 16 + 4 * (uint32_t)(n % 8));
  w.reference(c, a, 2, 0);  // a cycle back to the tree's top
  w.create(s, 2, 0, kBytes, 16 + (uint32_t)(n % 24));
  return head;
}

std::string header(const char *name) {
  char line[128];
  snprintf(line, sizeof line, "--- %-15s ---------------------------------\n", name);
  return line;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DIR OBJECTS\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  uint64_t wanted = strtoull(argv[2], nullptr, 10);
  if (wanted < 100 || wanted > 0xF0000000ULL) {
    fprintf(stderr, "%s: OBJECTS goes from 100 to %llu\n", argv[0], 0xF0000000ULL);
    return 2;
  }
  FILE *graph = fopen((dir + "/oom_graph.bin").c_str(), "wb");
  if (!graph) {
    fprintf(stderr, "%s: cannot write %s/oom_graph.bin: %s\n", argv[0], dir.c_str(), strerror(errno));
    return 1;
  }
  uint64_t chunks = (wanted - 3) / (kChunkObjects + 1.0 / kPerArray);
  uint64_t arrays = (chunks + kPerArray - 1) / kPerArray;
  uint32_t thread = 0, table = 0;
  uint64_t written_objects = 0;
  {
    Writer w(graph);
    w.class_root(kHeap);
    thread = w.create(0, 26, 0, kThread, 120);
    table = w.create(kHeap, 8, 0, kObjectArray, 16 + 4 * (uint32_t)arrays);
    std::vector<uint32_t> array_ids;
    for (uint64_t i = 0; i < arrays; ++i) {
      uint64_t count = std::min<uint64_t>(kPerArray, chunks - i * kPerArray);
      array_ids.push_back(w.create(table, 3, (uint32_t)i, kObjectArray, 16 + 4 * (uint32_t)count));
    }
    for (uint64_t i = 0; i < arrays; ++i) {
      uint32_t previous = 0;
      uint64_t count = std::min<uint64_t>(kPerArray, chunks - i * kPerArray);
      for (uint64_t j = 0; j < count; ++j) previous = chunk(w, array_ids[i], (uint32_t)j, i * kPerArray + j, previous);
    }
    w.stack_local(table, 1);
    w.flush();
    written_objects = w.next_id - 1 - kClassCount;
    if (w.failed || fclose(graph) != 0) {
      fprintf(stderr, "%s: cannot write the graph: %s\n", argv[0], strerror(errno));
      return 1;
    }
    std::string info = header("Metadata") +
                       "Dump version: 5\nBuild number: 2106\nOOM timestamp: 0\nCurrent thread: 1\n"
                       "VM name: synthetic\nVM version: 1\nClass size type: partial\n";
    char line[512];
    snprintf(line, sizeof line, "%13lld %30s @ %40s\n", (long long)kChunkSite, "java.util.HashMap$Node",
             "SyntheticHeap.put(SyntheticHeap.java:42)");
    info += header("Allocation Points") + line + header("Classes");
    uint64_t fields = 0;
    for (uint32_t k = 0; k < kClassCount; ++k) {
      snprintf(line, sizeof line, "%13u %s\n", k + 1, kClasses[k].signature);
      info += line;
      for (std::string field : kClasses[k].fields) {
        bool is_static = field.rfind("static ", 0) == 0;
        if (is_static) field = field.substr(7);
        info += std::string(13, ' ') + "  . " + (is_static ? "8 " : "2 ") + field + "\n";
        ++fields;
      }
    }
    info += std::string(13, ' ') + "  #" + std::to_string(kMainMethod) + " 9 ([Ljava/lang/String;)V main\n";
    info += header("Class Sizes");
    for (uint32_t k = 1; k <= kClassCount; ++k) {
      snprintf(line, sizeof line, "%13u %d\n", k, 0);
      info += line;
    }
    snprintf(line, sizeof line, "%16lld %10lld %8d %s\n", 1LL, (long long)thread, 5, "main");
    info += header("Threads") + line + "LSyntheticHeap;.main:12(3)\n" + header("Classloaders") + header("Summary");
    snprintf(line, sizeof line,
             "Object count: %" PRIu32 "\nReference count: %" PRIu64 "\nLocal reference count: %" PRIu64
             "\nClass reference count: 0\nClass count: %u\nClass max ID: %u\nField count: %" PRIu64 "\n",
             w.next_id, w.references, w.locals, (unsigned)kClassCount, (unsigned)kClassCount, fields);
    info += line + header("End");
    FILE *text = fopen((dir + "/oom_info.txt").c_str(), "wb");
    if (!text || fwrite(info.data(), 1, info.size(), text) != info.size() || fclose(text) != 0) {
      fprintf(stderr, "%s: cannot write %s/oom_info.txt\n", argv[0], dir.c_str());
      return 1;
    }
  }
  printf("%" PRIu64 " objects in %" PRIu64 " chunks\n", written_objects, chunks);
  return 0;
}
