// Symbols of the JVM library loaded in this process, and memory reads that report an unreadable
// address instead of faulting: one implementation per operating system.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

// The loaded module that holds the JVM's exported tables; made once, never freed.
struct symbols_module_handle;

enum symbols_preload_result : int {
  SYMBOLS_PRELOAD_OK = 0,
  SYMBOLS_PRELOAD_READER_FAILED = 1,
  SYMBOLS_PRELOAD_MISSING = 2,
};

// The module whose image holds the hint address, or null (after logging).
symbols_module_handle *symbols_get_module_handle(JNIEnv *env, const void *hint);
const char *symbols_module_path(const symbols_module_handle *handle);
// Resolves a null-terminated list of names (virtual tables of the named classes when as_vtables),
// logging "Required symbol %s not found." for each missing one when report_missing.
int symbols_preload(JNIEnv *env, symbols_module_handle *handle, const char *const names[], bool as_vtables,
                    bool report_missing);
void *lookup_symbol(JNIEnv *env, symbols_module_handle *handle, const char *name);
void *lookup_symbol_silent(JNIEnv *env, symbols_module_handle *handle, const char *name);
// The virtual table of the named C++ class.
void *lookup_vtable(JNIEnv *env, symbols_module_handle *handle, const char *class_name);

// Copies length bytes from address, or returns false (after logging the caller's description
// and line) and leaves the destination as it was.
bool safe_read_memory(const void *address, void *destination, size_t length, const char *description, int line);
void *safe_read_memory_ptr(const void *base, int64_t offset, const char *description, int line);
uint64_t safe_read_memory_ulong(const void *base, int64_t offset, const char *description, int line);
int32_t safe_read_memory_int(const void *base, int64_t offset, const char *description, int line);
uint16_t safe_read_memory_u2(const void *base, int64_t offset, const char *description, int line);
// From now on safe reads may copy without probing (where probing costs a system call).
void disable_safety_check();
