// The exit monitor's platform part on Windows. The monitor is not the JVM's child (rundll32.exe
// started it): it opens the JVM process by its id and waits on the handle, which also yields the
// exit code.
#include "helpers/death_monitor.h"

#include <windows.h>

#include "core/log.h"
#include "base/string_util.h"

void death_monitor_os_initialise(JNIEnv *, int32_t) {}

bool death_monitor_wait_for_parent(int32_t pid, int32_t *kind, int32_t *code) {
  *kind = DEATH_MONITOR_EXITED;
  *code = 0;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
  if (process == nullptr) return true;  // already gone: nothing to wait for, the code is lost
  // A wait that fails for another reason falls back to polling every 100 ms.
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) {
    while (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) Sleep(100);
  }
  DWORD exit_code = 0;
  if (GetExitCodeProcess(process, &exit_code)) *code = (int32_t)exit_code;
  CloseHandle(process);
  return true;
}

void death_monitor_get_temp_dir(char *buffer, size_t size) {
  DWORD length = GetTempPathA((DWORD)size, buffer);
  if (length == 0 || length >= size) {
    buffer[0] = '\0';
    return;
  }
  if (buffer[length - 1] != '\\' && buffer[length - 1] != '/' && length + 1 < size) {
    buffer[length] = '\\';
    buffer[length + 1] = '\0';
  }
}

const char *death_monitor_platform_name() { return "windows"; }

// A helper started by the agent has no console (CREATE_NO_WINDOW); nothing to let go of.
void death_monitor_os_release_console() {}
