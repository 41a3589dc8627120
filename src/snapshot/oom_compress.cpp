// The snapshot archive: tar blocks built here, compressed through libbz2 and written as a stream,
// with the free disk space checked as the archive grows. Also the snapshot directory's lock for
// the Java half.
#include "snapshot/oom_compress.h"

#include <bzlib.h>
#include <errno.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "platform/fileops.h"
#include "core/log.h"
#include "base/string_util.h"

namespace {

constexpr size_t READ_CHUNK_SIZE = 4096;
constexpr size_t DIRECTORY_SIZE = 4096;
constexpr size_t TAR_NAME_SIZE = 100;

// One archive's state, zeroed at the start of every archive.
struct archive_state {
  JNIEnv *jni;  // the caller's, for log lines that reach the Java logger; may be null
  FILE *archive;
  char directory[DIRECTORY_SIZE];
  bz_stream stream;
  uint8_t stream_ready;
  int32_t error;
  unsigned char *input;
  uint64_t input_fill;
  unsigned char *output;
  uint64_t written;
  uint64_t next_disk_check;
};

constexpr int MAX_HELD_DUMP_LOCKS = 64;

struct compress_record {
  // One archive at a time: the state below is shared by the steps of one archive.
  agent_mutex lock;
  oom_compress_free_space_source free_space;
  archive_state current;
  // Handles handed out by dumpAccessLock and not yet released: only these are ever closed.
  agent_mutex dump_lock_lock;
  locked_file_handle held[MAX_HELD_DUMP_LOCKS];
  int held_count;
};

compress_record oom_compress{};

uint64_t read_free_space(const char *path) {
  oom_compress_free_space_source source = oom_compress.free_space;
  return source != nullptr ? source(path) : disk_get_free_space(path);
}

// The part of the archive path up to and including its last separator; the whole path when it has none.
void oom_compress_store_directory(const char *archive_path) {
  archive_state &state = oom_compress.current;
  const char *slash = strrchr(archive_path, '/');
  const char *backslash = strrchr(archive_path, '\\');
  const char *last = slash == nullptr       ? backslash
                     : backslash == nullptr ? slash
                     : slash > backslash    ? slash
                                            : backslash;
  size_t length = last != nullptr ? (size_t)(last - archive_path) + 1 : strlen(archive_path);
  safe_memncpy(state.directory, sizeof state.directory, archive_path, length);
}

// Writes n bytes of the output buffer, checking the free space first whenever another
// OOM_COMPRESS_DISK_CHECK_INTERVAL compressed bytes have been written.
bool oom_archive_write(size_t count) {
  archive_state &state = oom_compress.current;
  if (state.written >= state.next_disk_check) {
    uint64_t free_space = read_free_space(state.directory);
    if (free_space < OOM_COMPRESS_MINIMUM_FREE_SPACE) {
      log_error_raw(state.jni, "Aborting archive writing because available disk space is below %llu (below %llu).",
                    (unsigned long long)free_space, (unsigned long long)OOM_COMPRESS_MINIMUM_FREE_SPACE);
      return false;
    }
    state.next_disk_check += OOM_COMPRESS_DISK_CHECK_INTERVAL;
  }
  if (fwrite(state.output, 1, count, state.archive) != count) {
    log_error_raw(state.jni, "Could not write %d bytes to archive file.", (int)count);
    return false;
  }
  state.written += count;
  return true;
}

// Hands the whole input buffer to the compressor and writes what it produces.
bool oom_compression_flush() {
  archive_state &state = oom_compress.current;
  if (state.input_fill > 0 && state.error == 0) {
    state.stream.next_in = reinterpret_cast<char *>(state.input);
    state.stream.avail_in = (unsigned int)state.input_fill;
    do {
      state.stream.next_out = reinterpret_cast<char *>(state.output);
      state.stream.avail_out = (unsigned int)OOM_COMPRESS_BUFFER_SIZE;
      int result = BZ2_bzCompress(&state.stream, BZ_RUN);
      if (result != BZ_RUN_OK) {
        log_error_raw(state.jni, "Failed to compress buffer (a): %d.", result);
        state.error = 1;
        break;
      }
      size_t produced = OOM_COMPRESS_BUFFER_SIZE - state.stream.avail_out;
      if (produced > 0 && !oom_archive_write(produced)) state.error = 1;
    } while (state.stream.avail_in > 0 && state.error == 0);
  }
  state.input_fill = 0;
  return state.error == 0;
}

// Ends the compressed stream (writing its last blocks unless an error came first) and releases the compressor.
bool oom_compression_finish() {
  archive_state &state = oom_compress.current;
  if (state.stream_ready && state.error == 0) {
    int result;
    do {
      state.stream.next_out = reinterpret_cast<char *>(state.output);
      state.stream.avail_out = (unsigned int)OOM_COMPRESS_BUFFER_SIZE;
      result = BZ2_bzCompress(&state.stream, BZ_FINISH);
      if (result == BZ_FINISH_OK || result == BZ_STREAM_END) {
        size_t produced = OOM_COMPRESS_BUFFER_SIZE - state.stream.avail_out;
        if (produced > 0 && !oom_archive_write(produced)) {
          state.error = 1;
          break;
        }
      } else {
        log_error_raw(state.jni, "Failed to compress buffer (b): %d.", result);
        state.error = 1;
      }
    } while (result == BZ_FINISH_OK);
  }
  if (state.stream_ready) {
    BZ2_bzCompressEnd(&state.stream);
    state.stream_ready = 0;
  }
  return state.error == 0;
}

// Appends a block (header, data or end blocks) to the input buffer, flushing it first when full.
bool oom_compress_append(const void *data, size_t count) {
  archive_state &state = oom_compress.current;
  if (state.archive == nullptr) {
    log_error_raw(state.jni, "Archive isn't opened, cannot write to it.");
    return false;
  }
  if (state.error != 0) return false;
  if (count > OOM_COMPRESS_BUFFER_SIZE) {
    log_error_raw(state.jni, "Too large block to write at once.");
    return false;
  }
  if (OOM_COMPRESS_BUFFER_SIZE - state.input_fill < count && !oom_compression_flush()) return false;
  memcpy(state.input + state.input_fill, data, count);
  state.input_fill += count;
  return true;
}

bool oom_compress_tar_header(const char *name, uint64_t size) {
  unsigned char block[OOM_TAR_BLOCK_SIZE];
  oom_compress_fill_tar_header(block, name, size, (uint32_t)(uint64_t)time(nullptr));
  return oom_compress_append(block, sizeof block);
}

// Adds one file as the named entry. The entry holds exactly the size written in its header: bytes
// appended while the file is read are left out, and a file that shrinks fails the archive.
bool oom_compress_file(const char *path, const char *name) {
  archive_state &state = oom_compress.current;
  FILE *file = fopen(path, FILEOPS_READ_MODE);
  if (file == nullptr) {
    log_error_raw(state.jni, "Failed to open %s file for adding to archive, inserting empty file instead.", path);
    return oom_compress_tar_header(name, 0);
  }
  int64_t size = xfsize64(file);
  if (size < 0) {
    log_error_raw(state.jni, "Could not read the size of file %s (%d).", path, errno);
    fclose(file);
    return false;
  }
  bool result = oom_compress_tar_header(name, (uint64_t)size);
  unsigned char chunk[READ_CHUNK_SIZE];
  uint64_t remaining = (uint64_t)size;
  while (result && remaining > 0) {
    size_t wanted = remaining < READ_CHUNK_SIZE ? (size_t)remaining : READ_CHUNK_SIZE;
    size_t got = fread(chunk, 1, wanted, file);
    if (got < wanted) {
      if (ferror(file)) {
        log_error_raw(state.jni, "Error %d when reading file %s.", errno, path);
      } else {
        log_error_raw(state.jni, "File %s ended %llu bytes before its archived size of %lld bytes.", path,
                      (unsigned long long)(remaining - got), (long long)size);
      }
      result = false;
      break;
    }
    size_t padded = (wanted + OOM_TAR_BLOCK_SIZE - 1) / OOM_TAR_BLOCK_SIZE * OOM_TAR_BLOCK_SIZE;
    memset(chunk + wanted, 0, padded - wanted);
    result = oom_compress_append(chunk, padded);
    remaining -= wanted;
  }
  fclose(file);
  return result;
}

bool oom_compress_files(const char *info_path, const char *graph_path) {
  static const unsigned char end_block[OOM_TAR_BLOCK_SIZE] = {};
  return oom_compress_file(info_path, "oom_info.txt") && oom_compress_file(graph_path, "oom_graph.bin") &&
         oom_compress_append(end_block, sizeof end_block) && oom_compress_append(end_block, sizeof end_block) &&
         oom_compression_flush();
}

void oom_compress_release_buffers() {
  archive_state &state = oom_compress.current;
  free(state.input);
  free(state.output);
  state.input = nullptr;
  state.output = nullptr;
}

}  // namespace

void oom_compress_fill_tar_header(unsigned char block[OOM_TAR_BLOCK_SIZE], const char *name, uint64_t size,
                                  uint32_t modification_time) {
  memset(block, 0, OOM_TAR_BLOCK_SIZE);
  char *text = reinterpret_cast<char *>(block);
  safe_strncpy(text, name, TAR_NAME_SIZE);
  memcpy(text + 100, "100777 ", 8);
  memcpy(text + 108, "     0 ", 8);
  memcpy(text + 116, "     0 ", 8);
  block[124] = 0x80;  // base-256 size: the size as a big-endian number in bytes 128-135
  for (int i = 0; i < 8; ++i) block[135 - i] = (unsigned char)(size >> (8 * i));
  char time_field[13];
  xsnprintf(time_field, sizeof time_field, "%11o ", (unsigned int)modification_time);
  memcpy(text + 136, time_field, 12);
  memset(text + 148, ' ', 8);
  text[156] = '0';
  unsigned int checksum = 0;
  for (size_t i = 0; i < OOM_TAR_BLOCK_SIZE; ++i) checksum += block[i];
  xsnprintf(text + 148, 8, "%6o ", checksum);  // six digits, a space and the terminating NUL
}

void oom_compress_set_free_space_source(oom_compress_free_space_source source) {
  agent_mutex_guard guard(oom_compress.lock);
  oom_compress.free_space = source;
}

namespace {

bool oom_archive_create_for(JNIEnv *jni, const char *info_path, const char *graph_path, const char *archive_path) {
  if (info_path == nullptr || graph_path == nullptr || archive_path == nullptr) {
    log_error_raw(jni, "Cannot compress the snapshot: the %s path is null.",
                  info_path == nullptr    ? "info"
                  : graph_path == nullptr ? "graph"
                                          : "archive");
    return false;
  }
  agent_mutex_guard guard(oom_compress.lock);
  archive_state &state = oom_compress.current;
  memset(&state, 0, sizeof state);
  state.jni = jni;
  log_info(jni, "Starting to compress files %s and %s to %s.", info_path, graph_path, archive_path);
  oom_compress_store_directory(archive_path);

  // The buffers live only while an archive is written: the agent is idle for most of its life.
  state.input = static_cast<unsigned char *>(malloc(OOM_COMPRESS_BUFFER_SIZE));
  state.output = static_cast<unsigned char *>(malloc(OOM_COMPRESS_BUFFER_SIZE));
  if (state.input == nullptr || state.output == nullptr) {
    log_error_raw(jni, "Failed to allocate the compression buffers (2 x %llu bytes), no archive is written.",
                  (unsigned long long)OOM_COMPRESS_BUFFER_SIZE);
    oom_compress_release_buffers();
    return false;
  }

  state.archive = fopen(archive_path, FILEOPS_WRITE_MODE);
  if (state.archive == nullptr) {
    log_error_raw(jni, "Failed to open archive file for writing (%d).", errno);
    oom_compress_release_buffers();
    return false;
  }

  bool result = false;
  int init = BZ2_bzCompressInit(&state.stream, 9, 0, 100);
  if (init != BZ_OK) {
    log_error_raw(jni, "Failed to initialize BZ2 compression: %d.", init);
    state.error = 1;
  } else {
    state.stream_ready = 1;
    result = oom_compress_files(info_path, graph_path);
  }
  if (!oom_compression_finish()) result = false;

  // Buffered bytes reach the disk only now: a failing close loses the end of the archive.
  if (fclose(state.archive) != 0) {
    log_error_raw(jni, "Failed to close archive file (%d).", errno);
    result = false;
  }
  state.archive = nullptr;
  oom_compress_release_buffers();
  log_info(jni, "Finished compression to %s.", archive_path);
  state.jni = nullptr;
  return result;
}

}  // namespace

bool oom_archive_create(const char *info_path, const char *graph_path, const char *archive_path) {
  return oom_archive_create_for(nullptr, info_path, graph_path, archive_path);
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_oom_OomDumpNativeImpl_compressDump(JNIEnv *jni, jclass,
                                                                                            jstring info_path,
                                                                                            jstring graph_path,
                                                                                            jstring archive_path) {
  const jstring strings[] = {info_path, graph_path, archive_path};
  static const char *const names[] = {"infoPath", "graphPath", "archivePath"};
  for (size_t i = 0; i < countof(strings); ++i) {
    if (strings[i] == nullptr) {
      log_error_raw(jni, "compressDump: argument %s is null, no archive is written.", names[i]);
      return JNI_FALSE;
    }
  }
  jni_utf_chars info(jni, info_path), graph(jni, graph_path), archive(jni, archive_path);
  if (!info || !graph || !archive) {
    log_error_raw(jni, "compressDump: the characters of an argument could not be had, no archive is written.");
    return JNI_FALSE;
  }
  return oom_archive_create_for(jni, info.get(), graph.get(), archive.get()) ? JNI_TRUE : JNI_FALSE;
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_oom_OomDumpNativeImpl_dumpAccessLock(JNIEnv *jni, jclass,
                                                                                           jstring path) {
  if (path == nullptr) {
    log_error_raw(jni, "dumpAccessLock: the lock file path is null.");
    return -1;
  }
  jni_utf_chars text(jni, path);
  if (!text) {
    log_error_raw(jni, "dumpAccessLock: the characters of the lock file path could not be had.");
    return -1;
  }
  agent_mutex_guard guard(oom_compress.dump_lock_lock);
  if (oom_compress.held_count == MAX_HELD_DUMP_LOCKS) {
    log_error_raw(jni, "dumpAccessLock: %d snapshot directory locks are held already, %s is not locked.",
                  MAX_HELD_DUMP_LOCKS, text.get());
    return -1;
  }
  locked_file_handle handle = INVALID_LOCKED_FILE;
  if (!create_locked_file(text.get(), &handle)) return -1;
  oom_compress.held[oom_compress.held_count++] = handle;
  return (jlong)handle;
}

// Only a handle that dumpAccessLock handed out and that is still held is closed: closing any other
// number would close a descriptor of the JVM's own.
VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_oom_OomDumpNativeImpl_dumpAccessUnlock(JNIEnv *jni, jclass,
                                                                                            jlong handle) {
  if (handle < 0) return;
  agent_mutex_guard guard(oom_compress.dump_lock_lock);
  for (int i = 0; i < oom_compress.held_count; ++i) {
    if (oom_compress.held[i] != (locked_file_handle)handle) continue;
    oom_compress.held[i] = oom_compress.held[--oom_compress.held_count];
    free_locked_file((locked_file_handle)handle);
    return;
  }
  log_error_raw(jni, "dumpAccessUnlock: %lld is not a held snapshot directory lock, nothing is released.",
                (long long)handle);
}
