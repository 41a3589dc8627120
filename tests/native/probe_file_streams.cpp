// Test-kit natives of vorkel.test.FileStreamProbe: the file stream registry, main-environment tags
// and failure injection, reached from Java on real JVMTI and JNI environments.
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/common.h"
#include "transactions/file_descriptors.h"
#include "transactions/file_streams.h"
#include "transactions/file_streams_internal.h"
#include "core/hires_time.h"
#include "platform/fast_clock.h"
#include "probe_kit.h"
#include "core/tag_access.h"
#include "core/thread_info.h"
#include "transactions/thread_locals.h"
#include "transactions/user_transaction.h"

namespace {

std::atomic<int> failing_allocations{0};

void *failing_allocator(size_t size) {
  if (failing_allocations.load() > 0) {
    failing_allocations.fetch_sub(1);
    return nullptr;
  }
  return malloc(size);
}

jint JNICALL count_object(jlong, jlong, jlong *, jint, void *user_data) {
  ++*static_cast<jlong *>(user_data);
  return 0;
}

}  // namespace

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_FileStreamProbe_registrySize(JNIEnv *, jclass) {
  return (jlong)file_streams_registry_size();
}

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_FileStreamProbe_registeredPath(JNIEnv *jni, jclass, jlong key) {
  char *path = file_streams_registry_copy_path((uint64_t)key);
  jstring text = path != nullptr ? jni->NewStringUTF(path) : nullptr;
  free(path);
  return text;
}

// The key on the stream's descriptor (0: none).
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_FileStreamProbe_streamKey(JNIEnv *jni, jclass, jobject stream) {
  jclass klass = jni->GetObjectClass(stream);
  jfieldID field = jni->GetFieldID(klass, "fd", "Ljava/io/FileDescriptor;");
  jni->DeleteLocalRef(klass);
  if (field == nullptr) {
    jni->ExceptionClear();
    return -1;
  }
  jobject descriptor = jni->GetObjectField(stream, field);
  uint64_t key = file_descriptors_key(file_streams_descriptor_number(jni, descriptor));
  if (descriptor != nullptr) jni->DeleteLocalRef(descriptor);
  return (jlong)key;
}

// The next count allocations of the tracker fail.
VORKEL_EXPORT void JNICALL Java_vorkel_test_FileStreamProbe_failAllocations(JNIEnv *, jclass, jint count) {
  failing_allocations.store(count);
  file_streams_set_allocator_for_tests(count > 0 ? failing_allocator : nullptr);
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_FileStreamProbe_stackIntervalMillis(JNIEnv *, jclass, jlong millis) {
  file_streams_set_stack_interval_for_tests(ms_to_hires_duration(millis));
}

// A heap call in the main environment posts the ObjectFree events of the streams collected so far.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_FileStreamProbe_flushObjectFree(JNIEnv *, jclass) {
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_iteration_callback = count_object;
  jlong count = 0;
  jvmtiError error = probe_main_env()->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, &count);
  return error == JVMTI_ERROR_NONE ? count : -1;
}

// Nanoseconds per call, over count calls each, of the parts of a hooked operation inside a
// transaction, in the order of FileStreamProbe.operationCosts.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_FileStreamProbe_operationCosts(JNIEnv *jni, jclass, jobject stream,
                                                                                 jobject descriptor, jint count) {
  thread_transaction_state *transaction = thread_current_transaction();
  jfieldID stream_field =
      stream != nullptr ? jni->GetFieldID(jni->GetObjectClass(stream), "fd", "Ljava/io/FileDescriptor;") : nullptr;
  if (transaction == nullptr || count <= 0 || stream_field == nullptr || descriptor == nullptr) return nullptr;
  std::vector<jlong> costs;
  volatile uint64_t sink = 0;
  auto measure = [&](auto &&part) {
    uint64_t start = perfCounterCurrent();
    for (jint i = 0; i < count; ++i) part();
    costs.push_back((jlong)hires_duration_to_ns((int64_t)(perfCounterCurrent() - start)) / count);
  };
  measure([&] { sink = sink + fast_clock_ticks(); });
  measure([&] { sink = sink + perfCounterCurrent(); });
  measure([&] { sink = sink + (uintptr_t)thread_current_transaction(); });
  // A stream's key: its descriptor object, then the number in it, then the table. A hook's local
  // reference goes with its frame; here they go with a frame per 256 calls.
  jint calls = 0;
  jni->PushLocalFrame(260);
  measure([&] {
    sink = sink + file_descriptors_key(file_streams_descriptor_number(jni, jni->GetObjectField(stream, stream_field)));
    if (++calls % 256 == 0) {
      jni->PopLocalFrame(nullptr);
      jni->PushLocalFrame(260);
    }
  });
  jni->PopLocalFrame(nullptr);
  // A channel's key: the number in the FileDescriptor argument, the table, the file type cached.
  measure([&] { sink = sink + file_descriptors_regular_key(file_streams_descriptor_number(jni, descriptor)); });
  measure([&] { sink = sink + tag_access_get_tag(probe_main_env(), stream); });
  measure([&] { sink = sink + (uint64_t)jni->ExceptionCheck(); });
  uint64_t key = file_descriptors_regular_key(file_streams_descriptor_number(jni, descriptor));
  file_streams_locals *locals = &transaction->file_streams;
  measure([&] { file_streams_account(locals, key, TIMING_CHANNEL_READ, 4096, 0, 1); });
  measure([&] {
    int64_t start = file_streams_now();
    file_streams_register_operation(jni, transaction, key, TIMING_CHANNEL_READ, 4096, start, file_streams_now());
  });
  return probe_long_array(jni, costs);
}

// One line per hooked method: "name=binds", or "name=absent" when the agent did not find it.
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_FileStreamProbe_hookBinds(JNIEnv *jni, jclass) {
  std::string lines;
  for (size_t hook = 0; hook < file_streams_hook_count(); ++hook) {
    const char *name = file_streams_hook_name(hook);
    if (name == nullptr) continue;
    lines += name;
    lines += file_streams_hook_present(hook) ? "=" + std::to_string(file_streams_hook_binds(hook)) : "=absent";
    lines += '\n';
  }
  return jni->NewStringUTF(lines.c_str());
}
