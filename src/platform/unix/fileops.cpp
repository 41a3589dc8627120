// Files, locked files and directories on POSIX systems.
#include "platform/fileops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform_log.h"

int64_t xftell64(FILE *stream) { return (int64_t)ftello(stream); }

int xfseek64(FILE *stream, int64_t offset, int whence) { return fseeko(stream, (off_t)offset, whence); }

bool create_directory(const char *path) {
  if (path == nullptr) return false;
  return mkdir(path, 0777) == 0 || errno == EEXIST;
}

bool create_locked_file(const char *path, locked_file_handle *handle) {
  *handle = INVALID_LOCKED_FILE;
  if (path == nullptr) return false;
  int descriptor = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0777);
  if (descriptor < 0) return false;
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    if (error == EWOULDBLOCK) {
      platform_log_error("File lock in use.");
    } else {
      platform_log_error("File lock failed (flock), error %d.", error);
    }
    close(descriptor);
    return false;
  }
  *handle = descriptor;
  return true;
}

void free_locked_file(locked_file_handle handle) {
  if (handle >= 0) close((int)handle);
}

FILE *file_open_append_shared_write(const char *path) {
  if (path == nullptr) return nullptr;
  return fopen(path, "ae");
}

void file_close(FILE *file) {
  if (file != nullptr) fclose(file);
}

bool file_write_flush(FILE *file, const char *text) {
  if (file == nullptr || text == nullptr) return false;
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  size_t length = strlen(text);
  size_t written = fwrite(text, 1, length, file);
  bool flushed = fflush(file) == 0;
  return written == length && flushed;
}

bool file_delete(const char *path) {
  if (path == nullptr) return false;
  if (unlink(path) == 0) return true;
  platform_log_error("Failed to delete file %s, error %d", path, errno);
  return false;
}

bool file_descriptor_is_regular(int fd) {
  struct stat status {};
  return fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

int64_t file_descriptor_offset(int fd) { return fd >= 0 ? (int64_t)lseek(fd, 0, SEEK_CUR) : -1; }

uint64_t disk_get_free_space(const char *path) {
  if (path == nullptr) return 0;
  struct statvfs info {};
  if (statvfs(path, &info) != 0) return 0;
  return (uint64_t)info.f_bavail * (uint64_t)info.f_bsize;
}
