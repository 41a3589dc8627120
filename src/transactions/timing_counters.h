// The operation counters of a transaction: per kind of file-stream operation, count, total and
// longest duration.
#pragma once

#include <cstdint>

// The kinds of timed operations; also the operation codes of the file-stream tracker.
enum timing_operation_kind : int32_t {
  TIMING_FIS_READ_BYTE = 0,    // single-byte read of a java/io/FileInputStream
  TIMING_FIS_READ_BLOCK = 1,   // block read of a java/io/FileInputStream
  TIMING_FOS_WRITE_BYTE = 2,   // single-byte write of a java/io/FileOutputStream
  TIMING_FOS_WRITE_BLOCK = 3,  // block write of a java/io/FileOutputStream
};
constexpr int TIMING_OPERATION_KINDS = 4;

// Durations in clock ticks.
struct timing_operation_counter {
  int64_t count;
  int64_t total;
  int64_t max;
};
