#include "vmstructs/symbol_blocks.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "base/string_util.h"

int symbol_vtable_name(char *buffer, size_t size, const char *class_name) {
  return xsnprintf(buffer, size, "_ZTV%d%s", (int)strlen(class_name), class_name);
}

symbol_block *symbol_blocks_prepare(JNIEnv *env, symbol_block *blocks, int block_count, const char *const *names,
                                    bool as_vtables) {
  symbol_block *block = nullptr;
  for (int i = 0; i < block_count && block == nullptr; ++i) {
    if (blocks[i].count == 0) block = &blocks[i];
  }
  if (block == nullptr) {
    log_error_raw(env, "SymbolLookup: Out of symbol blocks.");
    return nullptr;
  }
  uint32_t count = 0;
  while (names != nullptr && names[count] != nullptr) ++count;
  if (count == 0) {
    log_error_raw(env, "SymbolLookup: Empty symbol list.");
    return nullptr;
  }
  block->names = static_cast<char **>(calloc(count, sizeof(char *)));
  block->addresses = static_cast<uint64_t *>(calloc(count, sizeof(uint64_t)));
  if (block->names == nullptr || block->addresses == nullptr) {
    free(block->names);
    free(block->addresses);
    block->names = nullptr;
    block->addresses = nullptr;
    log_error_raw(env, "SymbolLookup: Allocating symbol block name/address array failed.");
    return nullptr;
  }
  block->count = count;
  for (uint32_t i = 0; i < count; ++i) {
    size_t size = strlen(names[i]) + 16;
    block->names[i] = static_cast<char *>(malloc(size));
    if (block->names[i] == nullptr) {
      log_error_raw(env, "SymbolLookup: Allocating symbol name buffer failed.");
      return nullptr;
    }
    if (as_vtables) {
      symbol_vtable_name(block->names[i], size, names[i]);
    } else {
      safe_strncpy(block->names[i], names[i], size);
    }
  }
  return block;
}

int32_t symbol_blocks_finish(JNIEnv *env, symbol_block *block, const char *const *names, uint64_t base,
                             bool report_missing) {
  int32_t result = 0;
  for (uint32_t i = 0; i < block->count; ++i) {
    if (block->addresses[i] != 0) {
      block->addresses[i] += base;
      continue;
    }
    if (report_missing) log_error_raw(env, "Required symbol %s not found.", names[i]);
    result = 2;
  }
  return result;
}

void *symbol_blocks_find(const symbol_block *blocks, int block_count, const char *name) {
  for (int b = 0; b < block_count; ++b) {
    for (uint32_t i = 0; i < blocks[b].count; ++i) {
      if (blocks[b].names[i] != nullptr && blocks[b].addresses[i] != 0 && strcmp(blocks[b].names[i], name) == 0) {
        return reinterpret_cast<void *>(blocks[b].addresses[i]);
      }
    }
  }
  return nullptr;
}

void symbol_blocks_free(symbol_block *blocks, int block_count) {
  for (int b = 0; b < block_count; ++b) {
    for (uint32_t i = 0; blocks[b].names != nullptr && i < blocks[b].count; ++i) free(blocks[b].names[i]);
    free(blocks[b].names);
    free(blocks[b].addresses);
    blocks[b] = symbol_block{};
  }
}
