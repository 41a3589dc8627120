// Threads, thread-local slots and processes on Windows.
#include "platform/proc_info.h"

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdlib>

#include "platform/platform_log.h"
#include "base/string_util.h"
#include "platform/win/command_line.h"
#include "platform/win/win_process.h"

namespace {

constexpr DWORD MAX_EXAMINED_MODULES = 512;

struct {
  INIT_ONCE key_once = INIT_ONCE_STATIC_INIT;
  DWORD thread_specific_key = TLS_OUT_OF_INDEXES;
  std::atomic<uint32_t> next_id{1};
} thread_numbers;

BOOL CALLBACK thread_numbers_make_key(PINIT_ONCE, PVOID, PVOID *) {
  thread_numbers.thread_specific_key = TlsAlloc();
  return TRUE;
}

}  // namespace

uint32_t getCurrentThreadId() {
  InitOnceExecuteOnce(&thread_numbers.key_once, thread_numbers_make_key, nullptr, nullptr);
  DWORD key = thread_numbers.thread_specific_key;
  uintptr_t stored = key != TLS_OUT_OF_INDEXES ? (uintptr_t)TlsGetValue(key) : 0;
  if (stored != 0) return (uint32_t)stored;
  uint32_t id = thread_numbers.next_id.fetch_add(1);
  if (id == 0) id = thread_numbers.next_id.fetch_add(1);  // 0 is never handed out
  if (key != TLS_OUT_OF_INDEXES) TlsSetValue(key, (void *)(uintptr_t)id);
  return id;
}

thread_local_key thread_local_initialise() {
  DWORD key = TlsAlloc();
  if (key == TLS_OUT_OF_INDEXES) {
    platform_log_error("Failed to create thread-local slot.");
    return (thread_local_key)-1;
  }
  return (thread_local_key)key;
}

void *thread_local_get(thread_local_key key) { return TlsGetValue((DWORD)key); }

bool thread_local_set(thread_local_key key, void *value) { return TlsSetValue((DWORD)key, value) != 0; }

// SetThreadDescription exists from Windows 10 1607 on: looked up, so that older systems just keep
// their threads unnamed.
void proc_set_thread_name(const char *name) {
  using set_description = HRESULT(WINAPI *)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto set =
      kernel != nullptr
          ? reinterpret_cast<set_description>(reinterpret_cast<void *>(GetProcAddress(kernel, "SetThreadDescription")))
          : nullptr;
  if (set == nullptr || name == nullptr) return;
  char cut[64];
  safe_strncpy(cut, name, sizeof cut);
  wchar_t wide[64];
  if (MultiByteToWideChar(CP_UTF8, 0, cut, -1, wide, (int)(sizeof wide / sizeof wide[0])) == 0) return;
  set(GetCurrentThread(), wide);
}

int32_t process_get_id() { return (int32_t)GetCurrentProcessId(); }

bool process_get_cwd(char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  buffer[0] = '\0';
  DWORD length = GetCurrentDirectoryA((DWORD)size, buffer);
  if (length == 0 || length >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

bool process_find_module(const void *address, void **module, const char **base, size_t *size) {
  HMODULE modules[MAX_EXAMINED_MODULES];
  DWORD needed = 0;
  HANDLE self = GetCurrentProcess();
  if (!EnumProcessModules(self, modules, sizeof modules, &needed)) return false;
  DWORD count = needed / sizeof(HMODULE);
  if (count > MAX_EXAMINED_MODULES) count = MAX_EXAMINED_MODULES;
  const char *at = static_cast<const char *>(address);
  for (DWORD i = 0; i < count; ++i) {
    MODULEINFO info{};
    if (!GetModuleInformation(self, modules[i], &info, sizeof info)) continue;
    const char *start = static_cast<const char *>(info.lpBaseOfDll);
    if (at < start || at >= start + info.SizeOfImage) continue;
    *module = modules[i];
    *base = start;
    *size = info.SizeOfImage;
    return true;
  }
  return false;
}

bool process_get_module_path(char *buffer, size_t size, const void *address) {
  void *module = nullptr;
  const char *base = nullptr;
  size_t image_size = 0;
  if (process_find_module(address, &module, &base, &image_size)) {
    DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module), buffer, (DWORD)size);
    // A cut name is reported with the full buffer and no error on older systems.
    return length > 0 && length < size;
  }
  platform_log_error("Failed to find module path.");
  return false;
}

namespace {

// Whether the environment entry ("NAME=value") has the name of the entry variable; Windows
// compares names without case.
bool same_name(const char *entry, const char *variable) {
  const char *equals = strchr(variable, '=');
  size_t length = equals != nullptr ? (size_t)(equals - variable) : strlen(variable);
  return _strnicmp(entry, variable, length) == 0 && entry[length] == '=';
}

// An environment block ("NAME=value" entries, each ended by a zero, the block by one more) of
// this process's environment with variables in place of the same-named entries; malloc'd, null
// when memory is short.
char *environment_block_with(const char *const *variables) {
  char *current = GetEnvironmentStringsA();
  if (current == nullptr) return nullptr;
  size_t size = 1;
  for (const char *entry = current; *entry != '\0'; entry += strlen(entry) + 1) size += strlen(entry) + 1;
  for (const char *const *variable = variables; *variable != nullptr; ++variable) size += strlen(*variable) + 1;
  auto *block = static_cast<char *>(malloc(size));
  if (block != nullptr) {
    char *at = block;
    for (const char *entry = current; *entry != '\0'; entry += strlen(entry) + 1) {
      bool replaced = false;
      for (const char *const *variable = variables; *variable != nullptr && !replaced; ++variable) {
        replaced = same_name(entry, *variable);
      }
      if (replaced) continue;
      memcpy(at, entry, strlen(entry) + 1);
      at += strlen(entry) + 1;
    }
    for (const char *const *variable = variables; *variable != nullptr; ++variable) {
      memcpy(at, *variable, strlen(*variable) + 1);
      at += strlen(*variable) + 1;
    }
    *at = '\0';
  }
  FreeEnvironmentStringsA(current);
  return block;
}

}  // namespace

bool create_process_special(const char *path, char *const arguments[], int raw_index, int32_t *pid,
                            const char *const *variables) {
  if (path == nullptr || arguments == nullptr) return false;
  char command_line[COMMAND_LINE_SIZE];
  if (!command_line_build(command_line, sizeof command_line, arguments, raw_index)) return false;
  char *environment = nullptr;
  if (variables != nullptr && (environment = environment_block_with(variables)) == nullptr) {
    platform_log_error("Creating process failed: no memory for its environment.");
    return false;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  BOOL created = CreateProcessA(path, command_line, nullptr, nullptr, FALSE,
                                CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, environment, nullptr, &startup, &process);
  DWORD error = GetLastError();
  free(environment);
  if (!created) {
    platform_log_error("CreateProcessA failed with %d. (%s:%d)", (int)error, "create_process_special", 84);
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (pid != nullptr) *pid = (int32_t)process.dwProcessId;
  return true;
}

// The list's first entry stands for the program name, which on Windows is always "vorkel".
bool create_process(const char *path, char *const arguments[], int32_t *pid, const char *const *variables) {
  if (path == nullptr || arguments == nullptr || arguments[0] == nullptr) return false;
  return create_process_special(path, arguments + 1, COMMAND_LINE_NO_RAW_ARGUMENT, pid, variables);
}

// Windows closes a child's handles right after its start: nothing to track.
bool proc_pre_initialise() { return true; }
