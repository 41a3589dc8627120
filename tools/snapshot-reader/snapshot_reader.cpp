#include "snapshot_reader.h"

#include "progress.h"
#include "snapshot_input.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

namespace snapshot_reader {

namespace {

inline uint32_t le32(uint32_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return __builtin_bswap32(word);
#else
  return word;
#endif
}

class Cursor {
 public:
  Cursor(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  size_t offset() const { return offset_; }
  bool done() const { return offset_ >= size_; }
  bool take(size_t count, uint64_t *value) {
    if (size_ - offset_ < count) return false;
    const uint8_t *at = data_ + offset_;
    switch (count) {  // the widths the format has, as single little-endian loads
      case 0:
        *value = 0;
        break;
      case 1:
        *value = at[0];
        break;
      case 2:
        *value = (uint64_t)at[0] | (uint64_t)at[1] << 8;
        break;
      case 4: {
        uint32_t word;
        memcpy(&word, at, 4);
        *value = le32(word);
        break;
      }
      default: {
        uint64_t result = 0;
        for (size_t i = 0; i < count; ++i) result |= (uint64_t)at[i] << (8 * i);
        *value = result;
      }
    }
    offset_ += count;
    return true;
  }
  bool packed_id(uint64_t *id) {
    uint64_t low = 0;
    if (!take(4, &low)) return false;
    if ((low & 0x80000000ULL) == 0) {
      *id = low;
      return true;
    }
    uint64_t high = 0;
    if (!take(1, &high)) return false;
    *id = (low & 0x7FFFFFFFULL) + (high << 31);
    return true;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t offset_ = 0;
};

std::string at(size_t offset, const std::string &what) { return "offset " + std::to_string(offset) + ": " + what; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool parse_int(std::string_view text, int64_t *value) {
  text = trim(text);
  if (text.empty()) return false;
  std::string copy(text);
  char *end = nullptr;
  long long number = strtoll(copy.c_str(), &end, 10);
  if (end == copy.c_str() || *end != '\0') return false;
  *value = number;
  return true;
}

// "metaspace=M shared=S ... unreadable=PART,..." of a class-size record; unknown keys are left.
bool parse_class_metadata(std::string_view text, ClassMetadata *parts) {
  const std::pair<const char *, uint64_t *> numbers[] = {
      {"metaspace", &parts->metaspace}, {"shared", &parts->shared},   {"klass", &parts->klass},
      {"constants", &parts->constants}, {"methods", &parts->methods}, {"fields", &parts->fields},
      {"other", &parts->other}};
  while (!(text = trim(text)).empty()) {
    size_t end = text.find(' ');
    std::string_view token = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    size_t equals = token.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    std::string_view key = token.substr(0, equals), value = token.substr(equals + 1);
    if (key == "unreadable") {
      parts->unreadable = std::string(value);
      continue;
    }
    if (key == "loader") {
      std::string hex(value);
      char *stop = nullptr;
      parts->loader = strtoull(hex.c_str(), &stop, 16);
      if (hex.rfind("0x", 0) != 0 || stop == hex.c_str() + 2 || *stop != '\0') return false;
      parts->has_loader = true;
      continue;
    }
    for (const auto &number : numbers) {
      int64_t parsed = 0;
      if (key != number.first) continue;
      if (!parse_int(value, &parsed) || parsed < 0) return false;
      *number.second = (uint64_t)parsed;
    }
  }
  return true;
}

// "--- Name            ---------------------------------" -> "Name"; false for other lines.
bool section_header(std::string_view line, std::string *name) {
  if (line.size() < 4 || line.substr(0, 4) != "--- ") return false;
  std::string_view rest = line.substr(4);
  size_t dashes = rest.find(" ---");
  if (dashes == std::string_view::npos) {
    // "End" has the same layout; accept a header without the trailing run too.
    *name = std::string(trim(rest));
    return !name->empty();
  }
  *name = std::string(trim(rest.substr(0, dashes)));
  return !name->empty();
}

}  // namespace

const char *reference_kind_name(unsigned kind) {
  switch (kind) {
    case 1:
      return "class";
    case 2:
      return "field";
    case 3:
      return "array element";
    case 4:
      return "class loader";
    case 5:
      return "signers";
    case 6:
      return "protection domain";
    case 7:
      return "interface";
    case 8:
      return "static field";
    case 9:
      return "constant pool";
    case 10:
      return "superclass";
    case 21:
      return "JNI global";
    case 22:
      return "system class";
    case 23:
      return "monitor";
    case 24:
      return "stack local";
    case 25:
      return "JNI local";
    case 26:
      return "thread";
    case 27:
      return "other";
    default:
      return "unknown";
  }
}

size_t GraphParser::parse(const uint8_t *data, size_t size, bool final) {
  Cursor cursor(data, size);
  auto fail_at = [&](size_t offset, const std::string &what) {
    error_ = at(offset_ + offset, what);
    return offset;
  };
  while (!cursor.done() && error_.empty()) {
    size_t start = cursor.offset();
    // A record cut by the end of a piece waits for the next piece.
    if (!final && size - start < GRAPH_RECORD_MAX) return start;
    Reference reference;
    reference.offset = offset_ + start;
    uint64_t kind_byte = 0;
    cursor.take(1, &kind_byte);
    reference.kind = (unsigned)(kind_byte & 0x1F);
    unsigned width = (unsigned)((kind_byte >> 5) & 3);
    bool object_follows = (kind_byte & 0x80) != 0;
    if (reference.kind < 1 || reference.kind > 27 || (reference.kind > 10 && reference.kind < 21)) {
      return fail_at(start, "unknown reference kind " + std::to_string(reference.kind));
    }
    bool complete = true;
    if (reference.kind == 24) {
      uint64_t slot = 0, depth = 0;
      complete = cursor.take(8, &reference.method) && cursor.take(4, &slot) && cursor.take(4, &depth);
      reference.slot = (int32_t)(uint32_t)slot;
      reference.depth = (int32_t)(uint32_t)depth;
      static const size_t thread_widths[] = {2, 4, 8, 0};
      if (complete && width == 3) return fail_at(start, "stack local with thread id width code 3");
      complete = complete && cursor.take(thread_widths[width], &reference.thread_id);
    } else if (width != 0) {
      if (reference.kind != 2 && reference.kind != 3 && reference.kind != 8) {
        return fail_at(start, std::string("index on a reference of kind ") + reference_kind_name(reference.kind));
      }
      static const size_t index_widths[] = {0, 1, 2, 4};
      uint64_t index = 0;
      complete = cursor.take(index_widths[width], &index);
      reference.index = (uint32_t)index;
    }
    complete = complete && cursor.packed_id(&reference.referrer) && cursor.packed_id(&reference.referee);
    if (!complete) return fail_at(start, "reference record cut off at the end of the file");
    if (!object_follows) {
      visitor_(reference, nullptr);
      continue;
    }
    Object object;
    object.id = reference.referee;
    size_t object_offset = cursor.offset();
    uint64_t flags = 0;
    if (!cursor.take(1, &flags)) return fail_at(object_offset, "object record missing at the end of the file");
    if ((flags & ~0x1FULL) != 0) return fail_at(object_offset, "object record with unknown flag bits");
    unsigned class_width = (unsigned)((flags >> 1) & 3);
    unsigned size_width = (unsigned)((flags >> 3) & 3);
    if (class_width == 3) return fail_at(object_offset, "object record with class id width code 3");
    static const size_t class_widths[] = {1, 2, 4};
    static const size_t size_widths[] = {0, 1, 2, 4};
    uint64_t tag = 0, klass = 0, bytes = 0;
    object.has_previous_tag = (flags & 1) != 0;
    complete = (!object.has_previous_tag || cursor.take(4, &tag)) && cursor.take(class_widths[class_width], &klass) &&
               cursor.take(size_widths[size_width], &bytes);
    if (!complete) return fail_at(object_offset, "object record cut off at the end of the file");
    object.previous_tag = (uint32_t)tag;
    object.class_id = (uint32_t)klass;
    object.size = (uint32_t)bytes;
    visitor_(reference, &object);
  }
  return cursor.offset();
}

bool GraphParser::feed(const uint8_t *data, size_t size) {
  if (!error_.empty()) return false;
  if (carry_size_ > 0) {
    // Complete the carried record with the first bytes of this piece.
    size_t added = std::min(size, sizeof carry_ - carry_size_);
    memcpy(carry_ + carry_size_, data, added);
    size_t before = carry_size_;
    carry_size_ += added;
    if (carry_size_ < GRAPH_RECORD_MAX) return true;  // still too short to hold any record for sure
    size_t used = parse(carry_, carry_size_, false);
    if (!error_.empty()) return false;
    if (used < before) {  // a small piece: everything is in the carry still
      memmove(carry_, carry_ + used, carry_size_ - used);
      carry_size_ -= used;
      offset_ += used;
      return true;
    }
    offset_ += used;
    data += used - before;
    size -= used - before;
    carry_size_ = 0;
  }
  size_t used = parse(data, size, false);
  if (!error_.empty()) return false;
  offset_ += used;
  carry_size_ = size - used;
  memcpy(carry_, data + used, carry_size_);
  return true;
}

bool GraphParser::finish() {
  if (!error_.empty()) return false;
  size_t used = parse(carry_, carry_size_, true);
  offset_ += used;
  carry_size_ = 0;
  return error_.empty();
}

void GraphParser::fail(const std::string &error) {
  if (error_.empty()) error_ = error;
}

bool parse_graph(const uint8_t *data, size_t size, const GraphVisitor &visitor, std::string *error) {
  GraphParser parser(visitor);
  bool ok = parser.feed(data, size) && parser.finish();
  if (!ok && error) *error = parser.error();
  return ok;
}

namespace {

void count_record(GraphStats *stats, const Reference &reference, const Object *object) {
  ++stats->references;
  ++stats->references_by_kind[reference.kind];
  if (reference.kind == 24) ++stats->local_references;
  if (reference.kind == 1) ++stats->class_references;
  if (reference.referrer == 0) ++stats->root_references;
  stats->max_id = std::max({stats->max_id, reference.referrer, reference.referee});
  if (object != nullptr) {
    ++stats->objects;
    GraphStats::PerClass &per_class = stats->classes[object->class_id];
    ++per_class.instances;
    per_class.shallow_bytes += object->size;
    stats->object_ids.push_back(object->id);
    if (object->has_previous_tag) stats->previous_tags.push_back(object->previous_tag);
  }
}

}  // namespace

bool read_graph_stats(const uint8_t *data, size_t size, GraphStats *stats, std::string *error) {
  *stats = GraphStats{};
  return parse_graph(
      data, size, [stats](const Reference &reference, const Object *object) { count_record(stats, reference, object); },
      error);
}

bool parse_info(const std::string &text, InfoFile *info, std::string *error) {
  *info = InfoFile{};
  std::string section;
  ClassEntry *current = nullptr;
  size_t line_number = 0;
  size_t start = 0;
  auto fail = [&](const std::string &what) {
    if (error) *error = "line " + std::to_string(line_number) + ": " + what;
    return false;
  };
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++line_number;
    std::string name;
    if (section_header(line, &name)) {
      if (info->complete) return fail("section after End");
      section = name;
      info->sections.push_back(name);
      current = nullptr;
      if (name == "End") info->complete = true;
      continue;
    }
    if (section.empty()) return fail("text before the first section");
    if (section == "Metadata" || section == "Summary") {
      size_t colon = line.find(": ");
      if (colon == std::string_view::npos) return fail("expected \"Name: value\"");
      std::string key(line.substr(0, colon));
      std::string value(line.substr(colon + 2));
      if (section == "Metadata") {
        info->metadata[key] = value;
      } else {
        int64_t number = 0;
        if (!parse_int(value, &number)) return fail("summary value is not a number");
        info->summary[key] = number;
      }
    } else if (section == "Allocation Points") {
      ++info->allocation_points;
      // "%13lld %30s @ %40s": the id (negative above 2^31), the class name and the birthplace.
      std::string_view trimmed = trim(line);
      size_t space = trimmed.find(' ');
      int64_t id = 0;
      if (space != std::string_view::npos && parse_int(trimmed.substr(0, space), &id)) {
        AllocationPoint point;
        point.id = (uint32_t)id;
        std::string_view rest = trimmed.substr(space + 1);
        size_t at_sign = rest.find(" @ ");
        point.class_name = std::string(trim(rest.substr(0, at_sign)));
        if (at_sign != std::string_view::npos) point.birthplace = std::string(trim(rest.substr(at_sign + 3)));
        info->allocation_list.push_back(std::move(point));
      }
    } else if (section == "Classes") {
      // Members start with 13 spaces, then "  . " (field) or "  #" (method).
      if (line.size() > 15 && line.substr(0, 13) == std::string(13, ' ') && line[13] == ' ' && line[14] == ' ') {
        if (current == nullptr) return fail("member line before any class line");
        if (line.substr(15, 2) == ". ") {
          ++current->fields;
          // ". MODIFIERS SIGNATURE NAME"
          std::string_view rest = line.substr(17);
          size_t first = rest.find(' ');
          size_t second = first == std::string_view::npos ? first : rest.find(' ', first + 1);
          FieldEntry field;
          int64_t modifiers = 0;
          if (second != std::string_view::npos && parse_int(rest.substr(0, first), &modifiers)) {
            field.modifiers = (int)modifiers;
            field.signature = std::string(rest.substr(first + 1, second - first - 1));
            field.name = std::string(trim(rest.substr(second + 1)));
          }
          current->field_list.push_back(std::move(field));
        } else if (line[15] == '#') {
          ++current->methods;
          // "#ID MODIFIERS SIGNATURE NAME"
          std::string_view rest = line.substr(16);
          size_t space = rest.find(' ');
          size_t name_start = rest.rfind(' ');
          int64_t method_id = 0;
          if (space != std::string_view::npos && parse_int(rest.substr(0, space), &method_id)) {
            info->methods[(uint64_t)method_id] = MethodEntry{current->id, std::string(rest.substr(name_start + 1))};
          }
        } else {
          return fail("unknown member line");
        }
        continue;
      }
      std::string_view trimmed = trim(line);
      size_t space = trimmed.find(' ');
      int64_t id = 0;
      if (space == std::string_view::npos || !parse_int(trimmed.substr(0, space), &id) || id <= 0) {
        return fail("expected a class line \"ID SIGNATURE\"");
      }
      ClassEntry &entry = info->classes[(uint64_t)id];
      if (!entry.signature.empty()) return fail("class id " + std::to_string(id) + " listed twice");
      entry.id = (uint64_t)id;
      entry.signature = std::string(trimmed.substr(space + 1));
      info->class_order.push_back(entry.id);
      current = &entry;
    } else if (section == "Class Sizes") {
      std::string_view trimmed = trim(line);
      size_t space = trimmed.find(' ');
      std::string_view rest = space == std::string_view::npos ? std::string_view() : trimmed.substr(space + 1);
      size_t parts = rest.find(' ');
      int64_t id = 0, bytes = 0;
      if (space == std::string_view::npos || !parse_int(trimmed.substr(0, space), &id) ||
          !parse_int(rest.substr(0, parts), &bytes)) {
        return fail("expected a class size line \"ID SIZE\"");
      }
      info->class_sizes[(uint64_t)id] = (uint32_t)bytes;
      if (parts != std::string_view::npos &&
          !parse_class_metadata(rest.substr(parts + 1), &info->class_metadata[(uint64_t)id])) {
        return fail("expected the parts of a class's metadata as KEY=VALUE");
      }
    } else if (section == "Threads") {
      // Thread lines have four right-aligned columns; stack lines follow them.
      if (line.size() > 38 && line[16] == ' ' && line[27] == ' ' && line[36] == ' ') {
        ThreadEntry thread;
        int64_t object = 0, state = 0;
        if (parse_int(line.substr(0, 16), &thread.java_id) && parse_int(line.substr(17, 10), &object) &&
            parse_int(line.substr(28, 8), &state)) {
          ++info->threads;
          thread.object_id = (uint64_t)object;
          thread.state = (int)state;
          thread.name = std::string(line.substr(37));
          info->thread_list.push_back(std::move(thread));
          continue;
        }
      }
      std::string_view frame = trim(line);
      if (!info->thread_list.empty() && !frame.empty()) info->thread_list.back().frames.emplace_back(frame);
    } else if (section == "Classloaders") {
      ++info->classloaders;
    } else if (section == "End") {
      return fail("text after End");
    }
  }
  return true;
}

bool check_consistency(const GraphStats &stats, const InfoFile &info, std::vector<std::string> *problems) {
  size_t before = problems->size();
  auto summary = [&](const char *key, int64_t *value) {
    auto found = info.summary.find(key);
    if (found == info.summary.end()) {
      problems->push_back(std::string("the Summary has no \"") + key + "\"");
      return false;
    }
    *value = found->second;
    return true;
  };
  auto expect = [&](const char *key, uint64_t actual) {
    int64_t value = 0;
    if (summary(key, &value) && (uint64_t)value != actual) {
      problems->push_back(std::string("\"") + key + "\" is " + std::to_string(value) + " but the graph has " +
                          std::to_string(actual));
    }
  };
  if (!info.complete) problems->push_back("the info file does not end with the End section");
  expect("Reference count", stats.references);
  expect("Local reference count", stats.local_references);
  expect("Class reference count", stats.class_references);

  // Ids are handed out one by one from 1: classes first (up to "Class max ID"), then every object
  // the walk met, each described by the object record that follows its first reference. The
  // Summary's object count is the number of ids plus one.
  int64_t object_count = 0, class_max_id = 0;
  if (summary("Object count", &object_count) && summary("Class max ID", &class_max_id)) {
    if (stats.max_id >= (uint64_t)std::max<int64_t>(object_count, 1)) {
      problems->push_back("id " + std::to_string(stats.max_id) + " is not below the object count " +
                          std::to_string(object_count));
    }
    uint64_t walk_objects = 0;
    uint64_t expected_next = (uint64_t)class_max_id + 1;
    bool in_order = true;
    std::set<uint64_t> class_objects;
    for (uint64_t id : stats.object_ids) {
      if (id == 0) {
        problems->push_back("an object record describes id 0");
      } else if (id <= (uint64_t)class_max_id) {
        if (!class_objects.insert(id).second)
          problems->push_back("class object " + std::to_string(id) + " described twice");
      } else {
        ++walk_objects;
        if (id != expected_next) in_order = false;
        ++expected_next;
      }
    }
    if (!in_order) problems->push_back("the walk's objects are not described in id order without gaps or repeats");
    uint64_t expected_objects = object_count > class_max_id ? (uint64_t)(object_count - 1 - class_max_id) : 0;
    if (walk_objects != expected_objects) {
      problems->push_back("\"Object count\" " + std::to_string(object_count) + " with \"Class max ID\" " +
                          std::to_string(class_max_id) + " means " + std::to_string(expected_objects) +
                          " objects met by the walk, but the graph describes " + std::to_string(walk_objects));
    }
  }
  int64_t class_count = 0;
  if (summary("Class count", &class_count) && (uint64_t)class_count != info.classes.size()) {
    problems->push_back("\"Class count\" is " + std::to_string(class_count) + " but " +
                        std::to_string(info.classes.size()) + " classes are listed");
  }
  for (const auto &[class_id, per_class] : stats.classes) {
    if (class_id != 0 && info.classes.count(class_id) == 0) {
      problems->push_back("class id " + std::to_string(class_id) + " of " + std::to_string(per_class.instances) +
                          " objects is not a listed class");
    }
  }
  return problems->size() == before;
}

bool read_whole_file(const std::string &path, std::string *content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *content = out.str();
  return true;
}

Report read_directory(const std::string &path) {
  Report report;
  std::string info_text;
  GraphParser parser(
      [&report](const Reference &reference, const Object *object) { count_record(&report.stats, reference, object); });
  SnapshotSink sink;
  sink.info = [&](std::string text) {
    info_text = std::move(text);
    return true;
  };
  sink.graph = [&](const uint8_t *data, size_t size) { return parser.feed(data, size); };
  Progress progress;
  std::string error;
  bool read = read_snapshot_input(path, sink, &progress, &error);
  if (read) parser.finish();
  if (!error.empty()) {
    report.problems.push_back(path + ": " + error);
    return report;
  }
  if (parser.failed()) {
    report.problems.push_back("oom_graph.bin: " + parser.error());
    return report;
  }
  if (!parse_info(info_text, &report.info, &error)) {
    report.problems.push_back("oom_info.txt: " + error);
    return report;
  }
  report.ok = check_consistency(report.stats, report.info, &report.problems);
  return report;
}

std::string format_report(const Report &report, size_t top) {
  std::ostringstream out;
  const GraphStats &stats = report.stats;
  out << (report.ok ? "Snapshot is consistent." : "Snapshot has problems:") << "\n";
  for (const std::string &problem : report.problems) out << "  problem: " << problem << "\n";
  out << "Objects: " << stats.objects << "\n";
  out << "References: " << stats.references << " (roots " << stats.root_references << ")\n";
  for (const auto &[kind, count] : stats.references_by_kind) {
    char line[96];
    snprintf(line, sizeof line, "  %-18s %12" PRIu64 "\n", reference_kind_name(kind), count);
    out << line;
  }
  auto name_of = [&](uint32_t class_id) -> std::string {
    auto found = report.info.classes.find(class_id);
    if (class_id == 0) return "(no class)";
    return found != report.info.classes.end() ? found->second.signature
                                              : "(unlisted class " + std::to_string(class_id) + ")";
  };
  std::vector<std::pair<uint32_t, GraphStats::PerClass>> classes(stats.classes.begin(), stats.classes.end());
  auto print_top = [&](const char *title, auto better) {
    std::sort(classes.begin(), classes.end(), better);
    out << title << "\n";
    for (size_t i = 0; i < classes.size() && i < top; ++i) {
      char line[64];
      snprintf(line, sizeof line, "  %12" PRIu64 " %14" PRIu64 "  ", classes[i].second.instances,
               classes[i].second.shallow_bytes);
      out << line << name_of(classes[i].first) << "\n";
    }
  };
  print_top("Top classes by instance count (instances, shallow bytes, class):", [](const auto &a, const auto &b) {
    return a.second.instances != b.second.instances ? a.second.instances > b.second.instances : a.first < b.first;
  });
  print_top("Top classes by shallow bytes (instances, shallow bytes, class):", [](const auto &a, const auto &b) {
    return a.second.shallow_bytes != b.second.shallow_bytes ? a.second.shallow_bytes > b.second.shallow_bytes
                                                            : a.first < b.first;
  });
  return out.str();
}

}  // namespace snapshot_reader
