// The hooks of the file channels' natives. Each calls the JDK's function saved at the latest bind
// with the same arguments and returns its result, leaving its exception pending as it was.
//
// Reads, writes and transfers count on a regular file that a hook saw opened (by path through
// java.nio.file, or as a stream whose channel it is): its descriptor's number, one field read of
// the FileDescriptor argument, indexes the descriptor table. Sockets and pipes, which share the
// dispatcher's natives in some class libraries, were never opened through a hook or are told apart
// once per descriptor, and count nowhere. Outside a transaction an operation costs one load while
// no thread is inside one, the thread's record lookup while some thread is.
#include <jni.h>

#include "base/string_util.h"
#include "platform/fast_clock.h"
#include "platform/fileops.h"
#include "transactions/file_descriptors.h"
#include "transactions/file_streams.h"
#include "transactions/file_streams_internal.h"

namespace {

using io_function = jint(JNICALL *)(JNIEnv *, jclass, jobject, jlong, jint);
using positional_function = jint(JNICALL *)(JNIEnv *, jclass, jobject, jlong, jint, jlong);
using vector_function = jlong(JNICALL *)(JNIEnv *, jclass, jobject, jlong, jint);
using channel_transfer_function = jlong(JNICALL *)(JNIEnv *, jobject, jobject, jlong, jlong, jobject);
using transfer_to_function = jlong(JNICALL *)(JNIEnv *, jclass, jobject, jlong, jlong, jobject, jboolean);
using transfer_from_function = jlong(JNICALL *)(JNIEnv *, jclass, jobject, jobject, jlong, jlong, jboolean);
using open_function = jint(JNICALL *)(JNIEnv *, jclass, jlong, jint, jint);
using close_function = void(JNICALL *)(JNIEnv *, jclass, jint);
using copy_function = void(JNICALL *)(JNIEnv *, jclass, jint, jint, jlong);
using direct_copy_function = jint(JNICALL *)(JNIEnv *, jclass, jint, jint, jlong);
using buffered_copy_function = void(JNICALL *)(JNIEnv *, jclass, jint, jint, jlong, jint, jlong);
using cleanup_function = void(JNICALL *)(JNIEnv *, jclass, jint, jlong);

// The natives' statuses (sun.nio.ch.IOStatus).
constexpr jlong STATUS_END_OF_FILE = -1;
constexpr jlong STATUS_THROWN = -5;

// Paths of java.nio.file as modified UTF-8: up to 4096 bytes, some of them doubled.
constexpr size_t PATH_BUFFER = 8192;

inline int64_t tick() { return (int64_t)fast_clock_ticks(); }

// Whether a result is an operation: bytes moved, the end of the file, or a failure thrown. The
// other statuses (unavailable, interrupted, unsupported) make the JDK try again or another way.
inline bool counts(jlong result) { return result >= STATUS_END_OF_FILE || result == STATUS_THROWN; }
inline int64_t moved(jlong result) { return result > 0 ? result : 0; }

// The key of the regular file open on the descriptor object's number, 0 when none.
inline uint64_t regular_key(JNIEnv *jni, jobject descriptor) {
  return file_descriptors_regular_key(file_streams_descriptor_number(jni, descriptor));
}

// A read or write of the dispatcher while some thread is inside a transaction; kept out of line,
// so that the hook's path while none is saves nothing and jumps to the JDK's function.
template <file_streams_hook_id Hook, int32_t Kind, typename F, typename R, typename... A>
[[gnu::noinline]] R dispatch_inside(JNIEnv *jni, jclass klass, jobject descriptor, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  thread_transaction_state *transaction = thread_find_current_transaction();
  uint64_t key = transaction != nullptr ? regular_key(jni, descriptor) : 0;
  if (key == 0) return jdk(jni, klass, descriptor, arguments...);
  int64_t start = tick();
  R result = jdk(jni, klass, descriptor, arguments...);
  int64_t end = tick();
  if (counts(result)) file_streams_register_operation(jni, transaction, key, Kind, moved(result), start, end);
  return result;
}

// A read or write of the dispatcher: static, the descriptor first.
template <file_streams_hook_id Hook, int32_t Kind, typename F, typename R, typename... A>
inline R dispatch(JNIEnv *jni, jclass klass, jobject descriptor, A... arguments) {
  if (thread_transactions_none()) return file_streams_jdk_function<F>(Hook)(jni, klass, descriptor, arguments...);
  return dispatch_inside<Hook, Kind, F, R>(jni, klass, descriptor, arguments...);
}

// A transfer by the kernel counts on the file it reads from, with the bytes the native reports.
template <typename Call>
inline jlong transfer(JNIEnv *jni, jobject source, Call call) {
  thread_transaction_state *transaction = thread_current_transaction();
  uint64_t key = transaction != nullptr ? regular_key(jni, source) : 0;
  if (key == 0) return call();
  int64_t start = tick();
  jlong result = call();
  int64_t end = tick();
  if (counts(result)) {
    file_streams_register_operation(jni, transaction, key, TIMING_CHANNEL_TRANSFER, moved(result), start, end);
  }
  return result;
}

// A copy of Files.copy between two descriptors opened by path: one transfer on the source, whose
// bytes are how far the copy moved the target's offset (two lseek calls around it). counted says
// from the native's result whether the copy took place (or failed with its exception pending).
template <typename Call, typename Counted>
inline void copy(JNIEnv *jni, jint target, jint source, Call call, Counted counted) {
  thread_transaction_state *transaction = thread_current_transaction();
  uint64_t key = transaction != nullptr ? file_descriptors_regular_key(source) : 0;
  if (key == 0) {
    call();
    return;
  }
  int64_t before = file_descriptor_offset(target);
  int64_t start = tick();
  call();
  int64_t end = tick();
  if (!counted()) return;
  int64_t after = file_descriptor_offset(target);
  int64_t bytes = before >= 0 && after > before ? after - before : 0;
  file_streams_register_operation(jni, transaction, key, TIMING_CHANNEL_TRANSFER, bytes, start, end);
}

}  // namespace

jint JNICALL file_streams_hook_nio_read0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length) {
  return dispatch<HOOK_NIO_READ0, TIMING_CHANNEL_READ, io_function, jint>(jni, klass, fd, address, length);
}

jint JNICALL file_streams_hook_nio_pread0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length,
                                          jlong position) {
  return dispatch<HOOK_NIO_PREAD0, TIMING_CHANNEL_POSITIONAL_READ, positional_function, jint>(jni, klass, fd, address,
                                                                                              length, position);
}

jlong JNICALL file_streams_hook_nio_readv0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length) {
  return dispatch<HOOK_NIO_READV0, TIMING_CHANNEL_SCATTER_READ, vector_function, jlong>(jni, klass, fd, address,
                                                                                        length);
}

jint JNICALL file_streams_hook_nio_write0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length) {
  return dispatch<HOOK_NIO_WRITE0, TIMING_CHANNEL_WRITE, io_function, jint>(jni, klass, fd, address, length);
}

jint JNICALL file_streams_hook_nio_pwrite0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length,
                                           jlong position) {
  return dispatch<HOOK_NIO_PWRITE0, TIMING_CHANNEL_POSITIONAL_WRITE, positional_function, jint>(jni, klass, fd, address,
                                                                                                length, position);
}

jlong JNICALL file_streams_hook_nio_writev0(JNIEnv *jni, jclass klass, jobject fd, jlong address, jint length) {
  return dispatch<HOOK_NIO_WRITEV0, TIMING_CHANNEL_GATHER_WRITE, vector_function, jlong>(jni, klass, fd, address,
                                                                                         length);
}

jlong JNICALL file_streams_hook_nio_channel_transferTo0(JNIEnv *jni, jobject channel, jobject source, jlong position,
                                                        jlong count, jobject target) {
  auto jdk = file_streams_jdk_function<channel_transfer_function>(HOOK_NIO_CHANNEL_TRANSFER_TO0);
  return transfer(jni, source, [&] { return jdk(jni, channel, source, position, count, target); });
}

jlong JNICALL file_streams_hook_nio_transferTo0(JNIEnv *jni, jclass klass, jobject source, jlong position, jlong count,
                                                jobject target, jboolean append) {
  auto jdk = file_streams_jdk_function<transfer_to_function>(HOOK_NIO_TRANSFER_TO0);
  return transfer(jni, source, [&] { return jdk(jni, klass, source, position, count, target, append); });
}

jlong JNICALL file_streams_hook_nio_transferFrom0(JNIEnv *jni, jclass klass, jobject source, jobject target,
                                                  jlong position, jlong count, jboolean append) {
  auto jdk = file_streams_jdk_function<transfer_from_function>(HOOK_NIO_TRANSFER_FROM0);
  return transfer(jni, source, [&] { return jdk(jni, klass, source, target, position, count, append); });
}

// The path is the native text the JDK passes to open(2); a failed open returns -1 with its
// exception pending and registers nothing.
jint JNICALL file_streams_hook_nio_open0(JNIEnv *jni, jclass klass, jlong path, jint flags, jint mode) {
  auto jdk = file_streams_jdk_function<open_function>(HOOK_NIO_OPEN0);
  jint fd = jdk(jni, klass, path, flags, mode);
  if (fd >= 0 && path != 0) {
    char text[PATH_BUFFER];
    string_to_modified_utf8(reinterpret_cast<const char *>(path), text, sizeof text);
    file_streams_open_descriptor(text, fd);
  }
  return fd;
}

void JNICALL file_streams_hook_nio_close0(JNIEnv *jni, jclass klass, jint fd) {
  auto jdk = file_streams_jdk_function<close_function>(HOOK_NIO_CLOSE0);
  file_streams_close_descriptor(fd);
  jdk(jni, klass, fd);
}

void JNICALL file_streams_hook_nio_copy_transfer(JNIEnv *jni, jclass klass, jint target, jint source, jlong cancel) {
  auto jdk = file_streams_jdk_function<copy_function>(HOOK_NIO_COPY_TRANSFER);
  copy(
      jni, target, source, [&] { jdk(jni, klass, target, source, cancel); }, [] { return true; });
}

// 0 when copied; a status (unsupported, unavailable) without an exception makes the JDK copy
// through a buffer instead, which counts then.
jint JNICALL file_streams_hook_nio_directCopy0(JNIEnv *jni, jclass klass, jint target, jint source, jlong cancel) {
  auto jdk = file_streams_jdk_function<direct_copy_function>(HOOK_NIO_DIRECT_COPY0);
  jint result = 0;
  copy(
      jni, target, source, [&] { result = jdk(jni, klass, target, source, cancel); },
      [&] { return result == 0 || jni->ExceptionCheck(); });
  return result;
}

void JNICALL file_streams_hook_nio_bufferedCopy0(JNIEnv *jni, jclass klass, jint target, jint source, jlong address,
                                                 jint size, jlong cancel) {
  auto jdk = file_streams_jdk_function<buffered_copy_function>(HOOK_NIO_BUFFERED_COPY0);
  copy(
      jni, target, source, [&] { jdk(jni, klass, target, source, address, size, cancel); }, [] { return true; });
}

// The cleaner closes descriptors of streams and channels that were never closed.
void JNICALL file_streams_hook_fd_cleanupClose0(JNIEnv *jni, jclass klass, jint fd, jlong handle) {
  auto jdk = file_streams_jdk_function<cleanup_function>(HOOK_FD_CLEANUP_CLOSE0);
  file_streams_close_descriptor(fd);
  jdk(jni, klass, fd, handle);
}

void *const file_streams_channel_hook_functions[HOOK_COUNT - HOOK_NIO_READ0] = {
    reinterpret_cast<void *>(file_streams_hook_nio_read0),
    reinterpret_cast<void *>(file_streams_hook_nio_pread0),
    reinterpret_cast<void *>(file_streams_hook_nio_readv0),
    reinterpret_cast<void *>(file_streams_hook_nio_write0),
    reinterpret_cast<void *>(file_streams_hook_nio_pwrite0),
    reinterpret_cast<void *>(file_streams_hook_nio_writev0),
    reinterpret_cast<void *>(file_streams_hook_nio_channel_transferTo0),
    reinterpret_cast<void *>(file_streams_hook_nio_transferTo0),
    reinterpret_cast<void *>(file_streams_hook_nio_transferFrom0),
    reinterpret_cast<void *>(file_streams_hook_nio_open0),
    reinterpret_cast<void *>(file_streams_hook_nio_close0),
    reinterpret_cast<void *>(file_streams_hook_nio_copy_transfer),
    reinterpret_cast<void *>(file_streams_hook_nio_directCopy0),
    reinterpret_cast<void *>(file_streams_hook_nio_bufferedCopy0),
    reinterpret_cast<void *>(file_streams_hook_fd_cleanupClose0),
};
