// Symbol lookup and safe memory reads on Windows: the loader answers for exported names
// (GetProcAddress) and ReadProcessMemory reads without faulting.
#include "vmstructs/win/symbols.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "base/string_util.h"
#include "platform/win/win_process.h"
#include "vmstructs/safe_read_pages.h"

namespace {

constexpr size_t VTABLE_NAME_SIZE = 256;

struct {
  std::atomic<HANDLE> self{nullptr};
} safe_reads;

// The Microsoft-mangled name of a class's virtual table.
bool symbols_vtable_name(char *buffer, size_t size, const char *class_name) {
  int written = xsnprintf(buffer, size, "??_7%s@@6B@", class_name);
  return written >= 0 && (size_t)written < size;
}

}  // namespace

symbols_module_handle *symbols_get_module_handle(JNIEnv *env, const void *hint) {
  void *module = nullptr;
  const char *base = nullptr;
  size_t size = 0;
  if (process_find_module(hint, &module, &base, &size)) {
    symbols_module_handle *handle = new (std::nothrow) symbols_module_handle{};
    if (handle != nullptr) {
      handle->module = static_cast<HMODULE>(module);
      handle->base = base;
      handle->size = size;
      handle->error = SYMBOLS_READER_FAILED;
      if (GetModuleFileNameA(handle->module, handle->path, sizeof handle->path) == 0) handle->path[0] = '\0';
      return handle;
    }
  }
  log_error_raw(env, "Failed to get module handle.");
  return nullptr;
}

int32_t symbols_preload(JNIEnv *env, symbols_module_handle *handle, const char *const *names, bool as_vtables,
                        bool report_missing) {
  if (handle == nullptr) return SYMBOLS_READER_FAILED;
  handle->error = SYMBOLS_READER_FAILED;
  if (names == nullptr || names[0] == nullptr) {
    log_error_raw(env, "SymbolLookup: Empty symbol list.");
    return handle->error;
  }
  bool missing = false;
  for (size_t i = 0; names[i] != nullptr; ++i) {
    char vtable[VTABLE_NAME_SIZE];
    const char *wanted = names[i];
    if (as_vtables) wanted = symbols_vtable_name(vtable, sizeof vtable, names[i]) ? vtable : nullptr;
    if (wanted != nullptr && GetProcAddress(handle->module, wanted) != nullptr) continue;
    missing = true;
    if (report_missing) log_error_raw(env, "Required symbol %s not found.", names[i]);
  }
  handle->error = missing ? SYMBOLS_MISSING : SYMBOLS_OK;
  return handle->error;
}

void *lookup_symbol(JNIEnv *env, symbols_module_handle *handle, const char *name) {
  if (handle == nullptr || name == nullptr) return nullptr;
  FARPROC address = GetProcAddress(handle->module, name);
  if (address == nullptr) {
    log_error_raw(env, "Failed to find symbol %s, GetProcAddress returned error %d.", name, (int)GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void *>(address);
}

void *lookup_symbol_silent(JNIEnv *, symbols_module_handle *handle, const char *name) {
  if (handle == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(handle->module, name));
}

void *lookup_vtable(JNIEnv *env, symbols_module_handle *handle, const char *class_name) {
  if (handle == nullptr || class_name == nullptr) return nullptr;
  char name[VTABLE_NAME_SIZE];
  FARPROC address = symbols_vtable_name(name, sizeof name, class_name) ? GetProcAddress(handle->module, name) : nullptr;
  if (address == nullptr) {
    log_error_raw(env, "Failed to find constructor symbol %s, GetProcAddress returned error %d.", class_name,
                  (int)GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void *>(address);
}

void symbols_free_module_handle(symbols_module_handle *handle) { delete handle; }

bool safe_read_memory(const void *address, void *destination, size_t length, const char *description, int line) {
  if (safe_read_pages_known(address, length)) {
    memcpy(destination, address, length);
    return true;
  }
  HANDLE self = safe_reads.self.load(std::memory_order_relaxed);
  if (self == nullptr) {
    self = GetCurrentProcess();
    safe_reads.self.store(self, std::memory_order_relaxed);
  }
  // Read into a scratch copy first: a partial read must leave the destination as it was.
  unsigned char scratch[64];
  unsigned char *buffer = length <= sizeof scratch ? scratch : static_cast<unsigned char *>(malloc(length));
  SIZE_T read = 0;
  bool ok = buffer != nullptr && ReadProcessMemory(self, address, buffer, length, &read) && read == length;
  if (ok) {
    memcpy(destination, buffer, length);
    safe_read_pages_add(address, length);
  } else {
    log_error_raw(nullptr, "Failed to read %d bytes at %p (%s:%d).", (int)length, address,
                  description != nullptr ? description : "", line);
  }
  if (buffer != scratch) free(buffer);
  return ok;
}

// Reads through ReadProcessMemory cost no more than a probe would: nothing to switch off.
void disable_safety_check() {}
