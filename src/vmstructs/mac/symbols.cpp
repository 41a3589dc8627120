// Symbols of the JVM library on macOS, read from the symbol table of its Mach-O file (the first
// architecture of a fat file), and safe reads that probe the source with a write to /dev/random.
#include "vmstructs/mac/symbols.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "base/string_util.h"
#include "vmstructs/safe_read_pages.h"

namespace {

constexpr uint32_t MACH_HEADER_64_MAGIC = 0xFEEDFACF;
constexpr uint32_t SYMTAB_COMMAND = 2;
constexpr uint8_t SYMBOL_TYPE_MASK = 0xEE;  // debugging bits and the type, without the external bits
constexpr uint8_t SYMBOL_DEFINED_IN_SECTION = 0x0E;

struct {
  int random_fd = -2;  // -2: not opened yet; negative after the attempt: unusable
  bool ditch_safety_check = false;
} symbols_state;

struct symtab_command {
  uint32_t cmd, cmdsize, symoff, nsyms, stroff, strsize;
};

struct nlist_64 {
  uint32_t n_strx;
  uint8_t n_type;
  uint8_t n_sect;
  uint16_t n_desc;
  uint64_t n_value;
};
static_assert(sizeof(nlist_64) == 16 && sizeof(symtab_command) == 24, "Mach-O record sizes");

bool read_exact(int fd, void *buffer, size_t length) {
  auto *out = static_cast<char *>(buffer);
  while (length > 0) {
    ssize_t n = read(fd, out, length);
    if (n <= 0) return false;
    out += n;
    length -= (size_t)n;
  }
  return true;
}

bool seek_to(int fd, uint64_t offset) { return lseek(fd, (off_t)offset, SEEK_SET) == (off_t)offset; }

uint32_t big_endian(const unsigned char *bytes) {
  return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

// The buffers and the file of one preload, given back on every way out.
struct preload_files {
  int fd = -1;
  char *strings = nullptr;
  nlist_64 *symbols = nullptr;
  ~preload_files() {
    free(strings);
    free(symbols);
    if (fd >= 0) close(fd);
  }
};

// Steps of reading the symbol table; each failure logs its message and returns false.
bool fail(JNIEnv *env, const char *message) {
  log_error_raw(env, "%s", message);
  return false;
}

bool read_symbol_table(JNIEnv *env, const char *path, preload_files *files, uint32_t *symbol_count,
                       uint32_t *string_size) {
  files->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (files->fd < 0) return fail(env, "SymbolLookup: Could not load object file.");
  int fd = files->fd;
  unsigned char magic[4];
  if (!read_exact(fd, magic, sizeof magic)) return fail(env, "SymbolLookup: Could not read magic from macho header.");
  uint64_t base = 0;
  if (magic[0] == 0xCA && magic[1] == 0xFE && magic[2] == 0xBA && magic[3] == 0xBE) {
    if (!seek_to(fd, 8)) return fail(env, "SymbolLookup: Could not seek past the fat header.");
    unsigned char arch[20];
    if (!read_exact(fd, arch, sizeof arch)) return fail(env, "SymbolLookup: Could not read fat arch header.");
    base = big_endian(arch + 8);
  }
  if (!seek_to(fd, base)) return fail(env, "SymbolLookup: Could not seek to the beginning of base header.");
  uint32_t header[8];
  if (!read_exact(fd, header, sizeof header)) return fail(env, "SymbolLookup: Could not read MACH header.");
  if (header[0] != MACH_HEADER_64_MAGIC) return fail(env, "SymbolLookup: Not valid MACH64 header.");

  uint32_t command_count = header[4];
  uint64_t position = base + sizeof header;
  bool found = false;
  for (uint32_t i = 0; i < command_count && !found; ++i) {
    if (!seek_to(fd, position)) return fail(env, "SymbolLookup: Could not seek to the beginning of the command.");
    uint32_t common[2];
    if (!read_exact(fd, common, sizeof common)) return fail(env, "SymbolLookup: Could not read command common header.");
    if (common[0] == SYMTAB_COMMAND) {
      found = true;
    } else {
      position += common[1];
    }
  }
  if (!found) return fail(env, "SymbolLookup: Could not find symtab section.");
  if (!seek_to(fd, position)) return fail(env, "SymbolLookup: Could not seek to the beginning of the symtab command.");
  symtab_command symtab{};
  if (!read_exact(fd, &symtab, sizeof symtab)) return fail(env, "SymbolLookup: Could not read symtab command.");

  files->strings = static_cast<char *>(malloc((size_t)symtab.strsize + 1));
  if (files->strings == nullptr) return fail(env, "SymbolLookup: Could not allocate memory for symbol names.");
  if (!seek_to(fd, base + symtab.stroff)) return fail(env, "SymbolLookup: Could not seek to symbol names.");
  if (!read_exact(fd, files->strings, symtab.strsize)) return fail(env, "SymbolLookup: Could not read symbol names.");
  files->strings[symtab.strsize] = '\0';
  files->symbols = static_cast<nlist_64 *>(malloc((size_t)symtab.nsyms * sizeof(nlist_64) + 1));
  if (files->symbols == nullptr) return fail(env, "SymbolLookup: Could not allocate memory for symbols.");
  if (!seek_to(fd, base + symtab.symoff)) return fail(env, "SymbolLookup: Could not seek to symbols.");
  if (!read_exact(fd, files->symbols, (size_t)symtab.nsyms * sizeof(nlist_64))) {
    return fail(env, "SymbolLookup: Could not read symbols.");
  }
  *symbol_count = symtab.nsyms;
  *string_size = symtab.strsize;
  return true;
}

// A symbol-table name (its one leading underscore stripped) resolves a wanted name when equal, or,
// for a wanted virtual table "_ZTV<n><name>", when it is "__vt_<n><name>".
bool resolves(const char *entry_name, const char *wanted) {
  if (strcmp(entry_name, wanted) == 0) return true;
  return strncmp(wanted, "_ZTV", 4) == 0 && strncmp(entry_name, "__vt_", 5) == 0 &&
         strcmp(wanted + 4, entry_name + 5) == 0;
}

}  // namespace

symbols_module_handle *symbols_get_module_handle(JNIEnv *env, const void *hint) {
  auto *handle = static_cast<symbols_module_handle *>(calloc(1, sizeof(symbols_module_handle)));
  if (handle == nullptr) {
    log_error_raw(env, "Failed to get module handle, not enough memory for handle.");
    return nullptr;
  }
  if (dladdr(hint, &handle->info) == 0) {
    free(handle);
    log_error_raw(env, "Failed to get module handle, did not find module from hint.");
    return nullptr;
  }
  handle->error = SYMBOLS_READER_FAILED;
  return handle;
}

int32_t symbols_preload(JNIEnv *env, symbols_module_handle *handle, const char *const *names, bool as_vtables,
                        bool report_missing) {
  handle->error = SYMBOLS_READER_FAILED;
  symbol_block *block = symbol_blocks_prepare(env, handle->blocks, SYMBOLS_BLOCK_COUNT, names, as_vtables);
  if (block == nullptr) return handle->error;
  preload_files files;
  uint32_t symbol_count = 0, string_size = 0;
  if (!read_symbol_table(env, handle->info.dli_fname, &files, &symbol_count, &string_size)) return handle->error;

  for (uint32_t s = 0; s < symbol_count; ++s) {
    const nlist_64 &symbol = files.symbols[s];
    if ((symbol.n_type & SYMBOL_TYPE_MASK) != SYMBOL_DEFINED_IN_SECTION || symbol.n_strx >= string_size) continue;
    const char *name = files.strings + symbol.n_strx;
    if (name[0] != '_') continue;
    for (uint32_t i = 0; i < block->count; ++i) {
      if (block->addresses[i] == 0 && resolves(name + 1, block->names[i])) block->addresses[i] = symbol.n_value;
    }
  }
  handle->error =
      symbol_blocks_finish(env, block, names, reinterpret_cast<uint64_t>(handle->info.dli_fbase), report_missing);
  return handle->error;
}

symbol_block *symbols_module_blocks(symbols_module_handle *handle) { return handle->blocks; }

bool safe_read_memory(const void *address, void *destination, size_t length, const char *description, int line) {
  if (symbols_state.ditch_safety_check) {
    memcpy(destination, address, length);
    return true;
  }
  if (safe_read_pages_known(address, length)) {
    memcpy(destination, address, length);
    return true;
  }
  if (symbols_state.random_fd == -2) {
    symbols_state.random_fd = open("/dev/random", O_WRONLY | O_CLOEXEC);
    if (symbols_state.random_fd < 0) {
      symbols_state.random_fd = -1;
      log_error_raw(nullptr, "Failed to open /dev/random for memory check.");
    }
  }
  if (symbols_state.random_fd < 0) return false;
  // A short write means the kernel stopped at an unreadable byte: copying would fault there.
  if (write(symbols_state.random_fd, address, length) != (ssize_t)length) {
    log_error_raw(nullptr, "Failed to read %d bytes at %p (%s:%d).", (int)length, address,
                  description != nullptr ? description : "", line);
    return false;
  }
  memcpy(destination, address, length);
  safe_read_pages_add(address, length);
  return true;
}

void disable_safety_check() { symbols_state.ditch_safety_check = true; }
