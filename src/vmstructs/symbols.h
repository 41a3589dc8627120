// Symbols of the JVM library loaded in this process, and memory reads that report an unreadable
// address instead of faulting. One implementation per operating system.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

// Result codes of a preload (and the last one kept in the handle).
enum symbols_result : int32_t {
  SYMBOLS_OK = 0,
  SYMBOLS_READER_FAILED = 1,
  SYMBOLS_MISSING = 2,
  SYMBOLS_UNAVAILABLE = 3,           // the library carries no symbol table that could be read
  SYMBOLS_DEBUG_FILE_NOT_FOUND = 4,  // its symbol table is in a separate debug file that is not there
};

constexpr int SYMBOLS_BLOCK_COUNT = 3;

// The loaded module that contains a hint address, with the names resolved by up to three preloads.
// Made once per process and never freed by the agent.
struct symbols_module_handle;

symbols_module_handle *symbols_get_module_handle(JNIEnv *env, const void *hint);
// Resolves a null-terminated list of names in one pass over the module's symbols and keeps them in
// the next free block. With as_vtables, each name is a class whose virtual table is wanted.
int32_t symbols_preload(JNIEnv *env, symbols_module_handle *handle, const char *const *names, bool as_vtables,
                        bool report_missing);
void *lookup_symbol(JNIEnv *env, symbols_module_handle *handle, const char *name);
void *lookup_symbol_silent(JNIEnv *env, symbols_module_handle *handle, const char *name);
void *lookup_vtable(JNIEnv *env, symbols_module_handle *handle, const char *class_name);
// Frees a handle (the agent keeps its one for the life of the process; tools and tests do not).
void symbols_free_module_handle(symbols_module_handle *handle);

// Copies length bytes from address, or logs "Failed to read ..." with the caller's description
// and line, leaves destination as it was and returns false.
bool safe_read_memory(const void *address, void *destination, size_t length, const char *description, int line);
// From now on safe reads copy without checking the source.
void disable_safety_check();

// 8, 8, 4 or 2 bytes at base + offset; 0 when they cannot be read.

inline void *safe_read_memory_ptr(const void *base, int64_t offset, const char *description, int line) {
  void *value = nullptr;
  if (!safe_read_memory(static_cast<const char *>(base) + offset, &value, sizeof value, description, line))
    return nullptr;
  return value;
}
inline uint64_t safe_read_memory_ulong(const void *base, int64_t offset, const char *description, int line) {
  uint64_t value = 0;
  if (!safe_read_memory(static_cast<const char *>(base) + offset, &value, sizeof value, description, line)) return 0;
  return value;
}
inline int32_t safe_read_memory_int(const void *base, int64_t offset, const char *description, int line) {
  int32_t value = 0;
  if (!safe_read_memory(static_cast<const char *>(base) + offset, &value, sizeof value, description, line)) return 0;
  return value;
}
inline uint16_t safe_read_memory_u2(const void *base, int64_t offset, const char *description, int line) {
  uint16_t value = 0;
  if (!safe_read_memory(static_cast<const char *>(base) + offset, &value, sizeof value, description, line)) return 0;
  return value;
}
