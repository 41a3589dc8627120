// A JVMTI agent of the virtual-thread benchmark alone (bench/virtual_thread_bench.sh): it asks for
// can_support_virtual_threads, which the vorkel agent does without, and with the option "events"
// also enables VirtualThreadStart and VirtualThreadEnd with empty callbacks, so that the benchmark
// can tell what the capability, and the events it allows, would cost a virtual-thread program.
#include <jvmti.h>

#include <cstring>
#include <initializer_list>

namespace {
void JNICALL virtual_thread_event(jvmtiEnv *, JNIEnv *, jthread) {}
}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *) {
  jvmtiEnv *jvmti = nullptr;
  if (vm->GetEnv(reinterpret_cast<void **>(&jvmti), JVMTI_VERSION_21) != JNI_OK) return JNI_ERR;
  jvmtiCapabilities capabilities{};
  capabilities.can_support_virtual_threads = 1;
  if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_ERR;
  if (options == nullptr || strcmp(options, "events") != 0) return JNI_OK;
  jvmtiEventCallbacks callbacks{};
  callbacks.VirtualThreadStart = virtual_thread_event;
  callbacks.VirtualThreadEnd = virtual_thread_event;
  if (jvmti->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) return JNI_ERR;
  for (jvmtiEvent event : {JVMTI_EVENT_VIRTUAL_THREAD_START, JVMTI_EVENT_VIRTUAL_THREAD_END}) {
    if (jvmti->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr) != JVMTI_ERROR_NONE) return JNI_ERR;
  }
  return JNI_OK;
}
