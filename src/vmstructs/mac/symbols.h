// macOS symbol reader: the module handle, which holds the loader's description of the module.
#pragma once

#include <dlfcn.h>

#include "vmstructs/symbols.h"
#include "vmstructs/symbol_blocks.h"

struct symbols_module_handle {
  Dl_info info;  // path of the module's file and its load base
  symbol_block blocks[SYMBOLS_BLOCK_COUNT];
  int32_t error;
};
