#include "vmstructs/linux/elf_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/log.h"
#include "base/string_util.h"

namespace {

// Section tables larger than this are not from a shared object we can use.
constexpr uint64_t MAX_SECTIONS = 1 << 16;

struct elf_file {
  int fd = -1;
  uint64_t size = 0;
  Elf64_Ehdr header{};
  Elf64_Shdr *sections = nullptr;
  char *section_names = nullptr;
  uint64_t section_names_size = 0;

  elf_file() = default;
  elf_file(const elf_file &) = delete;
  elf_file &operator=(const elf_file &) = delete;
  ~elf_file() {
    free(sections);
    free(section_names);
    if (fd >= 0) close(fd);
  }
};

// Moves an open file into an empty record.
void take(elf_file *to, elf_file *from) {
  std::swap(to->fd, from->fd);
  std::swap(to->size, from->size);
  std::swap(to->header, from->header);
  std::swap(to->sections, from->sections);
  std::swap(to->section_names, from->section_names);
  std::swap(to->section_names_size, from->section_names_size);
}

bool read_at(int fd, uint64_t offset, void *buffer, uint64_t length) {
  auto *out = static_cast<char *>(buffer);
  while (length > 0) {
    ssize_t n = pread(fd, out, length, (off_t)offset);
    if (n <= 0) return false;
    out += n;
    offset += (uint64_t)n;
    length -= (uint64_t)n;
  }
  return true;
}

bool inside(const elf_file &file, uint64_t offset, uint64_t length) {
  return offset <= file.size && length <= file.size - offset;
}

// Reads a whole section into a fresh buffer with a NUL after it; null when it cannot be read.
char *read_section(const elf_file &file, const Elf64_Shdr &section) {
  if (section.sh_type == SHT_NOBITS || !inside(file, section.sh_offset, section.sh_size)) return nullptr;
  char *data = static_cast<char *>(malloc(section.sh_size + 1));
  if (data == nullptr) return nullptr;
  if (!read_at(file.fd, section.sh_offset, data, section.sh_size)) {
    free(data);
    return nullptr;
  }
  data[section.sh_size] = '\0';
  return data;
}

// Opens the file and reads its section headers and their names. Missing files stay quiet when
// quiet is set (debug file candidates).
bool elf_open(JNIEnv *env, const char *path, elf_file *file, bool quiet) {
  file->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (file->fd < 0) {
    if (!quiet) log_error_raw(env, "SymbolLookup: Could not load object file.");
    return false;
  }
  struct stat status {};
  const Elf64_Ehdr &h = file->header;
  bool valid = fstat(file->fd, &status) == 0 && read_at(file->fd, 0, &file->header, sizeof file->header) &&
               memcmp(h.e_ident, ELFMAG, SELFMAG) == 0 && h.e_ident[EI_CLASS] == ELFCLASS64 &&
               h.e_ident[EI_DATA] == ELFDATA2LSB && h.e_shentsize == sizeof(Elf64_Shdr) && h.e_shnum > 0 &&
               h.e_shnum < MAX_SECTIONS && h.e_shstrndx < h.e_shnum;
  if (valid) {
    file->size = (uint64_t)status.st_size;
    uint64_t table_size = (uint64_t)h.e_shnum * sizeof(Elf64_Shdr);
    file->sections = static_cast<Elf64_Shdr *>(malloc(table_size));
    valid = file->sections != nullptr && inside(*file, h.e_shoff, table_size) &&
            read_at(file->fd, h.e_shoff, file->sections, table_size);
  }
  if (valid) {
    file->section_names = read_section(*file, file->sections[h.e_shstrndx]);
    file->section_names_size = file->sections[h.e_shstrndx].sh_size;
    valid = file->section_names != nullptr;
  }
  if (!valid) log_error_raw(env, "SymbolLookup: Not a valid ELF64 object file %s.", path);
  return valid;
}

const Elf64_Shdr *find_section(const elf_file &file, uint32_t type, const char *name) {
  for (uint32_t i = 0; i < file.header.e_shnum; ++i) {
    const Elf64_Shdr &section = file.sections[i];
    if (section.sh_type != type) continue;
    if (name == nullptr) return &section;
    if (section.sh_name < file.section_names_size && strcmp(file.section_names + section.sh_name, name) == 0) {
      return &section;
    }
  }
  return nullptr;
}

// One pass over a symbol table: each defined symbol resolves the wanted names still unresolved
// that equal its name; the first one wins. False when the table cannot be read.
bool resolve_in_table(const elf_file &file, const Elf64_Shdr &table, symbol_block *block) {
  if (table.sh_link >= file.header.e_shnum || table.sh_entsize != sizeof(Elf64_Sym)) return false;
  const Elf64_Shdr &strings_section = file.sections[table.sh_link];
  char *strings = read_section(file, strings_section);
  char *symbols = read_section(file, table);
  bool read = strings != nullptr && symbols != nullptr;
  uint64_t count = read ? table.sh_size / sizeof(Elf64_Sym) : 0;
  for (uint64_t s = 0; s < count; ++s) {
    Elf64_Sym symbol;
    memcpy(&symbol, symbols + s * sizeof(Elf64_Sym), sizeof symbol);
    if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= strings_section.sh_size || symbol.st_value == 0) continue;
    const char *name = strings + symbol.st_name;
    for (uint32_t i = 0; i < block->count; ++i) {
      if (block->addresses[i] == 0 && strcmp(block->names[i], name) == 0) block->addresses[i] = symbol.st_value;
    }
  }
  free(strings);
  free(symbols);
  return read;
}

// The build id as lower-case hex text, empty when the file has none.
void read_build_id(const elf_file &file, char *hex, size_t size) {
  hex[0] = '\0';
  for (uint32_t i = 0; i < file.header.e_shnum; ++i) {
    if (file.sections[i].sh_type != SHT_NOTE) continue;
    char *notes = read_section(file, file.sections[i]);
    uint64_t length = file.sections[i].sh_size, at = 0;
    while (notes != nullptr && at + sizeof(Elf64_Nhdr) <= length) {
      Elf64_Nhdr note;
      memcpy(&note, notes + at, sizeof note);
      uint64_t name_at = at + sizeof note, desc_at = name_at + ((note.n_namesz + 3) & ~3u);
      uint64_t next = desc_at + ((note.n_descsz + 3) & ~3u);
      if (next > length) break;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && memcmp(notes + name_at, "GNU", 4) == 0 &&
          note.n_descsz > 1 && note.n_descsz * 2 < size) {
        for (uint32_t b = 0; b < note.n_descsz; ++b) {
          xsnprintf(hex + 2 * b, size - 2 * b, "%02x", (unsigned char)notes[desc_at + b]);
        }
        free(notes);
        return;
      }
      at = next;
    }
    free(notes);
  }
}

uint32_t crc32_of_file(int fd, bool *ok) {
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  }
  constexpr size_t BUFFER_SIZE = 1 << 16;
  char *buffer = static_cast<char *>(malloc(BUFFER_SIZE));
  uint32_t crc = 0xFFFFFFFFu;
  uint64_t offset = 0;
  *ok = buffer != nullptr;
  while (buffer != nullptr) {
    ssize_t n = pread(fd, buffer, BUFFER_SIZE, (off_t)offset);
    if (n < 0) *ok = false;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) crc = table[(crc ^ (unsigned char)buffer[i]) & 0xFF] ^ (crc >> 8);
    offset += (uint64_t)n;
  }
  free(buffer);
  return crc ^ 0xFFFFFFFFu;
}

// Opens the first debug file candidate that exists, holds a symbol table and (for debug-link
// candidates) has the recorded checksum.
bool open_debug_file(JNIEnv *env, const char *path, const elf_file &file, const char *debug_root, elf_file *debug,
                     bool *has_reference) {
  char build_id[128];
  read_build_id(file, build_id, sizeof build_id);
  char link_name[NAME_MAX + 1] = "";
  uint32_t link_crc = 0;
  if (const Elf64_Shdr *link = find_section(file, SHT_PROGBITS, ".gnu_debuglink")) {
    char *data = read_section(file, *link);
    size_t name_length = data != nullptr ? strnlen(data, link->sh_size) : 0;
    size_t crc_at = (name_length + 4) & ~(size_t)3;
    if (data != nullptr && name_length > 0 && name_length < sizeof link_name && crc_at + 4 <= link->sh_size) {
      memcpy(link_name, data, name_length);
      link_name[name_length] = '\0';
      memcpy(&link_crc, data + crc_at, 4);
    }
    free(data);
  }
  *has_reference = build_id[0] != '\0' || link_name[0] != '\0';

  char directory[PATH_MAX];
  if (realpath(path, directory) == nullptr) safe_strncpy(directory, path, sizeof directory);
  if (char *slash = strrchr(directory, '/')) *slash = '\0';
  char candidates[4][PATH_MAX + 64];
  int count = 0;
  if (build_id[0] != '\0') {
    xsnprintf(candidates[count++], sizeof candidates[0], "%s/.build-id/%.2s/%s.debug", debug_root, build_id,
              build_id + 2);
  }
  if (link_name[0] != '\0') {
    xsnprintf(candidates[count++], sizeof candidates[0], "%s/%s", directory, link_name);
    xsnprintf(candidates[count++], sizeof candidates[0], "%s/.debug/%s", directory, link_name);
    xsnprintf(candidates[count++], sizeof candidates[0], "%s%s/%s", debug_root, directory, link_name);
  }
  for (int i = 0; i < count; ++i) {
    if (access(candidates[i], R_OK) != 0) continue;
    elf_file candidate_file;
    if (!elf_open(env, candidates[i], &candidate_file, true) ||
        find_section(candidate_file, SHT_SYMTAB, nullptr) == nullptr) {
      continue;
    }
    bool from_link = build_id[0] == '\0' || i > 0;
    if (from_link) {
      bool read = false;
      if (crc32_of_file(candidate_file.fd, &read) != link_crc || !read) continue;
    }
    take(debug, &candidate_file);
    return true;
  }
  return false;
}

}  // namespace

int32_t elf_resolve_symbols(JNIEnv *env, const char *path, bool with_full_table, const char *debug_root,
                            symbol_block *block) {
  elf_file file;
  if (!elf_open(env, path, &file, false)) return 1;
  const Elf64_Shdr *table = find_section(file, with_full_table ? SHT_SYMTAB : SHT_DYNSYM, nullptr);
  if (table == nullptr && !with_full_table) table = find_section(file, SHT_SYMTAB, nullptr);
  if (table != nullptr) {
    if (resolve_in_table(file, *table, block)) return 0;
    log_error_raw(env, "SymbolLookup: Could not read symbols of %s.", path);
    return 1;
  }
  elf_file debug;
  bool has_reference = false;
  if (with_full_table && open_debug_file(env, path, file, debug_root, &debug, &has_reference)) {
    if (resolve_in_table(debug, *find_section(debug, SHT_SYMTAB, nullptr), block)) return 0;
    log_error_raw(env, "SymbolLookup: Could not read symbols of the debug file of %s.", path);
    return 1;
  }
  if (has_reference) {
    log_error_raw(env, "SymbolLookup: Debug file of %s not found under %s.", path, debug_root);
    return 4;
  }
  log_error_raw(env, "SymbolLookup: No symbol table in %s.", path);
  return 3;
}
