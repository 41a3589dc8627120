#include "snapshot/oom_writer.h"

#include <errno.h>

#include <cstring>

#include "core/agent_state.h"
#include "platform/fileops.h"
#include "helpers/http_query.h"
#include "core/log.h"
#include "base/string_util.h"

snapshot_record snapshot_current;

namespace {

constexpr size_t GRAPH_BUFFER_SIZE = 1 << 20;

struct {
  snapshot_disk_source disk_source = disk_get_free_space;
  // The heap walk writes one small record per reference with the VM stopped: records collect
  // here and reach the file a mebibyte at a time. Static, so a snapshot taken when memory has
  // run out does not depend on an allocation for it.
  uint8_t graph_buffer[GRAPH_BUFFER_SIZE];
} writer;

}  // namespace

void snapshot_reset(snapshot_record *snapshot) {
  memset(snapshot, 0, sizeof *snapshot);
  snapshot->lock_handle = INVALID_LOCKED_FILE;
}

void snapshot_set_disk_source(snapshot_disk_source source) {
  writer.disk_source = source != nullptr ? source : disk_get_free_space;
}

bool snapshot_check_disk(snapshot_record *snapshot) {
  if (snapshot->fatal_error != nullptr) return false;
  if (snapshot->next_disk_check > snapshot->bytes_written) return true;
  uint64_t available = writer.disk_source(snapshot->dump_directory);
  if (available > SNAPSHOT_DISK_REQUIRED) {
    log_debug(nullptr, "Disk space check passed (%llu available, %llu required, %llu written)",
              (unsigned long long)available, (unsigned long long)SNAPSHOT_DISK_REQUIRED,
              (unsigned long long)snapshot->bytes_written);
  } else {
    log_warn(nullptr, "Disk is too full to continue snapshot (%llu available, %llu required, %llu written)",
             (unsigned long long)available, (unsigned long long)SNAPSHOT_DISK_REQUIRED,
             (unsigned long long)snapshot->bytes_written);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_DISK_FULL);
  }
  snapshot->next_disk_check += SNAPSHOT_DISK_CHECK_STEP;
  return snapshot->fatal_error == nullptr;
}

void snapshot_set_fatal_error(snapshot_record *snapshot, const char *code) { snapshot->fatal_error = code; }

const char *snapshot_get_fatal_error(const snapshot_record *snapshot) { return snapshot->fatal_error; }

bool snapshot_build_paths(snapshot_record *snapshot, const char *work_dir) {
  int length = xsnprintf(snapshot->dump_directory, sizeof snapshot->dump_directory, "%s/oom_%lld", work_dir,
                         (long long)snapshot->start_time);
  if (length < 0 || (size_t)length >= sizeof snapshot->dump_directory) return false;
  struct {
    char *path;
    const char *name;
  } files[] = {{snapshot->parameters_path, "parameters.txt"},
               {snapshot->status_path, "status.txt"},
               {snapshot->info_path, "oom_info.txt"},
               {snapshot->graph_path, "oom_graph.bin"}};
  bool complete = true;
  for (auto &file : files) {
    length = xsnprintf(file.path, 1024, "%s/%s", snapshot->dump_directory, file.name);
    if (length < 0 || length >= 1024) complete = false;
  }
  return complete;
}

bool oom_write_status_file(snapshot_record *snapshot, const char *text) {
  FILE *file = fopen(snapshot->status_path, FILEOPS_WRITE_MODE);
  if (file == nullptr) {
    log_error_raw(nullptr, "Could not open OOM status file for writing.");
    return false;
  }
  size_t length = strlen(text);
  bool written = fwrite(text, 1, length, file) == length;
  if (fclose(file) != 0) written = false;
  if (!written) log_error_raw(nullptr, "Could not write to OOM status file.");
  return written;
}

bool oom_save_parameters(snapshot_record *snapshot) {
  agent_globals_record *globals = agent_globals;
  char timestamp[32];
  xsnprintf(timestamp, sizeof timestamp, "%lld", (long long)snapshot->start_time);
  const http_field fields[] = {{"version", SNAPSHOT_DUMP_VERSION},
                               {"accountId", globals->account_id},
                               {"jvmId", globals->jvm_id},
                               {"sessionId", globals->session_id},
                               {"description", snapshot->description},
                               {"timestamp", timestamp},
                               {nullptr, nullptr}};
  return http_save_parameters(snapshot->parameters_path, fields);
}

// ---------------------------------------------------------------------------------------------
// The info text.

bool oom_text_open(snapshot_record *snapshot) {
  snapshot->text_file = fopen(snapshot->info_path, FILEOPS_WRITE_MODE);
  if (snapshot->text_file == nullptr) {
    log_error_raw(nullptr, "Failed to open OOM info file for writing: %d", errno);
    return false;
  }
  return true;
}

void oom_text_close(snapshot_record *snapshot) {
  if (snapshot->text_file == nullptr) return;
  // Whatever stdio still holds is written now; failing that, the file is incomplete.
  bool failed = ferror(snapshot->text_file) != 0;
  if (fclose(snapshot->text_file) != 0) failed = true;
  snapshot->text_file = nullptr;
  if (failed && snapshot->fatal_error == nullptr) {
    log_error_raw(nullptr, "Failed to write OOM info: %d", errno);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_TEXT_WRITE);
  }
}

bool oom_text_vprint(snapshot_record *snapshot, const char *format, va_list arguments) {
  if (snapshot->text_file == nullptr) {
    log_error_raw(nullptr, "OOM info file not opened, cannot write to it.");
    return false;
  }
  int written = vfprintf(snapshot->text_file, format, arguments);
  if (written < 0 || ferror(snapshot->text_file)) {
    log_error_raw(nullptr, "Failed to write OOM info: %d", errno);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_TEXT_WRITE);
    return false;
  }
  snapshot->bytes_written += (uint64_t)written;
  return true;
}

bool oom_text_print(snapshot_record *snapshot, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  bool result = oom_text_vprint(snapshot, format, arguments);
  va_end(arguments);
  return result;
}

bool oom_text_print_header(snapshot_record *snapshot, const char *name) {
  return oom_text_print(snapshot, "--- %-15s ---------------------------------\n", name);
}

int64_t oom_text_strings_length(const char *text) {
  if (text == nullptr) return 0;
  return (int64_t)((strlen(text) + 7) & ~(size_t)7);
}

void oom_text_print_field_line(snapshot_record *snapshot, int modifiers, const char *signature, const char *name) {
  oom_text_print(snapshot, "%13s  . %d %s %s\n", "", modifiers, signature, name);
  snapshot->field_strings_length += oom_text_strings_length(name) + oom_text_strings_length(signature);
}

void oom_text_print_method_line(snapshot_record *snapshot, const void *method_id, int modifiers, const char *signature,
                                const char *name) {
  oom_text_print(snapshot, "%13s  #%lld %d %s %s\n", "", (long long)(intptr_t)method_id, modifiers, signature, name);
  snapshot->method_strings_length += oom_text_strings_length(name) + oom_text_strings_length(signature);
}

// ---------------------------------------------------------------------------------------------
// The graph.

bool oom_graph_open(snapshot_record *snapshot) {
  snapshot->graph_buffered = 0;
  snapshot->graph_file = fopen(snapshot->graph_path, FILEOPS_WRITE_MODE);
  if (snapshot->graph_file == nullptr) {
    log_error_raw(nullptr, "Failed to open OOM graph file for writing: %d", errno);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_GRAPH_OPEN);
    return false;
  }
  snapshot->graph_buffer = writer.graph_buffer;
  snapshot->graph_buffer_size = GRAPH_BUFFER_SIZE;
  // The writer buffers itself; stdio passes each flush straight to the file.
  setvbuf(snapshot->graph_file, nullptr, _IONBF, 0);
  return true;
}

bool oom_graph_flush(snapshot_record *snapshot) {
  if (snapshot->graph_buffered == 0) return true;
  if (snapshot->graph_file == nullptr) {
    log_error_raw(nullptr, "OOM graph file not opened, cannot write to it.");
    snapshot->graph_buffered = 0;
    return false;
  }
  size_t size = (size_t)snapshot->graph_buffered;
  snapshot->graph_buffered = 0;
  size_t written = fwrite(writer.graph_buffer, 1, size, snapshot->graph_file);
  if (written != size) {
    log_error_raw(nullptr, "Failed to write OOM graph: %d (%d size)", errno, (int)size);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_GRAPH_WRITE);
    return false;
  }
  return true;
}

bool oom_graph_write(snapshot_record *snapshot, const void *data, size_t size) {
  if (snapshot->graph_file == nullptr) {
    log_error_raw(nullptr, "OOM graph file not opened, cannot write to it.");
    return false;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  while (size > 0) {
    if (snapshot->graph_buffered >= GRAPH_BUFFER_SIZE && !oom_graph_flush(snapshot)) return false;
    size_t room = GRAPH_BUFFER_SIZE - (size_t)snapshot->graph_buffered;
    size_t part = size < room ? size : room;
    memcpy(writer.graph_buffer + snapshot->graph_buffered, bytes, part);
    snapshot->graph_buffered += part;
    snapshot->bytes_written += part;
    bytes += part;
    size -= part;
  }
  return true;
}

void oom_graph_close(snapshot_record *snapshot) {
  if (snapshot->graph_file == nullptr) return;
  oom_graph_flush(snapshot);
  if (fclose(snapshot->graph_file) != 0 && snapshot->fatal_error == nullptr) {
    log_error_raw(nullptr, "Failed to write OOM graph: %d (%d size)", errno, 0);
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_GRAPH_WRITE);
  }
  snapshot->graph_file = nullptr;
  snapshot->graph_buffer = nullptr;
  snapshot->graph_buffer_size = 0;
}
