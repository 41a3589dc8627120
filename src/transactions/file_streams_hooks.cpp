// The hooks that replace the JDK's file-stream natives. Each calls the JDK's function saved at the
// latest bind with the same arguments and returns its result, leaving its exception pending as it
// was. While no thread is inside a transaction a read or write costs one load before it jumps to
// the JDK's function; while some thread is, one outside costs the thread's record lookup too;
// inside, two field reads find the stream's open file (its descriptor's number indexes the
// descriptor table) before the call, and two readings of the fast counter time it.
#include <jni.h>

#include <cerrno>

#include "transactions/file_descriptors.h"
#include "transactions/file_streams.h"
#include "transactions/file_streams_internal.h"
#include "platform/fast_clock.h"

namespace {

using read_byte_function = jint(JNICALL *)(JNIEnv *, jobject);
using read_block_function = jint(JNICALL *)(JNIEnv *, jobject, jbyteArray, jint, jint);
using write_byte_append_function = void(JNICALL *)(JNIEnv *, jobject, jint, jboolean);
using write_block_append_function = void(JNICALL *)(JNIEnv *, jobject, jbyteArray, jint, jint, jboolean);
using write_byte_function = void(JNICALL *)(JNIEnv *, jobject, jint);
using write_block_function = void(JNICALL *)(JNIEnv *, jobject, jbyteArray, jint, jint);
using open_function = void(JNICALL *)(JNIEnv *, jobject, jstring);
using open_append_function = void(JNICALL *)(JNIEnv *, jobject, jstring, jboolean);
using open_mode_function = void(JNICALL *)(JNIEnv *, jobject, jstring, jint);
using close_function = void(JNICALL *)(JNIEnv *, jobject);

inline int64_t tick() { return (int64_t)fast_clock_ticks(); }

// The classes whose objects own a descriptor, each with its field.
enum stream_class { INPUT, OUTPUT, RANDOM };

template <stream_class Class>
inline jfieldID descriptor_field() {
  const file_streams_fields &fields = file_streams_field_ids;
  return Class == INPUT ? fields.input_fd : Class == OUTPUT ? fields.output_fd : fields.random_fd;
}

// The number of the stream's descriptor, -1 when it has none. The descriptor's local reference
// goes with the native's frame.
template <stream_class Class>
inline int stream_descriptor(JNIEnv *jni, jobject stream) {
  jfieldID field = descriptor_field<Class>();
  return field != nullptr ? file_streams_descriptor_number(jni, jni->GetObjectField(stream, field)) : -1;
}

// The registry key of the file open on the stream's descriptor (0: the stream was opened while the
// tracker was off, or on a descriptor it did not see opened).
template <stream_class Class>
inline uint64_t stream_key(JNIEnv *jni, jobject stream, int fd) {
  uint64_t key = file_descriptors_key(fd);
  return key != 0 ? key : file_streams_adopt_stream(jni, stream, fd);  // adopted: opened before the agent came
}
template <stream_class Class>
inline uint64_t stream_key(JNIEnv *jni, jobject stream) {
  return stream_key<Class>(jni, stream, stream_descriptor<Class>(jni, stream));
}

// Bytes a write moved: none when it failed with its exception pending. The JDK's write fails on a
// closed stream (no descriptor, seen before the call), on bad arguments (checked here too) or with
// the errno of write(2): with errno cleared before the call and still clear after it, the write
// succeeded, and the exception check (a transition into the JVM) is saved. (An offset and length
// beyond the array's end throw without errno: such a write counts its length.)
inline int64_t written(JNIEnv *jni, int fd, bool arguments_bad, int64_t bytes) {
  bool failed = fd < 0 || arguments_bad || errno != 0 ? jni->ExceptionCheck() : false;
  return bytes > 0 && !failed ? bytes : 0;
}
// A read that fails or hits the end returns -1 and moves none.
inline int64_t read_result(jint result) { return result > 0 ? result : 0; }

// The operations while some thread is inside a transaction, kept out of line, so that a hook's
// path while none is saves nothing and jumps to the JDK's function.
template <file_streams_hook_id Hook, stream_class Class>
[[gnu::noinline]] jint read_byte_inside(JNIEnv *jni, jobject stream) {
  auto jdk = file_streams_jdk_function<read_byte_function>(Hook);
  thread_transaction_state *transaction = thread_find_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream);
  uint64_t key = stream_key<Class>(jni, stream);
  int64_t start = tick();
  jint result = jdk(jni, stream);
  int64_t end = tick();
  file_streams_register_operation(jni, transaction, key, TIMING_FIS_READ_BYTE, result >= 0 ? 1 : 0, start, end);
  return result;
}

template <file_streams_hook_id Hook, stream_class Class>
[[gnu::noinline]] jint read_block_inside(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  auto jdk = file_streams_jdk_function<read_block_function>(Hook);
  thread_transaction_state *transaction = thread_find_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, bytes, offset, length);
  uint64_t key = stream_key<Class>(jni, stream);
  int64_t start = tick();
  jint result = jdk(jni, stream, bytes, offset, length);
  int64_t end = tick();
  file_streams_register_operation(jni, transaction, key, TIMING_FIS_READ_BLOCK, read_result(result), start, end);
  return result;
}

template <file_streams_hook_id Hook, stream_class Class, typename F, typename... A>
[[gnu::noinline]] void write_byte_inside(JNIEnv *jni, jobject stream, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  thread_transaction_state *transaction = thread_find_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, arguments...);
  int fd = stream_descriptor<Class>(jni, stream);
  uint64_t key = stream_key<Class>(jni, stream, fd);
  errno = 0;
  int64_t start = tick();
  jdk(jni, stream, arguments...);
  int64_t end = tick();
  file_streams_register_operation(jni, transaction, key, TIMING_FOS_WRITE_BYTE, written(jni, fd, false, 1), start, end);
}

template <file_streams_hook_id Hook, stream_class Class, typename F, typename... A>
[[gnu::noinline]] void write_block_inside(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length,
                                          A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  thread_transaction_state *transaction = thread_find_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, bytes, offset, length, arguments...);
  int fd = stream_descriptor<Class>(jni, stream);
  uint64_t key = stream_key<Class>(jni, stream, fd);
  errno = 0;
  int64_t start = tick();
  jdk(jni, stream, bytes, offset, length, arguments...);
  int64_t end = tick();
  bool arguments_bad = bytes == nullptr || offset < 0 || length < 0;
  file_streams_register_operation(jni, transaction, key, TIMING_FOS_WRITE_BLOCK,
                                  written(jni, fd, arguments_bad, length), start, end);
}

template <file_streams_hook_id Hook, stream_class Class>
inline jint read_byte(JNIEnv *jni, jobject stream) {
  if (thread_transactions_none()) return file_streams_jdk_function<read_byte_function>(Hook)(jni, stream);
  return read_byte_inside<Hook, Class>(jni, stream);
}

template <file_streams_hook_id Hook, stream_class Class>
inline jint read_block(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  if (thread_transactions_none()) {
    return file_streams_jdk_function<read_block_function>(Hook)(jni, stream, bytes, offset, length);
  }
  return read_block_inside<Hook, Class>(jni, stream, bytes, offset, length);
}

template <file_streams_hook_id Hook, stream_class Class, typename F, typename... A>
inline void write_byte(JNIEnv *jni, jobject stream, A... arguments) {
  if (thread_transactions_none()) return file_streams_jdk_function<F>(Hook)(jni, stream, arguments...);
  write_byte_inside<Hook, Class, F>(jni, stream, arguments...);
}

template <file_streams_hook_id Hook, stream_class Class, typename F, typename... A>
inline void write_block(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length, A... arguments) {
  if (thread_transactions_none()) {
    return file_streams_jdk_function<F>(Hook)(jni, stream, bytes, offset, length, arguments...);
  }
  write_block_inside<Hook, Class, F>(jni, stream, bytes, offset, length, arguments...);
}

// The stream is registered before the JDK opens it, and its key attached to the descriptor the JDK
// opened; an open that fails leaves no entry behind.
template <file_streams_hook_id Hook, stream_class Class, typename F, typename... A>
inline void open(JNIEnv *jni, jobject stream, jstring path, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  uint64_t key = file_streams_register_stream(jni, stream, path);
  jdk(jni, stream, path, arguments...);
  if (key == 0) return;
  if (jni->ExceptionCheck()) {
    file_streams_registry_remove(key);
  } else {
    file_streams_registry_attach_or_remove(key, stream_descriptor<Class>(jni, stream));
  }
}

// Class libraries whose streams close through a native of their own.
template <file_streams_hook_id Hook, stream_class Class>
inline void close(JNIEnv *jni, jobject stream) {
  auto jdk = file_streams_jdk_function<close_function>(Hook);
  file_streams_close_descriptor(stream_descriptor<Class>(jni, stream));
  jdk(jni, stream);
}

}  // namespace

jint JNICALL file_streams_hook_fis_read0(JNIEnv *jni, jobject stream) {
  return read_byte<HOOK_FIS_READ0, INPUT>(jni, stream);
}

jint JNICALL file_streams_hook_fis_readBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  return read_block<HOOK_FIS_READBYTES, INPUT>(jni, stream, bytes, offset, length);
}

void JNICALL file_streams_hook_fis_open0(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FIS_OPEN0, INPUT, open_function>(jni, stream, path);
}

void JNICALL file_streams_hook_fis_close0(JNIEnv *jni, jobject stream) { close<HOOK_FIS_CLOSE0, INPUT>(jni, stream); }

void JNICALL file_streams_hook_fos_write(JNIEnv *jni, jobject stream, jint byte, jboolean append) {
  write_byte<HOOK_FOS_WRITE, OUTPUT, write_byte_append_function>(jni, stream, byte, append);
}

void JNICALL file_streams_hook_fos_writeBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length,
                                              jboolean append) {
  write_block<HOOK_FOS_WRITEBYTES, OUTPUT, write_block_append_function>(jni, stream, bytes, offset, length, append);
}

void JNICALL file_streams_hook_fos_jdk6_write(JNIEnv *jni, jobject stream, jint byte) {
  write_byte<HOOK_FOS_JDK6_WRITE, OUTPUT, write_byte_function>(jni, stream, byte);
}

void JNICALL file_streams_hook_fos_jdk6_writeBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset,
                                                   jint length) {
  write_block<HOOK_FOS_JDK6_WRITEBYTES, OUTPUT, write_block_function>(jni, stream, bytes, offset, length);
}

void JNICALL file_streams_hook_fos_open0(JNIEnv *jni, jobject stream, jstring path, jboolean append) {
  open<HOOK_FOS_OPEN0, OUTPUT, open_append_function>(jni, stream, path, append);
}

void JNICALL file_streams_hook_fos_close0(JNIEnv *jni, jobject stream) { close<HOOK_FOS_CLOSE0, OUTPUT>(jni, stream); }

void JNICALL file_streams_hook_fos_jdk6_open(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FOS_JDK6_OPEN, OUTPUT, open_function>(jni, stream, path);
}

void JNICALL file_streams_hook_fos_jdk6_openAppend(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FOS_JDK6_OPENAPPEND, OUTPUT, open_function>(jni, stream, path);
}

// Closes streams and file channels: the file open on the descriptor is forgotten.
void JNICALL file_streams_hook_fd_close0(JNIEnv *jni, jobject descriptor) {
  auto jdk = file_streams_jdk_function<close_function>(HOOK_FD_CLOSE0);
  file_streams_close_descriptor(file_streams_descriptor_number(jni, descriptor));
  jdk(jni, descriptor);
}

void JNICALL file_streams_hook_raf_open0(JNIEnv *jni, jobject file, jstring path, jint mode) {
  open<HOOK_RAF_OPEN0, RANDOM, open_mode_function>(jni, file, path, mode);
}

jint JNICALL file_streams_hook_raf_read0(JNIEnv *jni, jobject file) {
  return read_byte<HOOK_RAF_READ0, RANDOM>(jni, file);
}

jint JNICALL file_streams_hook_raf_readBytes(JNIEnv *jni, jobject file, jbyteArray bytes, jint offset, jint length) {
  return read_block<HOOK_RAF_READBYTES, RANDOM>(jni, file, bytes, offset, length);
}

void JNICALL file_streams_hook_raf_write0(JNIEnv *jni, jobject file, jint byte) {
  write_byte<HOOK_RAF_WRITE0, RANDOM, write_byte_function>(jni, file, byte);
}

void JNICALL file_streams_hook_raf_writeBytes(JNIEnv *jni, jobject file, jbyteArray bytes, jint offset, jint length) {
  write_block<HOOK_RAF_WRITEBYTES, RANDOM, write_block_function>(jni, file, bytes, offset, length);
}

void *const file_streams_stream_hook_functions[HOOK_NIO_READ0] = {
    reinterpret_cast<void *>(file_streams_hook_fis_read0),
    reinterpret_cast<void *>(file_streams_hook_fis_readBytes),
    reinterpret_cast<void *>(file_streams_hook_fis_open0),
    reinterpret_cast<void *>(file_streams_hook_fis_close0),
    reinterpret_cast<void *>(file_streams_hook_fos_write),
    reinterpret_cast<void *>(file_streams_hook_fos_writeBytes),
    reinterpret_cast<void *>(file_streams_hook_fos_jdk6_write),
    reinterpret_cast<void *>(file_streams_hook_fos_jdk6_writeBytes),
    reinterpret_cast<void *>(file_streams_hook_fos_open0),
    reinterpret_cast<void *>(file_streams_hook_fos_close0),
    reinterpret_cast<void *>(file_streams_hook_fos_jdk6_open),
    reinterpret_cast<void *>(file_streams_hook_fos_jdk6_openAppend),
    reinterpret_cast<void *>(file_streams_hook_fd_close0),
    reinterpret_cast<void *>(file_streams_hook_raf_open0),
    reinterpret_cast<void *>(file_streams_hook_raf_read0),
    reinterpret_cast<void *>(file_streams_hook_raf_readBytes),
    reinterpret_cast<void *>(file_streams_hook_raf_write0),
    reinterpret_cast<void *>(file_streams_hook_raf_writeBytes),
};
