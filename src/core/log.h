// Native logging: the Java logger, the daily native log file, and standard error for undelivered errors.
#pragma once

#include <jni.h>

#include <cstdarg>

#include "platform/clock.h"

enum log_level_value : int { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3 };

void log_initialise(const char *role);
void log_rename(const char *role);
bool log_open(const date_record *date);

void log_debug(JNIEnv *jni, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_info(JNIEnv *jni, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_warn(JNIEnv *jni, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Errors carry the reporting function and a line in the format itself: "... (%s:%d)".
void log_error_raw(JNIEnv *jni, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_level(JNIEnv *jni, int level, const char *format, va_list arguments) __attribute__((format(printf, 3, 0)));

// Directory of the log files ("" when file logging is off) and whether a file is open.
const char *log_directory();
bool log_file_active();
// The log directory for a module path: the path cut at its last component named exactly "lib",
// followed by "logs/". False when there is no such component or the result does not fit.
bool log_directory_for_module(const char *module_path, char *directory, size_t size);
// Sends file output to the given directory from now on (tools and tests that run outside an
// installed agent); initialises logging with the role first when that has not happened yet.
bool log_use_directory(const char *role, const char *directory);
// The Java logger (a global reference) and its four methods: the first one set stays; false, with
// nothing changed, when one is set already.
bool log_set_java_logger(jobject logger, jmethodID debug, jmethodID info, jmethodID warn, jmethodID error);
bool log_java_logger_set();
// While one lives on a thread, the thread's log lines go to the native log only, never to the Java
// logger: for the callbacks of JVMTI events that run while the thread holds or waits for a monitor,
// where the Java logger's own locks could deadlock with the monitor's other threads.
class log_native_only_scope {
 public:
  log_native_only_scope();
  ~log_native_only_scope();
  log_native_only_scope(const log_native_only_scope &) = delete;
  log_native_only_scope &operator=(const log_native_only_scope &) = delete;
};

// Where the logger reads the current date; tests substitute a clock to cross midnight.
using log_date_source = void (*)(date_record *date);
void log_set_date_source(log_date_source source);
