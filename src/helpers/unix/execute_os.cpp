// Starting a helper on Unix-like systems: the agent's own file as a program.
#include "core/agent_state.h"
#include "helpers/execute.h"
#include "platform/proc_info.h"

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
