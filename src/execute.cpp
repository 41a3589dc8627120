#include "execute.h"

#include <jni.h>

#include <cstdlib>
#include <cstring>

#include "agent_init.h"
#include "death_monitor.h"
#include "hires_time.h"
#include "log.h"
#include "oom_notify.h"
#include "proc_info.h"
#include "string_util.h"

void execute_pre_entry_point() {
  hires_conversions_initialise();
  log_initialise("fork");
}

int execute_entry_point(char **arguments, int count) {
  // Started with an empty argument vector, Linux hands the program one empty argument.
  if (count < 1 || arguments == nullptr || arguments[0] == nullptr || arguments[0][0] == '\0') {
    log_error_raw(nullptr, "No arguments given for execution.");
    return 1;
  }
  if (strcmp(arguments[0], "monitor") == 0) {
    log_rename("monitor");
    return death_monitor_entry_point(arguments, count) ? 0 : 1;
  }
  if (strcmp(arguments[0], "notify") == 0) {
    log_rename("notify");
    return oom_notify_entry_point(arguments, count) ? 0 : 1;
  }
  log_error_raw(nullptr, "Unknown execution type: %s", arguments[0]);
  return 1;
}

bool oom_start_fork(const char *mode, const char *directory) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->java_executable[0] == '\0' || mode == nullptr || directory == nullptr) {
    log_error_raw(nullptr, "Uploader fork not started: the agent is not configured.");
    return false;
  }
  // Process creation here hands the list over as the whole argument vector, so the launcher's
  // path goes first as argv[0] and every entry after it reaches the JVM as an argument.
  uint64_t jvm_count = globals->jvm_arguments != nullptr ? globals->jvm_argument_count : 0;
  char **arguments = static_cast<char **>(calloc(jvm_count + 9, sizeof(char *)));
  if (arguments == nullptr) {
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to allocate buffer for fork arguments.", "oom_start_fork", 1132);
    return false;
  }
  size_t at = 0;
  arguments[at++] = globals->java_executable;
  for (uint64_t i = 0; i < jvm_count; ++i) arguments[at++] = globals->jvm_arguments[i];
  arguments[at++] = const_cast<char *>("-Xmx256m");
  arguments[at++] = const_cast<char *>("-DvorkelFork=1");
  arguments[at++] = const_cast<char *>("-jar");
  arguments[at++] = globals->agent_jar;
  arguments[at++] = const_cast<char *>("forked_job");
  arguments[at++] = const_cast<char *>(mode);
  arguments[at++] = const_cast<char *>(directory);
  arguments[at] = nullptr;

  process_set_env("VORKEL_HOME", globals->home_dir);
  bool started = create_process(globals->java_executable, arguments, nullptr);
  free(arguments);
  return started;
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_fork_AgentStartupForker_startForkedProcess(JNIEnv *jni,
                                                                                                   jclass type) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->work_dir[0] == '\0') {
    log_error_raw(jni, "startForkedProcess: the agent is not configured, no uploader fork started.");
    return JNI_FALSE;
  }
  return oom_start_fork("all", globals->work_dir) ? JNI_TRUE : JNI_FALSE;
}

// ---------------------------------------------------------------------------------------------
// Windows command lines.

namespace {

bool execute_windows_needs_quotes(const char *argument, bool quote_comma) {
  if (argument[0] == '\0') return true;
  for (const char *p = argument; *p != '\0'; ++p) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '"' || (quote_comma && *p == ',')) return true;
  }
  return false;
}

void execute_append_backslashes(appendable *buffer, size_t count) {
  for (size_t i = 0; i < count; ++i) appendable_write_char(buffer, '\\');
}

}  // namespace

bool execute_windows_append_argument(appendable *buffer, const char *argument, bool quote_comma) {
  if (argument == nullptr) argument = "";
  if (!execute_windows_needs_quotes(argument, quote_comma)) {
    appendable_write(buffer, "%s", argument);
    return buffer->state == APPENDABLE_GOOD;
  }
  appendable_write_char(buffer, '"');
  for (const char *p = argument;; ++p) {
    size_t backslashes = 0;
    while (*p == '\\') {
      ++backslashes;
      ++p;
    }
    if (*p == '\0') {
      // The closing quote must not be escaped by the argument's own trailing backslashes.
      execute_append_backslashes(buffer, backslashes * 2);
      break;
    }
    if (*p == '"') {
      execute_append_backslashes(buffer, backslashes * 2 + 1);
    } else {
      execute_append_backslashes(buffer, backslashes);
    }
    appendable_write_char(buffer, *p);
  }
  appendable_write_char(buffer, '"');
  return buffer->state == APPENDABLE_GOOD;
}

bool execute_windows_command_line(char *buffer, size_t size, char *const arguments[], int raw_index) {
  appendable line;
  appendable_init(&line, buffer, size);
  appendable_write(&line, "vorkel");
  for (int i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
    appendable_write_char(&line, ' ');
    if (i == raw_index && arguments[i][0] != '\0') appendable_write(&line, "%s", arguments[i]);
    else execute_windows_append_argument(&line, arguments[i], false);
  }
  if (line.state != APPENDABLE_GOOD) {
    log_error_raw(nullptr, "%s (%s:%d)", "Argument buffer too small.", "create_process_special", 79);
    return false;
  }
  return true;
}

bool execute_windows_rundll_target(char *buffer, size_t size, const char *library_path) {
  appendable target;
  appendable_init(&target, buffer, size);
  execute_windows_append_argument(&target, library_path, true);
  appendable_write_char(&target, ',');
  execute_windows_append_argument(&target, "agent_win32_entry", true);
  return target.state == APPENDABLE_GOOD;
}
