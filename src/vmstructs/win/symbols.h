// Windows symbol reader: the module handle, the loaded module that holds the hint address. Names
// are resolved by the loader (GetProcAddress) from the module's export table.
#pragma once

#include <windows.h>

#include "vmstructs/symbols.h"

struct symbols_module_handle {
  HMODULE module;
  const void *base;
  size_t size;
  char path[MAX_PATH];
  int32_t error;  // the result of the last preload
};
