// A JVMTI agent of the virtual-thread benchmark alone (bench/virtual_thread_bench.sh): the least
// that following transactions on virtual threads through JVMTI asks of the JVM, and nothing else.
// It enables MonitorContendedEnter and MonitorContendedEntered, whose callbacks only look for the
// thread's record (GetThreadLocalStorage), and gives the benchmark two natives that store a record
// in the calling virtual thread's thread-local storage and clear it again, around each request.
// Measured against no agent, it tells how far below the JVM's own costs the agent's can go. The
// option "events" keeps only the monitor events (the natives do nothing), "storage" only the
// thread-local storage (no events).
#include <jvmti.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
jvmtiEnv *environment;
char record[64];
bool storage = true;

void JNICALL contended(jvmtiEnv *jvmti, JNIEnv *, jthread, jobject) {
  void *data = nullptr;
  jvmti->GetThreadLocalStorage(nullptr, &data);
  if (data != nullptr && data != record) abort();  // only this agent's record is ever stored
}
}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *) {
  if (vm->GetEnv(reinterpret_cast<void **>(&environment), JVMTI_VERSION_1_1) != JNI_OK) return JNI_ERR;
  storage = options == nullptr || strcmp(options, "events") != 0;
  if (options != nullptr && strcmp(options, "storage") == 0) return JNI_OK;
  jvmtiCapabilities capabilities{};
  capabilities.can_generate_monitor_events = 1;
  if (environment->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_ERR;
  jvmtiEventCallbacks callbacks{};
  callbacks.MonitorContendedEnter = contended;
  callbacks.MonitorContendedEntered = contended;
  if (environment->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) return JNI_ERR;
  for (jvmtiEvent event : {JVMTI_EVENT_MONITOR_CONTENDED_ENTER, JVMTI_EVENT_MONITOR_CONTENDED_ENTERED}) {
    if (environment->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr) != JVMTI_ERROR_NONE) return JNI_ERR;
  }
  return JNI_OK;
}

// VirtualThreadBench.floorJoin() and floorLeave(), found by the JVM among the agent's symbols.
extern "C" JNIEXPORT void JNICALL Java_VirtualThreadBench_floorJoin(JNIEnv *, jclass) {
  if (storage) environment->SetThreadLocalStorage(nullptr, record);
}

extern "C" JNIEXPORT void JNICALL Java_VirtualThreadBench_floorLeave(JNIEnv *, jclass) {
  if (storage) environment->SetThreadLocalStorage(nullptr, nullptr);
}
