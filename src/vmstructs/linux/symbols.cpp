// Symbols of the JVM library on Linux: the library is found with dladdr, data exports come from its
// dynamic symbol table and virtual tables from its full symbol table (or its debug file). Safe reads
// copy through the kernel (process_vm_readv on this process), which reports an unreadable source
// instead of faulting; where that call is refused, the bytes go through a pipe instead.
#include "vmstructs/linux/symbols.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "vmstructs/linux/elf_symbols.h"
#include "vmstructs/safe_read_pages.h"
#include "core/log.h"
#include "base/string_util.h"
#include "vmstructs/symbol_blocks.h"

struct symbols_module_handle {
  char path[PATH_MAX];
  uint64_t load_bias;  // added to the file's symbol values
  symbol_block blocks[SYMBOLS_BLOCK_COUNT];
  int32_t error;
};

namespace {

enum read_mode : int { READ_KERNEL_COPY = 0, READ_THROUGH_PIPE = 1, READ_UNUSABLE = 2 };

struct {
  char debug_directory[PATH_MAX] = "/usr/lib/debug";
  bool ditch_safety_check = false;
  int mode = READ_KERNEL_COPY;
  int pipe_fds[2] = {-1, -1};
  pthread_mutex_t pipe_lock = PTHREAD_MUTEX_INITIALIZER;
} symbols_state;

constexpr size_t BOUNCE_SIZE = 4096;

// Copies through the kernel: the whole length or nothing usable. Errors other than an unreadable
// source switch to the pipe for good.
bool kernel_copy(const void *address, void *destination, size_t length) {
  iovec local{destination, length};
  iovec remote{const_cast<void *>(address), length};
  ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (n < 0 && (errno == ENOSYS || errno == EPERM)) symbols_state.mode = READ_THROUGH_PIPE;
  return n == (ssize_t)length;
}

// Writes the bytes into a pipe (the kernel reads them or fails with EFAULT) and reads them back.
bool pipe_copy(const void *address, void *destination, size_t length) {
  pthread_mutex_lock(&symbols_state.pipe_lock);
  if (symbols_state.pipe_fds[0] < 0 && pipe2(symbols_state.pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    symbols_state.mode = READ_UNUSABLE;
    pthread_mutex_unlock(&symbols_state.pipe_lock);
    log_error_raw(nullptr, "Failed to open a pipe for memory check.");
    return false;
  }
  bool copied = true;
  auto *out = static_cast<char *>(destination);
  const char *in = static_cast<const char *>(address);
  char drain[256];
  while (copied && length > 0) {
    size_t chunk = length < BOUNCE_SIZE ? length : BOUNCE_SIZE;
    ssize_t written = write(symbols_state.pipe_fds[1], in, chunk);
    copied = written == (ssize_t)chunk && read(symbols_state.pipe_fds[0], out, chunk) == (ssize_t)chunk;
    while (read(symbols_state.pipe_fds[0], drain, sizeof drain) > 0) {
    }
    in += chunk;
    out += chunk;
    length -= chunk;
  }
  pthread_mutex_unlock(&symbols_state.pipe_lock);
  return copied;
}

bool checked_copy(const void *address, void *destination, size_t length) {
  if (symbols_state.mode == READ_KERNEL_COPY) {
    bool copied = kernel_copy(address, destination, length);
    if (copied || symbols_state.mode == READ_KERNEL_COPY) return copied;
  }
  if (symbols_state.mode == READ_THROUGH_PIPE) return pipe_copy(address, destination, length);
  return false;
}

}  // namespace

symbols_module_handle *symbols_module_handle_for_file(const char *path, uint64_t load_bias) {
  auto *handle = static_cast<symbols_module_handle *>(calloc(1, sizeof(symbols_module_handle)));
  if (handle == nullptr) return nullptr;
  safe_strncpy(handle->path, path, sizeof handle->path);
  handle->load_bias = load_bias;
  handle->error = SYMBOLS_READER_FAILED;
  return handle;
}

void symbols_set_debug_directory(const char *directory) {
  safe_strncpy(symbols_state.debug_directory, directory, sizeof symbols_state.debug_directory);
}

namespace {

// The readable loaded segments of the library at load_bias stay mapped while the process lives
// (the JVM library is never unloaded): reads of its tables and strings need no kernel check.
int register_permanent_segments(dl_phdr_info *info, size_t, void *load_bias) {
  if (info->dlpi_addr != *static_cast<ElfW(Addr) *>(load_bias)) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_R) != 0 && segment.p_memsz > 0) {
      safe_read_pages_add_permanent(reinterpret_cast<const void *>(info->dlpi_addr + segment.p_vaddr), segment.p_memsz);
    }
  }
  return 1;
}

}  // namespace

symbols_module_handle *symbols_get_module_handle(JNIEnv *env, const void *hint) {
  Dl_info info{};
  link_map *map = nullptr;
  if (dladdr1(hint, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 || info.dli_fname == nullptr ||
      map == nullptr) {
    log_error_raw(env, "Failed to get module handle, did not find module from hint.");
    return nullptr;
  }
  symbols_module_handle *handle = symbols_module_handle_for_file(info.dli_fname, (uint64_t)map->l_addr);
  if (handle == nullptr) {
    log_error_raw(env, "Failed to get module handle, not enough memory for handle.");
    return nullptr;
  }
  ElfW(Addr) load_bias = map->l_addr;
  dl_iterate_phdr(register_permanent_segments, &load_bias);
  return handle;
}

int32_t symbols_preload(JNIEnv *env, symbols_module_handle *handle, const char *const *names, bool as_vtables,
                        bool report_missing) {
  handle->error = SYMBOLS_READER_FAILED;
  symbol_block *block = symbol_blocks_prepare(env, handle->blocks, SYMBOLS_BLOCK_COUNT, names, as_vtables);
  if (block == nullptr) return handle->error;
  int32_t read = elf_resolve_symbols(env, handle->path, as_vtables, symbols_state.debug_directory, block);
  if (read != 0) {
    for (uint32_t i = 0; i < block->count; ++i) block->addresses[i] = 0;
    handle->error = read;
    return read;
  }
  handle->error = symbol_blocks_finish(env, block, names, handle->load_bias, report_missing);
  return handle->error;
}

symbol_block *symbols_module_blocks(symbols_module_handle *handle) { return handle->blocks; }

bool safe_read_memory(const void *address, void *destination, size_t length, const char *description, int line) {
  if (symbols_state.ditch_safety_check) {
    memcpy(destination, address, length);
    return true;
  }
  if (length == 0) return true;
  if (safe_read_pages_known(address, length)) {
    memcpy(destination, address, length);
    return true;
  }
  // The copy goes to a buffer of our own first, so a failure leaves the destination untouched.
  char bounce[BOUNCE_SIZE];
  char *buffer = length <= sizeof bounce ? bounce : static_cast<char *>(malloc(length));
  bool copied = buffer != nullptr && checked_copy(address, buffer, length);
  if (copied) {
    memcpy(destination, buffer, length);
    safe_read_pages_add(address, length);
  }
  if (buffer != bounce) free(buffer);
  if (!copied) {
    log_error_raw(nullptr, "Failed to read %d bytes at %p (%s:%d).", (int)length, address,
                  description != nullptr ? description : "", line);
  }
  return copied;
}

void disable_safety_check() { symbols_state.ditch_safety_check = true; }
