#include "core/log.h"

#include <jvmti.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/agent_state.h"
#include "platform/mutex.h"
#include "platform/fileops.h"
#include "platform/proc_info.h"
#include "base/string_util.h"
#include "platform/platform_log.h"

namespace {

constexpr size_t MESSAGE_SIZE = 1024;
constexpr size_t LINE_SIZE = 1200;
constexpr const char *LINE_FORMAT = "%d-%02d-%02d %02d:%02d:%02d,%03d [%-8s:%-5d] %-5s - %s\n";

// Threads log at any time, also while logging starts: the flags are atomic, and the lock guards
// the role, the process id, the directory and the open file with its date.
struct logging_record {
  std::atomic<uint8_t> initialised;
  std::atomic<uint8_t> file_active;
  int32_t pid;
  char role[32];
  char directory[1024];
  agent_mutex lock;
  date_record file_date;
  FILE *file;
  std::atomic<uint8_t> java_ready;  // set once the logger and its methods below are in place
  jobject java_logger;
  jmethodID java_debug;
  jmethodID java_info;
  jmethodID java_warn;
  jmethodID java_error;
};

logging_record logging{};
log_date_source date_source = date_get_current;

static_assert((int)LOG_DEBUG == (int)PLATFORM_LOG_DEBUG && (int)LOG_INFO == (int)PLATFORM_LOG_INFO &&
                  (int)LOG_WARN == (int)PLATFORM_LOG_WARN && (int)LOG_ERROR == (int)PLATFORM_LOG_ERROR,
              "the platform layer logs at the log's levels");

// The platform layer's messages join the log; set when the library is loaded, before any of
// its code runs.
void log_platform_message(int level, const char *format, va_list arguments) {
  log_level(nullptr, level, format, arguments);
}
const bool platform_sink_installed = (platform_set_log_sink(log_platform_message), true);

const char *level_name(int level) {
  static const char *const names[] = {"DEBUG", "INFO", "WARN", "ERROR"};  // by log_level_value
  static_assert(LOG_DEBUG == 0 && LOG_INFO == 1 && LOG_WARN == 2 && LOG_ERROR == 3);
  return string_table_name(names, level, "ERROR");
}

// Callbacks of monitor events nest these; while the depth is above 0 the thread logs natively.
thread_local int native_only_depth = 0;

// Java output is attempted only from a thread that is runnable in the Java sense, outside the
// callbacks of monitor events (log_native_only_scope) and with no exception pending: Java code
// run there could deadlock on a monitor the thread holds or waits for, and a pending exception
// is the caller's, not to be cleared by the logger.
bool log_to_java(JNIEnv *jni, int level, const char *message) {
  if (jni == nullptr || native_only_depth > 0 || logging.java_ready.load(std::memory_order_acquire) == 0) return false;
  agent_globals_record *globals = agent_globals;
  if (globals != nullptr) {
    jvmtiEnv *jvmti = globals->jvmti;
    // After VM death no Java code runs for us, and entering the VM could block this thread.
    if (jvmti == nullptr || globals->vm_dead) return false;
    jthread thread = nullptr;
    if (jvmti->GetCurrentThread(&thread) != JVMTI_ERROR_NONE || thread == nullptr) return false;
    jint state = 0;
    jvmtiError error = jvmti->GetThreadState(thread, &state);
    jni->DeleteLocalRef(thread);
    if (error != JVMTI_ERROR_NONE) return false;
    if ((state & JVMTI_JAVA_LANG_THREAD_STATE_MASK) != JVMTI_JAVA_LANG_THREAD_STATE_RUNNABLE) return false;
  }
  if (jni->ExceptionCheck()) return false;
  jstring text = jni->NewStringUTF(message);
  if (text == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    return false;
  }
  jmethodID method;
  switch (level) {
    case LOG_DEBUG:
      method = logging.java_debug;
      break;
    case LOG_INFO:
      method = logging.java_info;
      break;
    case LOG_WARN:
      method = logging.java_warn;
      break;
    default:
      method = logging.java_error;
      break;
  }
  jni->CallVoidMethod(logging.java_logger, method, text);
  jni->DeleteLocalRef(text);
  if (jni->ExceptionCheck()) {
    jni->ExceptionClear();
    return false;
  }
  return true;
}

// With the lock held: the file of date becomes the log file.
bool open_locked(const date_record *date) {
  char name[1024];
  int length = xsnprintf(name, sizeof name, "%s/vorkel-native.%04d%02d%02d.log", logging.directory, date->year,
                         date->month, date->day);
  if (length < 0 || (size_t)length >= sizeof name) return false;
  FILE *file = file_open_append_shared_write(name);
  if (file == nullptr) return false;
  if (logging.file != nullptr) file_close(logging.file);
  logging.file = file;
  logging.file_date = *date;
  return true;
}

// A line goes to the file of the day it carries: around midnight, a thread that took its time
// before midnight still writes into the day before.
bool log_to_file(const char *line, const date_record *date) {
  if (logging.file_active.load(std::memory_order_acquire) == 0) return false;
  agent_mutex_guard guard(logging.lock);
  if (date->year != logging.file_date.year || date->month != logging.file_date.month ||
      date->day != logging.file_date.day) {
    open_locked(date);  // a failure keeps the old file
  }
  return file_write_flush(logging.file, line);
}

// The first call starts logging under role; false for the later ones.
bool log_start(const char *role) {
  if (logging.initialised.exchange(1, std::memory_order_acq_rel) != 0) return false;
  agent_mutex_guard guard(logging.lock);
  safe_strncpy(logging.role, role != nullptr ? role : "agent", sizeof logging.role);
  logging.pid = process_get_id();
  return true;
}

}  // namespace

bool log_directory_for_module(const char *module_path, char *directory, size_t size) {
  if (module_path == nullptr) return false;
  const char *lib_start = nullptr;
  for (const char *p = module_path; *p != '\0'; ++p) {
    if (*p != '/' && *p != '\\') continue;
    const char *component = p + 1;
    if (strncmp(component, "lib", 3) == 0 && (component[3] == '/' || component[3] == '\\')) lib_start = component;
  }
  if (lib_start == nullptr) return false;
  appendable buffer;
  appendable_init(&buffer, directory, size);
  appendable_write(&buffer, "%.*s", (int)(lib_start - module_path), module_path);
  appendable_write(&buffer, "logs/");
  return buffer.state == APPENDABLE_GOOD;
}

void log_initialise(const char *role) {
  if (!log_start(role)) return;

  char module_path[1024];
  if (!process_get_module_path(module_path, sizeof module_path, reinterpret_cast<const void *>(&log_initialise))) {
    return;
  }
  char directory[1024];
  if (!log_directory_for_module(module_path, directory, sizeof directory)) return;
  if (!create_directory(directory)) return;
  {
    agent_mutex_guard guard(logging.lock);
    safe_strncpy(logging.directory, directory, sizeof logging.directory);
  }
  date_record today{};
  date_source(&today);
  if (log_open(&today)) logging.file_active.store(1, std::memory_order_release);
}

void log_rename(const char *role) {
  agent_mutex_guard guard(logging.lock);
  safe_strncpy(logging.role, role != nullptr ? role : "", sizeof logging.role);
}

bool log_open(const date_record *date) {
  agent_mutex_guard guard(logging.lock);
  return open_locked(date);
}

void log_level(JNIEnv *jni, int level, const char *format, va_list arguments) {
  char message[MESSAGE_SIZE];
  if (xvsnprintf(message, sizeof message, format, arguments) < 0) safe_strncpy(message, format, sizeof message);

  date_record now{};
  date_source(&now);
  char line[LINE_SIZE];
  char role[32];
  int32_t pid = 0;
  {
    agent_mutex_guard guard(logging.lock);
    safe_strncpy(role, logging.role, sizeof role);
    pid = logging.pid;
  }
  xsnprintf(line, sizeof line, LINE_FORMAT, now.year, now.month, now.day, now.hour, now.minute, now.second,
            now.millisecond, role, pid, level_name(level), message);

  bool delivered = false;
  if (logging.initialised.load(std::memory_order_acquire) != 0) {
    if (log_to_java(jni, level, message)) delivered = true;
    if (log_to_file(line, &now)) delivered = true;
  }
  if (!delivered && level == LOG_ERROR) {
    fputs(line, stderr);
    fflush(stderr);
  }
}

void log_debug(JNIEnv *jni, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  log_level(jni, LOG_DEBUG, format, arguments);
  va_end(arguments);
}

void log_info(JNIEnv *jni, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  log_level(jni, LOG_INFO, format, arguments);
  va_end(arguments);
}

void log_warn(JNIEnv *jni, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  log_level(jni, LOG_WARN, format, arguments);
  va_end(arguments);
}

void log_error_raw(JNIEnv *jni, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  log_level(jni, LOG_ERROR, format, arguments);
  va_end(arguments);
}

bool log_use_directory(const char *role, const char *directory) {
  log_start(role);
  if (directory == nullptr || !create_directory(directory)) return false;
  char with_separator[1024];
  size_t length = strlen(directory);
  int written = xsnprintf(with_separator, sizeof with_separator, "%s%s", directory,
                          length > 0 && directory[length - 1] == '/' ? "" : "/");
  if (written < 0 || (size_t)written >= sizeof with_separator) return false;
  {
    agent_mutex_guard guard(logging.lock);
    safe_strncpy(logging.directory, with_separator, sizeof logging.directory);
  }
  date_record today{};
  date_source(&today);
  if (!log_open(&today)) return false;
  logging.file_active.store(1, std::memory_order_release);
  return true;
}

const char *log_directory() { return logging.directory; }
bool log_file_active() { return logging.file_active.load(std::memory_order_acquire) != 0; }
void log_set_date_source(log_date_source source) { date_source = source != nullptr ? source : date_get_current; }

bool log_set_java_logger(jobject logger, jmethodID debug, jmethodID info, jmethodID warn, jmethodID error) {
  agent_mutex_guard guard(logging.lock);
  if (logging.java_ready.load(std::memory_order_relaxed) != 0) return false;
  logging.java_logger = logger;
  logging.java_debug = debug;
  logging.java_info = info;
  logging.java_warn = warn;
  logging.java_error = error;
  logging.java_ready.store(1, std::memory_order_release);
  return true;
}

log_native_only_scope::log_native_only_scope() { ++native_only_depth; }
log_native_only_scope::~log_native_only_scope() { --native_only_depth; }

bool log_java_logger_set() { return logging.java_ready.load(std::memory_order_acquire) != 0; }
