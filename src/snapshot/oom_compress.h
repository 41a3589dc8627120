// The snapshot archive (a bzip2-compressed tar stream of "oom_info.txt" and "oom_graph.bin") and
// the lock that the Java half takes on a snapshot directory before it touches it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t OOM_TAR_BLOCK_SIZE = 512;
constexpr size_t OOM_COMPRESS_BUFFER_SIZE = 4194304;
constexpr uint64_t OOM_COMPRESS_DISK_CHECK_INTERVAL = 50000000;
// The archive goes on while at least this many bytes are free on its volume.
constexpr uint64_t OOM_COMPRESS_MINIMUM_FREE_SPACE = 1000000000;

// Writes the archive: the info file as "oom_info.txt", the graph file as "oom_graph.bin" (a file
// that cannot be opened becomes an empty entry), then the two end blocks. False on any failure;
// a failed archive stays on disk as far as it was written.
bool oom_archive_create(const char *info_path, const char *graph_path, const char *archive_path);

// Fills one 512-byte tar header block for a regular file of the given size and modification time.
void oom_compress_fill_tar_header(unsigned char block[OOM_TAR_BLOCK_SIZE], const char *name, uint64_t size,
                                  uint32_t modification_time);

// Where the archive writer reads the free space of the archive's directory (disk_get_free_space
// unless a test substitutes a reading of its own; null restores it).
using oom_compress_free_space_source = uint64_t (*)(const char *path);
void oom_compress_set_free_space_source(oom_compress_free_space_source source);
