// The hooks that replace the JDK's file-stream natives. Each calls the JDK's function saved at the
// latest bind with the same arguments and returns its result, leaving its exception pending as it
// was. Outside a transaction a read or write costs the thread's record lookup and nothing else.
#include <jni.h>

#include "transactions/file_streams.h"
#include "transactions/file_streams_internal.h"
#include "core/hires_time.h"
#include "core/reflection.h"

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

inline int64_t tick() { return (int64_t)perfCounterCurrent(); }

// Bytes a write moved: none when it failed with an exception. A read that fails or hits the end
// returns -1 and moves none.
inline int64_t written(JNIEnv *jni, int64_t bytes) { return bytes > 0 && !jni->ExceptionCheck() ? bytes : 0; }
inline int64_t read_result(jint result) { return result > 0 ? result : 0; }

template <file_streams_hook_id Hook>
inline jint read_byte(JNIEnv *jni, jobject stream) {
  auto jdk = file_streams_jdk_function<read_byte_function>(Hook);
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream);
  int64_t start = tick();
  jint result = jdk(jni, stream);
  file_streams_register_operation(jni, transaction, stream, TIMING_FIS_READ_BYTE, read_result(result >= 0 ? 1 : 0),
                                  start);
  return result;
}

template <file_streams_hook_id Hook>
inline jint read_block(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  auto jdk = file_streams_jdk_function<read_block_function>(Hook);
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, bytes, offset, length);
  int64_t start = tick();
  jint result = jdk(jni, stream, bytes, offset, length);
  file_streams_register_operation(jni, transaction, stream, TIMING_FIS_READ_BLOCK, read_result(result), start);
  return result;
}

template <file_streams_hook_id Hook, typename F, typename... A>
inline void write_byte(JNIEnv *jni, jobject stream, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, arguments...);
  int64_t start = tick();
  jdk(jni, stream, arguments...);
  file_streams_register_operation(jni, transaction, stream, TIMING_FOS_WRITE_BYTE, written(jni, 1), start);
}

template <file_streams_hook_id Hook, typename F, typename... A>
inline void write_block(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return jdk(jni, stream, bytes, offset, length, arguments...);
  int64_t start = tick();
  jdk(jni, stream, bytes, offset, length, arguments...);
  file_streams_register_operation(jni, transaction, stream, TIMING_FOS_WRITE_BLOCK, written(jni, length), start);
}

// The stream is registered before the JDK opens it; an open that fails leaves no entry behind.
template <file_streams_hook_id Hook, typename F, typename... A>
inline void open(JNIEnv *jni, jobject stream, jstring path, A... arguments) {
  auto jdk = file_streams_jdk_function<F>(Hook);
  uint64_t key = file_streams_register_stream(jni, stream, path);
  jdk(jni, stream, path, arguments...);
  if (key != 0 && jni->ExceptionCheck()) file_streams_deregister_stream_object(stream);
}

template <file_streams_hook_id Hook>
inline void close(JNIEnv *jni, jobject stream) {
  auto jdk = file_streams_jdk_function<close_function>(Hook);
  file_streams_deregister_stream_object(stream);
  jdk(jni, stream);
}

}  // namespace

jint JNICALL file_streams_hook_fis_read0(JNIEnv *jni, jobject stream) { return read_byte<HOOK_FIS_READ0>(jni, stream); }

jint JNICALL file_streams_hook_fis_readBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  return read_block<HOOK_FIS_READBYTES>(jni, stream, bytes, offset, length);
}

void JNICALL file_streams_hook_fis_open0(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FIS_OPEN0, open_function>(jni, stream, path);
}

void JNICALL file_streams_hook_fis_close0(JNIEnv *jni, jobject stream) { close<HOOK_FIS_CLOSE0>(jni, stream); }

void JNICALL file_streams_hook_fos_write(JNIEnv *jni, jobject stream, jint byte, jboolean append) {
  write_byte<HOOK_FOS_WRITE, write_byte_append_function>(jni, stream, byte, append);
}

void JNICALL file_streams_hook_fos_writeBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length,
                                              jboolean append) {
  write_block<HOOK_FOS_WRITEBYTES, write_block_append_function>(jni, stream, bytes, offset, length, append);
}

void JNICALL file_streams_hook_fos_jdk6_write(JNIEnv *jni, jobject stream, jint byte) {
  write_byte<HOOK_FOS_JDK6_WRITE, write_byte_function>(jni, stream, byte);
}

void JNICALL file_streams_hook_fos_jdk6_writeBytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset,
                                                   jint length) {
  write_block<HOOK_FOS_JDK6_WRITEBYTES, write_block_function>(jni, stream, bytes, offset, length);
}

void JNICALL file_streams_hook_fos_open0(JNIEnv *jni, jobject stream, jstring path, jboolean append) {
  open<HOOK_FOS_OPEN0, open_append_function>(jni, stream, path, append);
}

void JNICALL file_streams_hook_fos_close0(JNIEnv *jni, jobject stream) { close<HOOK_FOS_CLOSE0>(jni, stream); }

void JNICALL file_streams_hook_fos_jdk6_open(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FOS_JDK6_OPEN, open_function>(jni, stream, path);
}

void JNICALL file_streams_hook_fos_jdk6_openAppend(JNIEnv *jni, jobject stream, jstring path) {
  open<HOOK_FOS_JDK6_OPENAPPEND, open_function>(jni, stream, path);
}

// The descriptor names the stream that owns it; descriptors of the standard streams, and those of
// channels opened by path, have none.
void JNICALL file_streams_hook_fd_close0(JNIEnv *jni, jobject descriptor) {
  auto jdk = file_streams_jdk_function<close_function>(HOOK_FD_CLOSE0);
  jobject owner = reflection_read_object_field(jni, descriptor, file_streams_parent_field());
  if (owner != nullptr) {
    file_streams_deregister_stream_object(owner);
    jni->DeleteLocalRef(owner);
  }
  jdk(jni, descriptor);
}

void JNICALL file_streams_hook_raf_open0(JNIEnv *jni, jobject file, jstring path, jint mode) {
  open<HOOK_RAF_OPEN0, open_mode_function>(jni, file, path, mode);
}

jint JNICALL file_streams_hook_raf_read0(JNIEnv *jni, jobject file) { return read_byte<HOOK_RAF_READ0>(jni, file); }

jint JNICALL file_streams_hook_raf_readBytes(JNIEnv *jni, jobject file, jbyteArray bytes, jint offset, jint length) {
  return read_block<HOOK_RAF_READBYTES>(jni, file, bytes, offset, length);
}

void JNICALL file_streams_hook_raf_write0(JNIEnv *jni, jobject file, jint byte) {
  write_byte<HOOK_RAF_WRITE0, write_byte_function>(jni, file, byte);
}

void JNICALL file_streams_hook_raf_writeBytes(JNIEnv *jni, jobject file, jbyteArray bytes, jint offset, jint length) {
  write_block<HOOK_RAF_WRITEBYTES, write_block_function>(jni, file, bytes, offset, length);
}

void *const file_streams_hook_functions[HOOK_COUNT] = {
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
