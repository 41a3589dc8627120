// The process exit monitor: a companion process that waits for the JVM to end, finds its crash
// log, and reports the end to the collector (or saves the report in the work directory).
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "helpers/http_query.h"

// The monitor's argument list: "monitor", pid, work directory, account id, JVM id, session id,
// collector host, collector port, crash log pattern.
constexpr int DEATH_MONITOR_ARGUMENT_COUNT = 9;
constexpr int32_t DEATH_MONITOR_TIMEOUT_MS = 20000;
// A crash log is sent up to this many bytes.
constexpr size_t DEATH_MONITOR_MAX_CRASH_LOG = 4194304;
// Used when the crash log's buffer cannot be allocated; holds 65535 bytes and the terminator.
constexpr size_t DEATH_MONITOR_STATIC_BUFFER_SIZE = 65536;

enum death_monitor_exit_kind : int32_t {
  DEATH_MONITOR_KILLED = 0,
  DEATH_MONITOR_EXITED = 1,
  DEATH_MONITOR_EXITED_UNKNOWN_CODE = 2,
};

// Starts the monitor for this JVM (once per process; later calls keep the running monitor).
void death_monitor_initialise(JNIEnv *jni, const char *crash_log_pattern);
// A monitor argument list as read.
struct death_monitor_parameters {
  int32_t pid;
  char work_dir[1024];
  char account_id[64];
  char jvm_id[64];
  char session_id[64];
  char crash_log_pattern[1024];
  bool has_pattern;  // a pattern of at least two characters was given
  http_host collector;
};
// False (after logging why) when the list is not one the monitor can work with: a wrong count, a
// missing argument, a process id that is no positive number, a collector that cannot be reached
// by name and port, or a text longer than its place (cut, it would name another directory, file
// or JVM).
bool death_monitor_parse_arguments(char **arguments, int count, death_monitor_parameters *parameters);
// The "monitor" helper mode. True when the JVM's end was reported or saved.
bool death_monitor_entry_point(char **arguments, int count);

const char *death_monitor_exit_kind_name(int32_t kind);
// Expands a crash log pattern: "%p" is the pid, "%%" is "%", anything else is kept. False when
// the result does not fit (the buffer then holds the cut text).
bool death_monitor_apply_hserr_pattern(char *buffer, size_t size, const char *pattern, int32_t pid);
// Opens the crash log of pid: the expanded pattern (when given), "hs_err_pid<pid>.log" in the
// current directory and in the temporary directory, and "jvm-<pid>/hs_error.log" in the temporary
// directory, the first that opens. The chosen path goes to path. Null when none opens.
FILE *death_monitor_open_crash_log(int32_t pid, const char *pattern, char *path, size_t path_size);
// Reads at most DEATH_MONITOR_MAX_CRASH_LOG bytes, terminates and sanitises them. Null (and
// *length 0) when nothing was read. Release the text with death_monitor_release_crash_log.
char *death_monitor_read_crash_log(FILE *file, size_t *length);
void death_monitor_release_crash_log(char *text);
// Replaces every byte that is neither printable ASCII nor a tab, line feed or carriage return
// with "?".
void death_monitor_sanitise(char *text, size_t length);

// Platform part.
void death_monitor_os_initialise(JNIEnv *jni, int32_t monitor_pid);
// Blocks until the monitored process (the monitor's parent) has ended. Always true.
bool death_monitor_wait_for_parent(int32_t pid, int32_t *kind, int32_t *code);
// The temporary directory, ending in the path separator.
void death_monitor_get_temp_dir(char *buffer, size_t size);
const char *death_monitor_platform_name();
// Lets go of the standard streams the monitor inherited from the JVM, so that whoever reads the
// JVM's output is not kept waiting by the monitor.
void death_monitor_os_release_console();
