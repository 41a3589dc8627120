// The Java half's process facts on Windows (class WindowsProcessInfo).
#include <windows.h>
#include <psapi.h>

#include <jni.h>

#include "base/common.h"
#include "core/hires_time.h"
#include "core/log.h"

namespace {
constexpr const char *IS_PROCESS_ALIVE = "Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive";
}  // namespace

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive(JNIEnv *jni,
                                                                                                         jclass,
                                                                                                         jint pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
  if (process == nullptr) {
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {
      log_debug(jni, "Process %d is INACTIVE (no handle available)", (int)pid);
    } else {
      char text[512] = "";
      DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                    sizeof text, nullptr);
      while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        text[--length] = '\0';
      }
      if (length == 0) wsprintfA(text, "error %lu", error);
      log_error_raw(jni, "%s (%s:%d)", text, IS_PROCESS_ALIVE, 168);
    }
    return JNI_FALSE;
  }
  DWORD code = 0;
  bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  if (!alive) log_debug(jni, "Process %d is INACTIVE", (int)pid);
  return alive ? JNI_TRUE : JNI_FALSE;
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getUsedPrivateMemory(JNIEnv *,
                                                                                                            jclass,
                                                                                                            jint pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, (DWORD)pid);
  if (process == nullptr) return 0;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  jlong size = K32GetProcessMemoryInfo(process, &counters, sizeof counters) ? (jlong)counters.WorkingSetSize : 0;
  CloseHandle(process);
  return size;
}

VORKEL_EXPORT jint JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getProcessId(JNIEnv *, jclass) {
  return (jint)GetCurrentProcessId();
}

VORKEL_EXPORT jlong JNICALL
Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getPerformanceCounterFrequency(JNIEnv *, jclass) {
  return (jlong)perfCounterFrequency();
}
