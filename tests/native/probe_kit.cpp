#include "probe_kit.h"

#include <cstring>

#include "agent/agent_init.h"
#include "base/common.h"

jvmtiEnv *probe_tag_env() { return agent_globals != nullptr ? agent_globals->tag_jvmti : nullptr; }
jvmtiEnv *probe_main_env() { return agent_globals != nullptr ? agent_globals->jvmti : nullptr; }

jlongArray probe_long_array(JNIEnv *jni, const std::vector<jlong> &values) {
  jlongArray array = jni->NewLongArray((jsize)values.size());
  if (array != nullptr) jni->SetLongArrayRegion(array, 0, (jsize)values.size(), values.data());
  return array;
}

jbyteArray probe_bytes(JNIEnv *jni, const char *text) {
  if (text == nullptr) return nullptr;
  jsize length = (jsize)strlen(text);
  jbyteArray array = jni->NewByteArray(length);
  if (array != nullptr) jni->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte *>(text));
  return array;
}

namespace {

struct tag_count {
  bool (*accept)(uint64_t);
  jlong count;
};

jint JNICALL count_object(jlong, jlong, jlong *tag_ptr, jint, void *user_data) {
  tag_count *counting = static_cast<tag_count *>(user_data);
  if (counting->accept == nullptr || counting->accept((uint64_t)*tag_ptr)) ++counting->count;
  return 0;
}

}  // namespace

jlong probe_count_tagged(bool (*accept)(uint64_t tag)) {
  jvmtiEnv *jvmti = probe_tag_env();
  if (jvmti == nullptr) return -1;
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_iteration_callback = count_object;
  tag_count counting{accept, 0};
  jvmtiError error = jvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, &counting);
  return error == JVMTI_ERROR_NONE ? counting.count : -1;
}
