// Files, locked files, directories and disk space: one implementation per operating system.
#pragma once

#include <cstdint>
#include <cstdio>

using locked_file_handle = int64_t;  // a file descriptor on POSIX; negative = invalid
constexpr locked_file_handle INVALID_LOCKED_FILE = -1;

// fopen modes of the snapshot's files: binary, so that they hold the same bytes on every platform,
// and not inherited by child processes (glibc's "e"; Windows starts the agent's children without
// inheriting handles, and its C library knows no such flag).
#ifdef _WIN32
#define FILEOPS_READ_MODE "rb"
#define FILEOPS_WRITE_MODE "wb"
#else
#define FILEOPS_READ_MODE "rbe"
#define FILEOPS_WRITE_MODE "wbe"
#endif

int64_t xftell64(FILE *stream);
int xfseek64(FILE *stream, int64_t offset, int whence);
int64_t xfsize64(FILE *stream);

bool create_directory(const char *path);
bool create_locked_file(const char *path, locked_file_handle *handle);
void free_locked_file(locked_file_handle handle);

FILE *file_open_append_shared_write(const char *path);
void file_close(FILE *file);
bool file_write_flush(FILE *file, const char *text);
bool file_delete(const char *path);

// Whether the descriptor is open on a regular file (not a pipe, socket, device or directory).
bool file_descriptor_is_regular(int fd);
// The descriptor's file offset, -1 when it has none (a pipe or socket) or on failure.
int64_t file_descriptor_offset(int fd);

// Bytes available to this process on the volume holding path; 0 on failure.
uint64_t disk_get_free_space(const char *path);
