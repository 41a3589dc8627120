// The lookups of the symbol readers that resolve whole name lists into blocks (Linux, macOS):
// by name and by class name (its virtual table), silent or reporting what is missing.
#include <cstdlib>

#include "core/log.h"
#include "vmstructs/symbol_blocks.h"
#include "vmstructs/symbols.h"

void *lookup_symbol_silent(JNIEnv *, symbols_module_handle *handle, const char *name) {
  return handle != nullptr ? symbol_blocks_find(symbols_module_blocks(handle), SYMBOLS_BLOCK_COUNT, name) : nullptr;
}

void *lookup_symbol(JNIEnv *env, symbols_module_handle *handle, const char *name) {
  void *address = lookup_symbol_silent(env, handle, name);
  if (address == nullptr) log_error_raw(env, "Failed to find symbol %s.", name);
  return address;
}

void *lookup_vtable(JNIEnv *env, symbols_module_handle *handle, const char *class_name) {
  char name[256];
  symbol_vtable_name(name, sizeof name, class_name);
  void *address = lookup_symbol_silent(env, handle, name);
  if (address == nullptr) log_error_raw(env, "Failed to find symbol %s.", name);
  return address;
}

void symbols_free_module_handle(symbols_module_handle *handle) {
  if (handle == nullptr) return;
  symbol_blocks_free(symbols_module_blocks(handle), SYMBOLS_BLOCK_COUNT);
  free(handle);
}
