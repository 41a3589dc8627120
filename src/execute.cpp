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

bool execute_self(char *const arguments[], const char **reason, int32_t *pid) {
  *reason = "";
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->self_executable[0] == '\0') {
    *reason = "agent not configured";
    return false;
  }
  if (!create_process(globals->self_executable, arguments, pid)) {
    *reason = "create_process failed";
    return false;
  }
  return true;
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
