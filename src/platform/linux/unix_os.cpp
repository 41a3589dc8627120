// The Linux parts of the shared POSIX modules: the main program's file from the kernel, and
// closing inherited descriptors with close_range or the process's descriptor list, in this
// process or in a child that posix_spawn starts.
#include "platform/unix/unix_os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace {

using spawn_close_from = int (*)(posix_spawn_file_actions_t *, int);

int find_main_program_base(struct dl_phdr_info *info, size_t, void *data) {
  *static_cast<uintptr_t *>(data) = (uintptr_t)info->dlpi_addr;
  return 1;  // the first object is the main program
}

}  // namespace

bool unix_os_main_program_file(const void *module_base, char *path, size_t size) {
  uintptr_t main_base = 0;
  dl_iterate_phdr(find_main_program_base, &main_base);
  if ((uintptr_t)module_base != main_base) return false;
  // For the main program the loader reports argv[0], which for a helper started as a program is
  // its mode word; the kernel knows the real file.
  ssize_t length = size > 0 ? readlink("/proc/self/exe", path, size - 1) : -1;
  if (length <= 0) length = 0;
  if (size > 0) path[length] = '\0';
  return true;
}

bool unix_os_close_descriptors_above_standard() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return true;
#endif
  DIR *descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return false;
  int own = dirfd(descriptors);
  while (dirent *entry = readdir(descriptors)) {
    char *end = nullptr;
    long descriptor = strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && descriptor > 2 && descriptor != own) close((int)descriptor);
  }
  closedir(descriptors);
  return true;
}

bool unix_os_spawn_closes_descriptors_above_standard(posix_spawn_file_actions_t *actions) {
  // The C library offers closing from a number on since version 2.34; looked up at run time so
  // that the library still loads on older ones.
  static const auto close_from =
      reinterpret_cast<spawn_close_from>(dlsym(RTLD_DEFAULT, "posix_spawn_file_actions_addclosefrom_np"));
  if (close_from != nullptr && close_from(actions, 3) == 0) return true;
  // Otherwise one close per descriptor open now (the child ignores those closed meanwhile).
  DIR *descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return false;
  int own = dirfd(descriptors);
  bool added = true;
  while (dirent *entry = readdir(descriptors)) {
    char *end = nullptr;
    long descriptor = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || descriptor <= 2 || descriptor == own) continue;
    if (posix_spawn_file_actions_addclose(actions, (int)descriptor) != 0) added = false;
  }
  closedir(descriptors);
  return added;
}
