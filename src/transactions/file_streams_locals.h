// The file-stream tracker's part of a transaction: one entry per (stream, kind) and the saved
// stack samples.
#pragma once

#include <cstddef>
#include <cstdint>

// Operations have the kinds of the timing counters (TIMING_FIS_READ_BYTE ... TIMING_FOS_WRITE_BLOCK,
// RandomAccessFile's reads and writes included); the row of the evicted entries has its own.
constexpr int32_t FILE_STREAMS_AGGREGATE = -1;

constexpr uint64_t FILE_STREAMS_MAX_ENTRIES = 50;
constexpr uint64_t FILE_STREAMS_MAX_SAVED_STACKS = 100;
constexpr size_t FILE_STREAMS_STACK_BUFFER = 32768;
constexpr int64_t FILE_STREAMS_STACK_INTERVAL_MS = 100;

// One (stream, kind) of a transaction. Times are clock ticks.
struct file_streams_entry {
  uint64_t key;  // registry key of the stream
  int32_t kind;
  char *path;   // owned, null when the stream was no longer registered
  char *stack;  // owned, the first stack sampled for this entry
  uint64_t count;
  int64_t duration;
  int64_t bytes;
  int64_t first_start;
  int64_t last_end;
};

// The file-stream part of a thread's transaction state; used only by its own thread.
struct file_streams_locals {
  uint64_t entry_count;
  file_streams_entry *last_entry;
  int64_t max_key;          // largest key added since the last reset
  int64_t next_stack_time;  // no stack is sampled before this tick
  uint32_t evicted_count;
  uint64_t saved_stack_count;
  file_streams_entry aggregate;  // kind -1
  file_streams_entry entries[FILE_STREAMS_MAX_ENTRIES];
  char *saved_stacks[FILE_STREAMS_MAX_SAVED_STACKS];
};
