// Symbols of an ELF shared object on disk: its dynamic symbol table, its full symbol table, or the
// full table of its separate debug file (found through the build id or the debug link).
#pragma once

#include <jni.h>

#include <cstdint>

#include "vmstructs/symbol_blocks.h"

// Resolves the block's names (unresolved ones stay 0) with the symbol values of the file. The
// dynamic table serves data exports; the full table (with_full_table) also holds local symbols
// such as virtual tables. Returns 0 when a table was read, else 1 (unreadable file), 3 (no table)
// or 4 (the table is in a debug file that is not there), with a log line.
int32_t elf_resolve_symbols(JNIEnv *env, const char *path, bool with_full_table, const char *debug_root,
                            symbol_block *block);
