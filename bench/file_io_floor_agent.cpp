// A JVMTI agent of the file I/O benchmark alone (bench/file_stream_bench.sh): the least that timing
// each file operation exactly through the JDK's natives asks. It replaces, as the JVM binds them,
// FileInputStream.readBytes, FileOutputStream.writeBytes and the file dispatcher's read0 and
// write0 with functions that find the operation's descriptor number (for a stream its
// FileDescriptor field, then the number in it; for a channel the number in the argument) and read
// the time-stamp counter before and after calling the JDK's function, adding the difference to a
// thread's total. No lookup, no table, no transaction: what is left of any exact per-operation
// timing. x86-64 only.
#include <jni.h>
#include <jvmti.h>
#include <x86intrin.h>

#include <cstring>

namespace {
using stream_read = jint(JNICALL *)(JNIEnv *, jobject, jbyteArray, jint, jint);
using stream_write = void(JNICALL *)(JNIEnv *, jobject, jbyteArray, jint, jint, jboolean);
using dispatch = jint(JNICALL *)(JNIEnv *, jclass, jobject, jlong, jint);

struct {
  stream_read read_bytes;
  stream_write write_bytes;
  dispatch dispatcher[2];  // read0, write0
  jfieldID input_fd;       // FileInputStream.fd
  jfieldID output_fd;      // FileOutputStream.fd
  jfieldID number;         // FileDescriptor.fd
} floor_state;

thread_local unsigned long long ticks;
thread_local int numbers;

int number(JNIEnv *jni, jobject descriptor) {
  return descriptor != nullptr ? jni->GetIntField(descriptor, floor_state.number) : -1;
}

jint JNICALL read_bytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length) {
  numbers += number(jni, jni->GetObjectField(stream, floor_state.input_fd));
  unsigned long long start = __rdtsc();
  jint result = floor_state.read_bytes(jni, stream, bytes, offset, length);
  ticks += __rdtsc() - start;
  return result;
}

void JNICALL write_bytes(JNIEnv *jni, jobject stream, jbyteArray bytes, jint offset, jint length, jboolean append) {
  numbers += number(jni, jni->GetObjectField(stream, floor_state.output_fd));
  unsigned long long start = __rdtsc();
  floor_state.write_bytes(jni, stream, bytes, offset, length, append);
  ticks += __rdtsc() - start;
}

template <int Index>
jint JNICALL dispatched(JNIEnv *jni, jclass klass, jobject descriptor, jlong address, jint length) {
  numbers += number(jni, descriptor);
  unsigned long long start = __rdtsc();
  jint result = floor_state.dispatcher[Index](jni, klass, descriptor, address, length);
  ticks += __rdtsc() - start;
  return result;
}

bool is(const char *name, const char *expected) { return name != nullptr && strcmp(name, expected) == 0; }

void JNICALL bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread, jmethodID method, void *address, void **replacement) {
  if (jni == nullptr) return;
  jclass klass = nullptr;
  char *class_name = nullptr;
  char *name = nullptr;
  char *signature = nullptr;
  if (jvmti->GetMethodDeclaringClass(method, &klass) != JVMTI_ERROR_NONE ||
      jvmti->GetClassSignature(klass, &class_name, nullptr) != JVMTI_ERROR_NONE ||
      jvmti->GetMethodName(method, &name, &signature, nullptr) != JVMTI_ERROR_NONE) {
    return;
  }
  if (floor_state.number == nullptr) {
    jclass descriptor = jni->FindClass("java/io/FileDescriptor");
    if (descriptor != nullptr) floor_state.number = jni->GetFieldID(descriptor, "fd", "I");
    if (jni->ExceptionCheck()) jni->ExceptionClear();
  }
  bool dispatcher =
      is(class_name, "Lsun/nio/ch/FileDispatcherImpl;") || is(class_name, "Lsun/nio/ch/UnixFileDispatcherImpl;");
  if (floor_state.number == nullptr) {
    // no descriptor numbers: leave every native as it is
  } else if (is(class_name, "Ljava/io/FileInputStream;") && is(name, "readBytes")) {
    floor_state.input_fd = jni->GetFieldID(klass, "fd", "Ljava/io/FileDescriptor;");
    floor_state.read_bytes = reinterpret_cast<stream_read>(address);
    if (floor_state.input_fd != nullptr) *replacement = reinterpret_cast<void *>(read_bytes);
  } else if (is(class_name, "Ljava/io/FileOutputStream;") && is(name, "writeBytes")) {
    floor_state.output_fd = jni->GetFieldID(klass, "fd", "Ljava/io/FileDescriptor;");
    floor_state.write_bytes = reinterpret_cast<stream_write>(address);
    if (floor_state.output_fd != nullptr) *replacement = reinterpret_cast<void *>(write_bytes);
  } else if (dispatcher && is(name, "read0") && is(signature, "(Ljava/io/FileDescriptor;JI)I")) {
    floor_state.dispatcher[0] = reinterpret_cast<dispatch>(address);
    *replacement = reinterpret_cast<void *>(dispatched<0>);
  } else if (dispatcher && is(name, "write0") && is(signature, "(Ljava/io/FileDescriptor;JI)I")) {
    floor_state.dispatcher[1] = reinterpret_cast<dispatch>(address);
    *replacement = reinterpret_cast<void *>(dispatched<1>);
  }
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  jvmti->Deallocate(reinterpret_cast<unsigned char *>(class_name));
  jvmti->Deallocate(reinterpret_cast<unsigned char *>(name));
  jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
}
}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *, void *) {
  jvmtiEnv *jvmti = nullptr;
  if (vm->GetEnv(reinterpret_cast<void **>(&jvmti), JVMTI_VERSION_1_1) != JNI_OK) return JNI_ERR;
  jvmtiCapabilities capabilities{};
  capabilities.can_generate_native_method_bind_events = 1;
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_ERR;
  jvmtiEventCallbacks callbacks{};
  callbacks.NativeMethodBind = bind;
  if (jvmti->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) return JNI_ERR;
  return jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_NATIVE_METHOD_BIND, nullptr) == JVMTI_ERROR_NONE
             ? JNI_OK
             : JNI_ERR;
}
