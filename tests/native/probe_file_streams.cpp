// Test-kit natives of vorkel.test.FileStreamProbe: the file stream registry, main-environment tags
// and failure injection, reached from Java on real JVMTI and JNI environments.
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/common.h"
#include "transactions/file_streams.h"
#include "core/hires_time.h"
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

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_FileStreamProbe_streamKey(JNIEnv *, jclass, jobject stream) {
  return (jlong)tag_access_get_tag(probe_main_env(), stream);
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
// transaction: the clock, the transaction record lookup, the stream's tag, the exception check,
// the table update of a repeated (stream, kind), the whole accounting step of the hooks, and two
// clock reads around a tag lookup.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_FileStreamProbe_operationCosts(JNIEnv *jni, jclass, jobject stream,
                                                                                 jint count) {
  std::vector<jlong> costs(7);
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr || count <= 0) return nullptr;
  auto per_call = [count](uint64_t start) { return (jlong)((perfCounterCurrent() - start) / (uint64_t)count); };
  volatile uint64_t sink = 0;
  uint64_t start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) sink = sink + perfCounterCurrent();
  costs[0] = per_call(start);
  start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) sink = sink + (uintptr_t)thread_current_transaction();
  costs[1] = per_call(start);
  start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) sink = sink + tag_access_get_tag(probe_main_env(), stream);
  costs[2] = per_call(start);
  start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) sink = sink + (uint64_t)jni->ExceptionCheck();
  costs[3] = per_call(start);
  uint64_t key = tag_access_get_tag(probe_main_env(), stream);
  if (key != 0) {
    file_streams_locals *locals = &transaction->file_streams;
    start = perfCounterCurrent();
    for (jint i = 0; i < count; ++i) file_streams_account(locals, key, TIMING_FIS_READ_BLOCK, 4096, 0, 1);
    costs[4] = per_call(start);
  }
  start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) {
    file_streams_register_operation(jni, transaction, stream, TIMING_FIS_READ_BLOCK, 4096,
                                    (int64_t)perfCounterCurrent());
  }
  costs[5] = per_call(start);
  // The clock reads and the tag lookup one after the other, as a hooked operation has them.
  start = perfCounterCurrent();
  for (jint i = 0; i < count; ++i) {
    sink = sink + perfCounterCurrent();
    sink = sink + tag_access_get_tag(probe_main_env(), stream);
    sink = sink + perfCounterCurrent();
  }
  costs[6] = per_call(start);
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
