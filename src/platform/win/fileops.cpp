// Files, locked files and directories on Windows.
#include "platform/fileops.h"

#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "platform/platform_log.h"

namespace {
HANDLE file_handle_of(FILE *file) {
  int descriptor = _fileno(file);
  if (descriptor < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}
}  // namespace

int64_t xftell64(FILE *stream) { return (int64_t)_ftelli64(stream); }

int xfseek64(FILE *stream, int64_t offset, int whence) { return _fseeki64(stream, offset, whence); }

bool create_directory(const char *path) {
  if (path == nullptr) return false;
  return _mkdir(path) == 0 || errno == EEXIST;
}

// Write access without sharing is the lock: no other process can open the file while the handle
// is held. The file is created anew (truncated) each time.
bool create_locked_file(const char *path, locked_file_handle *handle) {
  *handle = INVALID_LOCKED_FILE;
  if (path == nullptr) return false;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *handle = (locked_file_handle)(intptr_t)file;
  return true;
}

void free_locked_file(locked_file_handle handle) {
  HANDLE file = reinterpret_cast<HANDLE>((intptr_t)handle);
  if (file != INVALID_HANDLE_VALUE && file != nullptr) CloseHandle(file);
}

// Other processes (the helpers, a second JVM of the same installation) append to the same file.
FILE *file_open_append_shared_write(const char *path) {
  if (path == nullptr) return nullptr;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE *stream = _fdopen(descriptor, "ab");
  if (stream == nullptr) _close(descriptor);  // closes the handle too
  return stream;
}

void file_close(FILE *file) {
  if (file != nullptr) fclose(file);
}

bool file_write_flush(FILE *file, const char *text) {
  if (file == nullptr || text == nullptr) return false;
  HANDLE handle = file_handle_of(file);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // Whatever the stream still buffers goes first, then the text straight to the system.
  if (fflush(file) != 0) return false;
  if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    return false;
  }
  size_t length = strlen(text);
  size_t written = 0;
  while (written < length) {
    DWORD chunk = 0;
    DWORD wanted = length - written > 0x40000000u ? 0x40000000u : (DWORD)(length - written);
    if (!WriteFile(handle, text + written, wanted, &chunk, nullptr) || chunk == 0) return false;
    written += chunk;
  }
  return FlushFileBuffers(handle) != 0;
}

bool file_delete(const char *path) {
  if (path == nullptr) return false;
  if (DeleteFileA(path)) return true;
  platform_log_error("Failed to delete file %s, error %d", path, (int)GetLastError());
  return false;
}

// The JDK opens files on Windows by handle, never as C runtime descriptors.
bool file_descriptor_is_regular(int) { return false; }

int64_t file_descriptor_offset(int) { return -1; }

uint64_t disk_get_free_space(const char *path) {
  if (path == nullptr) return 0;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(path, &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}
