// Linux symbol reader: what tools and tests need beyond the common operations of symbols.h.
#pragma once

#include <cstdint>

#include "vmstructs/symbols.h"

// A handle for an ELF file on disk whose symbols are loaded at load_bias (0 reads plain file values).
symbols_module_handle *symbols_module_handle_for_file(const char *path, uint64_t load_bias);
// The directory searched for separate debug files ("/usr/lib/debug" unless set).
void symbols_set_debug_directory(const char *directory);
