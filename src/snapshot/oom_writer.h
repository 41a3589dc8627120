// The snapshot being taken and its files: status, parameters, the info text and the object graph,
// the fatal-error state, and the encoder of the graph's records.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/fileops.h"

constexpr const char *SNAPSHOT_DUMP_VERSION = "5";
constexpr uint64_t SNAPSHOT_DISK_REQUIRED = 1000000000ULL;
constexpr uint64_t SNAPSHOT_DISK_CHECK_STEP = 50000000ULL;

// Fatal error codes: once one is set the snapshot is invalid for good.
constexpr const char *SNAPSHOT_ERROR_DISK_FULL = "disk is too full to continue";
constexpr const char *SNAPSHOT_ERROR_TAG_BACKUP = "tag_backup_desc_native_oom";
constexpr const char *SNAPSHOT_ERROR_GRAPH_OPEN = "graph_open";
constexpr const char *SNAPSHOT_ERROR_GRAPH_WRITE = "oom_graph_write";
constexpr const char *SNAPSHOT_ERROR_TEXT_WRITE = "oom_text_write";

struct snapshot_record {
  FILE *text_file;
  FILE *graph_file;
  char dump_directory[1024];
  char parameters_path[1024];
  char status_path[1024];
  char info_path[1024];
  char graph_path[1024];
  char description[256];
  int64_t start_time;
  locked_file_handle lock_handle;
  int32_t classes_listed_in_walk;

  // Summary counters.
  int64_t object_count;
  int64_t reference_count;
  int64_t local_reference_count;
  int64_t class_reference_count;
  int64_t class_count;
  int64_t class_max_id;
  int64_t class_strings_length;
  int64_t method_count;
  int64_t method_strings_length;
  int64_t field_count;
  int64_t field_strings_length;
  int64_t thread_count;
  int64_t thread_names_length;
  int64_t thread_traces_length;
  int64_t allocation_point_count;
  int64_t allocation_point_strings_length;
  int64_t classloader_count;

  // Phase times: the start count while a phase runs, its milliseconds afterwards.
  uint64_t dumping_total_time;
  uint64_t class_dumping_time;
  uint64_t thread_dumping_time;
  uint64_t dump_stw_time;
  uint64_t restore_stw_time;
  uint64_t class_size_stw_time;
  uint64_t class_info_stw_time;

  uint32_t deferred_class_count;
  const char *fatal_error;
  uint64_t bytes_written;
  uint64_t next_disk_check;
  uint8_t error_reported;

  // The writer's graph buffer while the graph is open, and the bytes in it not yet in the file.
  uint8_t *graph_buffer;
  uint64_t graph_buffer_size;
  uint64_t graph_buffered;
};

extern snapshot_record snapshot_current;

// Zero-fills the record; the lock handle becomes invalid.
void snapshot_reset(snapshot_record *snapshot);

// Valid while no fatal error is set and the disk check passes (a check every 50000000 bytes).
// Inline, as the heap walk asks once per reference; the check itself is snapshot_check_disk.
bool snapshot_check_disk(snapshot_record *snapshot);
inline bool snapshot_in_valid_state(snapshot_record *snapshot) {
  if (snapshot->fatal_error == nullptr && snapshot->next_disk_check > snapshot->bytes_written) return true;
  return snapshot_check_disk(snapshot);
}
void snapshot_set_fatal_error(snapshot_record *snapshot, const char *code);
const char *snapshot_get_fatal_error(const snapshot_record *snapshot);
// Where the disk check reads free space; disk_get_free_space by default, null restores it.
using snapshot_disk_source = uint64_t (*)(const char *path);
void snapshot_set_disk_source(snapshot_disk_source source);

// Fills dump_directory ("%s/oom_%lld") and the four file paths under it.
bool snapshot_build_paths(snapshot_record *snapshot, const char *work_dir);

bool oom_write_status_file(snapshot_record *snapshot, const char *text);
// "parameters.txt": the fields of the snapshot's notifications (version, ids, description and
// timestamp), one "name=URL-encoded value" line each.
bool oom_save_parameters(snapshot_record *snapshot);

bool oom_text_open(snapshot_record *snapshot);
void oom_text_close(snapshot_record *snapshot);
bool oom_text_print(snapshot_record *snapshot, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The section header line "--- <name> ---...".
bool oom_text_print_header(snapshot_record *snapshot, const char *name);
// A text's length rounded up to a multiple of 8, 0 for null: what the summary's "strings length"
// counters add up.
int64_t oom_text_strings_length(const char *text);
// A field line and a method line of the class listing; their texts count in the summary's field
// and method strings lengths (the field and method counts are the caller's).
void oom_text_print_field_line(snapshot_record *snapshot, int modifiers, const char *signature, const char *name);
void oom_text_print_method_line(snapshot_record *snapshot, const void *method_id, int modifiers, const char *signature,
                                const char *name);
bool oom_text_vprint(snapshot_record *snapshot, const char *format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// The graph goes through a buffer of the writer's own; oom_graph_close flushes it.
bool oom_graph_open(snapshot_record *snapshot);
bool oom_graph_write(snapshot_record *snapshot, const void *data, size_t size);
// oom_graph_write for the small records of the walk: a copy into the buffer while it has room.
inline bool oom_graph_append(snapshot_record *snapshot, const uint8_t *data, size_t size) {
  if (snapshot->graph_buffer != nullptr && snapshot->graph_buffer_size - snapshot->graph_buffered >= size) {
    uint8_t *out = snapshot->graph_buffer + snapshot->graph_buffered;
    for (size_t i = 0; i < size; ++i) out[i] = data[i];
    snapshot->graph_buffered += size;
    snapshot->bytes_written += size;
    return true;
  }
  return oom_graph_write(snapshot, data, size);
}
bool oom_graph_flush(snapshot_record *snapshot);
void oom_graph_close(snapshot_record *snapshot);

// ---------------------------------------------------------------------------------------------
// Graph records. Every encoder writes into out (at least the *_MAX bytes) and returns the length.

constexpr size_t GRAPH_PACKED_ID_MAX = 5;
constexpr size_t GRAPH_REFERENCE_MAX = 1 + 4 + 2 * GRAPH_PACKED_ID_MAX;
constexpr size_t GRAPH_STACK_LOCAL_MAX = 1 + 8 + 4 + 4 + 8 + 2 * GRAPH_PACKED_ID_MAX;
constexpr size_t GRAPH_OBJECT_MAX = 1 + 4 + 4 + 4;
constexpr uint8_t GRAPH_OBJECT_FOLLOWS = 0x80;
constexpr uint8_t GRAPH_KIND_STACK_LOCAL = 24;

namespace graph_encoding {
inline void put_u16(uint8_t *out, uint32_t value) {
  out[0] = (uint8_t)value;
  out[1] = (uint8_t)(value >> 8);
}
inline void put_u32(uint8_t *out, uint32_t value) {
  out[0] = (uint8_t)value;
  out[1] = (uint8_t)(value >> 8);
  out[2] = (uint8_t)(value >> 16);
  out[3] = (uint8_t)(value >> 24);
}
inline void put_u64(uint8_t *out, uint64_t value) {
  put_u32(out, (uint32_t)value);
  put_u32(out + 4, (uint32_t)(value >> 32));
}
}  // namespace graph_encoding

// Whether the reference kind carries an index: field (2), array element (3), static field (8).
constexpr bool oom_graph_kind_has_index(unsigned kind) { return kind == 2 || kind == 3 || kind == 8; }

// Ids below 2^31 take 4 bytes; larger ones (up to 2^39 - 1) 4 bytes with bit 31 set and one more.
inline size_t oom_graph_encode_packed_id(uint8_t *out, uint64_t id) {
  if (id < 0x80000000ULL) {
    graph_encoding::put_u32(out, (uint32_t)id);
    return 4;
  }
  graph_encoding::put_u32(out, (uint32_t)((id & 0x7FFFFFFFULL) | 0x80000000ULL));
  out[4] = (uint8_t)((id >> 31) & 0xFF);
  return 5;
}

// Width code of a field, element or static-field index: 0 for 0, 1 below 256, 2 below 65536, else 3.
inline unsigned oom_graph_index_width(uint32_t index) {
  if (index == 0) return 0;
  if (index < 256) return 1;
  if (index < 65536) return 2;
  return 3;
}

// A reference of any kind but stack locals; index is used for the indexed kinds only.
inline size_t oom_graph_encode_reference(uint8_t *out, unsigned kind, uint32_t index, uint64_t referrer,
                                         uint64_t referee, bool object_follows) {
  unsigned width = oom_graph_kind_has_index(kind) ? oom_graph_index_width(index) : 0;
  out[0] = (uint8_t)((kind & 0x1F) | (width << 5) | (object_follows ? GRAPH_OBJECT_FOLLOWS : 0));
  size_t length = 1;
  switch (width) {
    case 1:
      out[length++] = (uint8_t)index;
      break;
    case 2:
      graph_encoding::put_u16(out + length, index);
      length += 2;
      break;
    case 3:
      graph_encoding::put_u32(out + length, index);
      length += 4;
      break;
    default:
      break;
  }
  length += oom_graph_encode_packed_id(out + length, referrer);
  length += oom_graph_encode_packed_id(out + length, referee);
  return length;
}

// A stack local: the frame's method, slot and depth, the thread id in 2, 4 or 8 bytes.
inline size_t oom_graph_encode_stack_local(uint8_t *out, uint64_t method, int32_t slot, int32_t depth,
                                           uint64_t thread_id, uint64_t referrer, uint64_t referee,
                                           bool object_follows) {
  unsigned width = thread_id < 65536 ? 0 : thread_id <= 0xFFFFFFFFULL ? 1 : 2;
  out[0] = (uint8_t)(GRAPH_KIND_STACK_LOCAL | (width << 5) | (object_follows ? GRAPH_OBJECT_FOLLOWS : 0));
  size_t length = 1;
  graph_encoding::put_u64(out + length, method);
  length += 8;
  graph_encoding::put_u32(out + length, (uint32_t)slot);
  length += 4;
  graph_encoding::put_u32(out + length, (uint32_t)depth);
  length += 4;
  if (width == 0) {
    graph_encoding::put_u16(out + length, (uint32_t)thread_id);
    length += 2;
  } else if (width == 1) {
    graph_encoding::put_u32(out + length, (uint32_t)thread_id);
    length += 4;
  } else {
    graph_encoding::put_u64(out + length, thread_id);
    length += 8;
  }
  length += oom_graph_encode_packed_id(out + length, referrer);
  length += oom_graph_encode_packed_id(out + length, referee);
  return length;
}

// The object record: the previous tag's low word when not zero, the class id in 1, 2 or 4 bytes,
// the size in 0, 1, 2 or 4 bytes (low 32 bits of each).
inline size_t oom_graph_encode_object(uint8_t *out, uint64_t previous_tag, uint64_t class_id, uint64_t size) {
  uint32_t tag_low = (uint32_t)previous_tag;
  uint32_t klass = (uint32_t)class_id;
  uint32_t bytes = (uint32_t)size;
  unsigned class_width = klass < 256 ? 0 : klass < 65536 ? 1 : 2;
  unsigned size_width = bytes == 0 ? 0 : bytes < 256 ? 1 : bytes < 65536 ? 2 : 3;
  out[0] = (uint8_t)((tag_low != 0 ? 1 : 0) | (class_width << 1) | (size_width << 3));
  size_t length = 1;
  if (tag_low != 0) {
    graph_encoding::put_u32(out + length, tag_low);
    length += 4;
  }
  switch (class_width) {
    case 0:
      out[length++] = (uint8_t)klass;
      break;
    case 1:
      graph_encoding::put_u16(out + length, klass);
      length += 2;
      break;
    default:
      graph_encoding::put_u32(out + length, klass);
      length += 4;
      break;
  }
  switch (size_width) {
    case 1:
      out[length++] = (uint8_t)bytes;
      break;
    case 2:
      graph_encoding::put_u16(out + length, bytes);
      length += 2;
      break;
    case 3:
      graph_encoding::put_u32(out + length, bytes);
      length += 4;
      break;
    default:
      break;
  }
  return length;
}
