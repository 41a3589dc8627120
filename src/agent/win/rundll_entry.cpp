// The helper process's entry on Windows:
//   rundll32.exe <path of vorkel.dll>,agent_win32_entry MODE ARGUMENTS...
// rundll32 loads the DLL, looks for the wide-character variant of the named entry, and calls it
// with the rest of its command line. Only the DLL links this file.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "base/common.h"
#include "agent/execute_modes.h"
#include "core/log.h"

namespace {

[[noreturn]] void agent_win32_fail(const char *message) {
  log_error_raw(nullptr, "%s", message);
  ExitProcess(1);
}

}  // namespace

VORKEL_EXPORT void CALLBACK agent_win32_entryW(HWND window, HINSTANCE instance, LPWSTR command_line, int show) {
  int count = 0;
  // An empty line has no arguments; the system's splitter would answer with the program's path.
  bool empty = command_line == nullptr || command_line[0] == L'\0';
  LPWSTR *wide = empty ? nullptr : CommandLineToArgvW(command_line, &count);
  execute_pre_entry_point();
  if (empty) {
    ExitProcess((UINT)execute_entry_point(nullptr, 0));
  }
  if (wide == nullptr) agent_win32_fail("Monitor: Could not parse command line parameters.");
  char **arguments = static_cast<char **>(calloc((size_t)count + 1, sizeof(char *)));
  if (arguments == nullptr) agent_win32_fail("Monitor: Could not allocate parameter buffer.");
  for (int i = 0; i < count; ++i) {
    int length = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    if (length == 0) agent_win32_fail("Monitor: Could not get parameter length.");
    arguments[i] = static_cast<char *>(malloc((size_t)length));
    if (arguments[i] == nullptr) agent_win32_fail("Monitor: Could not allocate parameter text buffer.");
    if (WideCharToMultiByte(CP_ACP, 0, wide[i], -1, arguments[i], length, nullptr, nullptr) == 0) {
      agent_win32_fail("Monitor: Could not convert parameter from unicode.");
    }
  }
  LocalFree(wide);
  // The helper's status, as on the other systems: 0 when its work succeeded.
  ExitProcess((UINT)execute_entry_point(arguments, count));
}
