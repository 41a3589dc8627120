// Starting the agent's own helper on Windows: rundll32.exe loads the DLL and calls its
// agent_win32_entryW export with the helper's arguments.
#include <windows.h>

#include <cstdlib>

#include "core/agent_state.h"
#include "helpers/execute.h"
#include "base/string_util.h"
#include "platform/win/command_line.h"
#include "platform/win/win_process.h"

namespace {
constexpr size_t PATH_SIZE = 1024;
}  // namespace

bool execute_self(char *const arguments[], const char **reason, int32_t *pid) {
  *reason = "";
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->self_executable[0] == '\0') {
    *reason = "agent not configured";
    return false;
  }
  char system_root[PATH_SIZE];
  DWORD length = GetEnvironmentVariableA("SystemRoot", system_root, sizeof system_root);
  if (length == 0 || length >= sizeof system_root) {
    *reason = "Failed to get system root path or path is too long.";
    return false;
  }
  char launcher[PATH_SIZE];
  int written = xsnprintf(launcher, sizeof launcher, "%s\\system32\\rundll32.exe", system_root);
  if (written < 0 || (size_t)written >= sizeof launcher) {
    *reason = "Failed to construct rundll path.";
    return false;
  }
  char target[COMMAND_LINE_RUNDLL_TARGET_SIZE];
  if (!command_line_rundll_target(target, sizeof target, globals->self_executable)) {
    *reason = "Failed to construct rundll target argument.";
    return false;
  }
  size_t count = 0;
  while (arguments != nullptr && arguments[count] != nullptr) ++count;
  char **list = static_cast<char **>(calloc(count + 2, sizeof(char *)));
  if (list == nullptr) {
    *reason = "Failed to allocate argument buffer.";
    return false;
  }
  list[0] = target;
  for (size_t i = 0; i < count; ++i) list[i + 1] = arguments[i];
  list[count + 1] = nullptr;
  // The target is quoted already, in rundll32's way: it must go on the command line as it is.
  bool started = create_process_special(launcher, list, 0, pid);
  free(list);
  if (!started) *reason = "Failed to start process.";
  return started;
}
