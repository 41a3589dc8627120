// The wanted-name blocks of a module handle, shared by the platform symbol readers that resolve
// whole lists from the module's file: forming the names searched for, lookups and reporting.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

struct symbol_block {
  uint32_t count;
  char **names;         // owned copies in the form searched for
  uint64_t *addresses;  // 0 while unresolved
};

// "_ZTV%d%s": the virtual table symbol of a class.
int symbol_vtable_name(char *buffer, size_t size, const char *class_name);
// Takes the first unused block and fills its names; logs and returns null when that fails.
symbol_block *symbol_blocks_prepare(JNIEnv *env, symbol_block *blocks, int block_count, const char *const *names,
                                    bool as_vtables);
// Adds the load base to every resolved address and reports the unresolved names (as they stand in
// the list) when asked; returns 2 when any is unresolved, else 0.
int32_t symbol_blocks_finish(JNIEnv *env, symbol_block *block, const char *const *names, uint64_t base,
                             bool report_missing);
// The address of an exactly equal, resolved name in the blocks (searched in order), or null.
void *symbol_blocks_find(const symbol_block *blocks, int block_count, const char *name);
void symbol_blocks_free(symbol_block *blocks, int block_count);

// The blocks of a module handle, for the readers that resolve whole lists into blocks (Linux,
// macOS): each defines it, and the lookups they share (vmstructs/unix/symbol_lookup.cpp) use it.
struct symbols_module_handle;
symbol_block *symbols_module_blocks(symbols_module_handle *handle);
