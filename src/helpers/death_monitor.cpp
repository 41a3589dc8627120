#include "helpers/death_monitor.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "helpers/execute.h"
#include "platform/fileops.h"
#include "core/hires_time.h"
#include "helpers/http_query.h"
#include "core/log.h"
#include "platform/proc_info.h"
#include "platform/sockets.h"
#include "base/string_util.h"

namespace {

constexpr size_t PATH_SIZE = 1024;

// The monitor's parameters, in the monitor process.
death_monitor_parameters external;

// In the agent: the monitor is started once per process.
struct {
  std::atomic<bool> started{false};
  int32_t monitor_pid;
} death_monitor;

char static_error_buffer[DEATH_MONITOR_STATIC_BUFFER_SIZE];

bool death_monitor_parse_pid(const char *text, int32_t *pid) {
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0 || value > INT32_MAX) return false;
  *pid = (int32_t)value;
  return true;
}

// Copies text when it fits whole; otherwise logs which argument is too long.
bool death_monitor_copy_argument(char *destination, size_t size, const char *text, const char *what) {
  if (strlen(text) >= size) {
    log_error_raw(nullptr, "Process exit monitor got a %s longer than %d characters.", what, (int)size - 1);
    return false;
  }
  safe_strncpy(destination, text, size);
  return true;
}

// Only a regular file is a crash log: a directory would read as empty and end the search, and a
// pipe would keep the monitor waiting for a writer.
FILE *death_monitor_try_candidate(const char *path) {
  struct stat status {};
  if (path[0] == '\0' || stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  return fopen(path, "rb");
}

// Saves a report that could not be sent, for the Java half to send at its next start.
bool death_monitor_save(int64_t timestamp, const http_field *fields, const char *crash_log, size_t length) {
  char directory[PATH_SIZE];
  int written = xsnprintf(directory, sizeof directory, "%s/exit_%lld", external.work_dir, (long long)timestamp);
  bool made = written >= 0 && (size_t)written < sizeof directory && create_directory(directory);
  // A work directory removed while the JVM ran is made again (its parent is not).
  if (!made && written >= 0 && (size_t)written < sizeof directory && errno == ENOENT &&
      create_directory(external.work_dir)) {
    log_warn(nullptr, "The work directory %s was missing and is made again.", external.work_dir);
    made = create_directory(directory);
  }
  if (!made) {
    log_error_raw(nullptr, "Failed to create directory %s for unsent exit notification.", external.work_dir);
    return false;
  }
  char path[PATH_SIZE + 32];
  xsnprintf(path, sizeof path, "%s/parameters.txt", directory);
  if (!http_save_parameters(path, fields)) {
    log_error_raw(nullptr, "Failed to save parameters for unsent exit notification.");
    return false;
  }
  xsnprintf(path, sizeof path, "%s/hs_err.log", directory);
  FILE *file = fopen(path, "wb");
  bool saved = file != nullptr;
  if (file != nullptr) {
    if (length > 0 && fwrite(crash_log, 1, length, file) != length) saved = false;
    if (fclose(file) != 0) saved = false;
  }
  if (!saved) log_error_raw(nullptr, "Failed to save crash log for unsent exit notification.");
  return saved;
}

}  // namespace

void death_monitor_initialise(JNIEnv *jni, const char *crash_log_pattern) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr) return;
  if (death_monitor.started.exchange(true)) {
    log_debug(jni, "Process exit monitor already running (pid %d).", (int)death_monitor.monitor_pid);
    return;
  }
  char pid_text[16];
  char port_text[16];
  xsnprintf(pid_text, sizeof pid_text, "%d", (int)process_get_id());
  xsnprintf(port_text, sizeof port_text, "%d", (int)globals->collector_port);
  char mode[] = "monitor";
  char empty[] = "";
  char *arguments[DEATH_MONITOR_ARGUMENT_COUNT + 1] = {
      mode,
      pid_text,
      globals->work_dir,
      globals->account_id,
      globals->jvm_id,
      globals->session_id,
      globals->collector_host,
      port_text,
      crash_log_pattern != nullptr ? const_cast<char *>(crash_log_pattern) : empty,
      nullptr,
  };
  const char *reason = "";
  int32_t pid = 0;
  if (!execute_self(arguments, &reason, &pid)) {
    log_error_raw(jni, "Starting termination monitor failed: %s (%s:%d)", reason, "death_monitor_initialise", 323);
    death_monitor.started = false;
    return;
  }
  death_monitor.monitor_pid = pid;
  death_monitor_os_initialise(jni, pid);
}

const char *death_monitor_exit_kind_name(int32_t kind) {
  static const char *const names[] = {"killed", "exited", "exited_unknown_code"};  // by death_monitor_exit_kind
  static_assert(DEATH_MONITOR_KILLED == 0 && DEATH_MONITOR_EXITED == 1 && DEATH_MONITOR_EXITED_UNKNOWN_CODE == 2);
  return string_table_name(names, kind, "exited_unknown_code");
}

bool death_monitor_apply_hserr_pattern(char *buffer, size_t size, const char *pattern, int32_t pid) {
  appendable path;
  appendable_init(&path, buffer, size);
  for (const char *p = pattern; *p != '\0'; ++p) {
    if (*p == '%' && p[1] == 'p') {
      appendable_write(&path, "%d", (int)pid);
      ++p;
    } else if (*p == '%' && p[1] == '%') {
      appendable_write_char(&path, '%');
      ++p;
    } else {
      appendable_write_char(&path, *p);
    }
  }
  return path.state == APPENDABLE_GOOD;
}

FILE *death_monitor_open_crash_log(int32_t pid, const char *pattern, char *path, size_t path_size) {
  char candidate[PATH_SIZE];
  FILE *file = nullptr;
  // A pattern that was cut would name another file: it is skipped.
  if (pattern != nullptr && strlen(pattern) >= 2 &&
      death_monitor_apply_hserr_pattern(candidate, sizeof candidate, pattern, pid)) {
    file = death_monitor_try_candidate(candidate);
  }
  if (file == nullptr) {
    char directory[PATH_SIZE];
    candidate[0] = '\0';
    if (process_get_cwd(directory, sizeof directory)) {
      if (xsnprintf(candidate, sizeof candidate, "%s/hs_err_pid%d.log", directory, (int)pid) >= (int)sizeof candidate) {
        candidate[0] = '\0';
      }
    }
    file = death_monitor_try_candidate(candidate);
  }
  if (file == nullptr) {
    char temp[PATH_SIZE];
    death_monitor_get_temp_dir(temp, sizeof temp);
    if (xsnprintf(candidate, sizeof candidate, "%shs_err_pid%d.log", temp, (int)pid) >= (int)sizeof candidate) {
      candidate[0] = '\0';
    }
    file = death_monitor_try_candidate(candidate);
    if (file == nullptr) {
      if (xsnprintf(candidate, sizeof candidate, "%sjvm-%d/hs_error.log", temp, (int)pid) >= (int)sizeof candidate) {
        candidate[0] = '\0';
      }
      file = death_monitor_try_candidate(candidate);
    }
  }
  if (path != nullptr && path_size > 0) safe_strncpy(path, file != nullptr ? candidate : "", path_size);
  return file;
}

void death_monitor_sanitise(char *text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)text[i];
    bool keep = (c >= 32 && c < 127) || c == '\t' || c == '\n' || c == '\r';
    if (!keep) text[i] = '?';
  }
}

char *death_monitor_read_crash_log(FILE *file, size_t *length) {
  *length = 0;
  if (file == nullptr) return nullptr;
  int64_t size = xfsize64(file);
  size_t limit = DEATH_MONITOR_MAX_CRASH_LOG;
  if (size >= 0 && (uint64_t)size < limit) limit = (size_t)size;
  char *text = static_cast<char *>(malloc(limit + 1));
  if (text == nullptr) {
    text = static_error_buffer;
    limit = DEATH_MONITOR_STATIC_BUFFER_SIZE - 1;
  }
  size_t read = 0;
  while (read < limit) {
    size_t chunk = fread(text + read, 1, limit - read, file);
    if (chunk == 0) break;
    read += chunk;
  }
  if (read == 0) {
    death_monitor_release_crash_log(text);
    return nullptr;
  }
  text[read] = '\0';
  death_monitor_sanitise(text, read);
  *length = read;
  return text;
}

void death_monitor_release_crash_log(char *text) {
  if (text != static_error_buffer) free(text);
}

bool death_monitor_parse_arguments(char **arguments, int count, death_monitor_parameters *parameters) {
  if (count != DEATH_MONITOR_ARGUMENT_COUNT || arguments == nullptr) {
    log_error_raw(nullptr, "Process exit monitor got wrong number of parameters %d, expected %d.", count,
                  DEATH_MONITOR_ARGUMENT_COUNT);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (arguments[i] == nullptr) {
      log_error_raw(nullptr, "Process exit monitor got wrong number of parameters %d, expected %d.", i,
                    DEATH_MONITOR_ARGUMENT_COUNT);
      return false;
    }
  }
  if (!death_monitor_parse_pid(arguments[1], &parameters->pid)) {
    log_error_raw(nullptr, "Process exit monitor got an invalid process id \"%s\".", arguments[1]);
    return false;
  }
  if (!http_valid_host_name(arguments[6])) {
    log_error_raw(nullptr, "Process exit monitor got an invalid collector host \"%s\".", arguments[6]);
    return false;
  }
  if (!http_parse_port(arguments[7], &parameters->collector.port)) {
    log_error_raw(nullptr, "Process exit monitor got an invalid collector port \"%s\".", arguments[7]);
    return false;
  }
  safe_strncpy(parameters->collector.host, arguments[6], sizeof parameters->collector.host);
  parameters->has_pattern = strlen(arguments[8]) >= 2;
  return death_monitor_copy_argument(parameters->work_dir, sizeof parameters->work_dir, arguments[2],
                                     "work directory") &&
         death_monitor_copy_argument(parameters->account_id, sizeof parameters->account_id, arguments[3],
                                     "account id") &&
         death_monitor_copy_argument(parameters->jvm_id, sizeof parameters->jvm_id, arguments[4], "JVM id") &&
         death_monitor_copy_argument(parameters->session_id, sizeof parameters->session_id, arguments[5],
                                     "session id") &&
         death_monitor_copy_argument(parameters->crash_log_pattern, sizeof parameters->crash_log_pattern,
                                     parameters->has_pattern ? arguments[8] : "", "crash log pattern");
}

bool death_monitor_entry_point(char **arguments, int count) {
  if (!death_monitor_parse_arguments(arguments, count, &external)) return false;

  death_monitor_os_release_console();
  sockets_initialize(nullptr);
  log_info(nullptr, "Process monitor succesfully started, monitoring PID %d.", (int)external.pid);

  int32_t kind = DEATH_MONITOR_EXITED_UNKNOWN_CODE;
  int32_t code = 0;
  death_monitor_wait_for_parent(external.pid, &kind, &code);

  FILE *file = death_monitor_open_crash_log(external.pid, external.has_pattern ? external.crash_log_pattern : nullptr,
                                            nullptr, 0);
  size_t length = 0;
  char *crash_log = death_monitor_read_crash_log(file, &length);
  if (file != nullptr) fclose(file);
  log_info(nullptr, "Monitored process exited, %scrash log found.", crash_log != nullptr ? "" : "no ");

  int64_t timestamp = systemTimeMillis();
  char code_text[16];
  char timestamp_text[32];
  xsnprintf(code_text, sizeof code_text, "%d", (int)code);
  xsnprintf(timestamp_text, sizeof timestamp_text, "%lld", (long long)timestamp);
  const http_field fields[] = {
      {"accountId", external.account_id},
      {"jvmId", external.jvm_id},
      {"sessionId", external.session_id},
      {"operatingSystem", death_monitor_platform_name()},
      {"type", death_monitor_exit_kind_name(kind)},
      {"value", code_text},
      {"timestamp", timestamp_text},
      {nullptr, nullptr},
  };
  const http_field extra[] = {
      {"crashLog", crash_log != nullptr ? crash_log : ""},
      {nullptr, nullptr},
  };
  bool reported =
      http_execute_post(&external.collector, "/shutdown/termination", fields, extra, DEATH_MONITOR_TIMEOUT_MS);
  if (!reported) {
    log_warn(nullptr, "Could not send termination notification, saving.");
    reported = death_monitor_save(timestamp, fields, crash_log != nullptr ? crash_log : "", length);
  }
  death_monitor_release_crash_log(crash_log);
  return reported;
}
