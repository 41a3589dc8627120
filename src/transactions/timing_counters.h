// The operation counters of a transaction: per kind of file operation, count, total and longest
// duration.
#pragma once

#include <cstdint>

// The kinds of timed operations; also the operation codes of the file-stream tracker.
enum timing_operation_kind : int32_t {
  TIMING_FIS_READ_BYTE = 0,    // single-byte read of a java/io/FileInputStream
  TIMING_FIS_READ_BLOCK = 1,   // block read of a java/io/FileInputStream
  TIMING_FOS_WRITE_BYTE = 2,   // single-byte write of a java/io/FileOutputStream
  TIMING_FOS_WRITE_BLOCK = 3,  // block write of a java/io/FileOutputStream
  // The file channels' natives (FileChannel, and through it the streams, readers and writers of
  // java.nio.file.Files), on regular files only.
  TIMING_CHANNEL_READ = 4,
  TIMING_CHANNEL_WRITE = 5,
  TIMING_CHANNEL_POSITIONAL_READ = 6,  // at a given position
  TIMING_CHANNEL_POSITIONAL_WRITE = 7,
  TIMING_CHANNEL_SCATTER_READ = 8,  // into several buffers
  TIMING_CHANNEL_GATHER_WRITE = 9,  // from several buffers
  // A copy by the kernel from the file (FileChannel.transferTo/transferFrom, Files.copy).
  TIMING_CHANNEL_TRANSFER = 10,
};
constexpr int TIMING_OPERATION_KINDS = 11;

// Durations in ticks of the fast counter (platform/fast_clock.h).
struct timing_operation_counter {
  int64_t count;
  int64_t total;
  int64_t max;
};
