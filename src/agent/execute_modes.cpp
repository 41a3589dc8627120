#include "agent/execute_modes.h"

#include <jni.h>

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "helpers/death_monitor.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "snapshot/oom_notify.h"
#include "platform/proc_info.h"
#include "base/string_util.h"

void execute_pre_entry_point() {
  hires_conversions_initialise();
  log_initialise("fork");
}

namespace {

bool execute_is_mode_word(const char *word) {
  return word != nullptr && (strcmp(word, "monitor") == 0 || strcmp(word, "notify") == 0);
}

}  // namespace

execute_mode execute_parse_mode(char **arguments, int count) {
  // Started with an empty argument vector, Linux hands the program one empty argument.
  if (count < 1 || arguments == nullptr || arguments[0] == nullptr || arguments[0][0] == '\0') {
    log_error_raw(nullptr, "No arguments given for execution.");
    return EXECUTE_MODE_UNKNOWN;
  }
  if (strcmp(arguments[0], "monitor") == 0) return EXECUTE_MODE_MONITOR;
  if (strcmp(arguments[0], "notify") == 0) return EXECUTE_MODE_NOTIFY;
  log_error_raw(nullptr, "Unknown execution type: %s", arguments[0]);
  return EXECUTE_MODE_UNKNOWN;
}

int execute_entry_point(char **arguments, int count) {
  // The agent starts a helper with the mode word as its first argument; started by hand
  // ("libvorkel.so notify ..."), the first argument is the program and the mode word follows.
  if (count >= 2 && arguments != nullptr && !execute_is_mode_word(arguments[0]) && execute_is_mode_word(arguments[1])) {
    ++arguments;
    --count;
  }
  switch (execute_parse_mode(arguments, count)) {
    case EXECUTE_MODE_MONITOR:
      log_rename("monitor");
      return death_monitor_entry_point(arguments, count) ? 0 : 1;
    case EXECUTE_MODE_NOTIFY:
      log_rename("notify");
      return oom_notify_entry_point(arguments, count) ? 0 : 1;
    default:
      return 1;
  }
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
