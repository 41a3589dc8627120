#include "gc/generation_counter.h"

#include <atomic>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "gc/ibm_gc.h"
#include "core/log.h"
#include "core/reflection.h"

namespace {

constexpr const char *COUNTER_CLASS = "vorkel/runtime/agent/collect/GenerationCounterNative";
constexpr const char *GC_IMPL_CLASS = "vorkel/runtime/agent/probes/gc/GarbageCollectionNativeImpl";
constexpr const char *REPORT_J9_SIGNATURE = "([Ljava/lang/String;[Ljava/lang/String;I[J)V";
constexpr const char *REPORTER_NAME = "GC Count reporter thread";

// gc_count and pending are written by the GC callback outside any lock; the signal monitor's
// hand-off orders them for the reporter. gc_impl is replaced and read under report_monitor: a
// reporting pass takes a local reference to it there and calls Java after leaving the monitor,
// so that a listener may wait for a thread that calls attach.
struct {
  jrawMonitorID signal_monitor;
  jrawMonitorID report_monitor;
  std::atomic<uint32_t> gc_count;
  std::atomic<int32_t> pending;
  jclass counter_class;
  jfieldID gc_count_field;
  jclass gc_impl_class;
  jobject gc_impl;
  std::atomic<uint8_t> finish_notifications;
  jmethodID report_collection_method;
  jmethodID report_j9_method;
} counter;

void generation_counter_report(JNIEnv *jni, jobject receiver) {
  jni->SetStaticIntField(counter.counter_class, counter.gc_count_field, (jint)counter.gc_count.load());
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  if (receiver == nullptr) return;
  if (counter.finish_notifications.load()) {
    jni->CallVoidMethod(receiver, counter.report_collection_method);
    if (jni->ExceptionCheck()) jni->ExceptionClear();
  }
  ibm_gc_report(jni, receiver, counter.report_j9_method);
}

// The reporter thread: sleeps until a collection finished, then makes one reporting pass, however
// many collections finished meanwhile. Ends when a raw-monitor operation fails.
void JNICALL generation_counter_reporter(jvmtiEnv *jvmti, JNIEnv *jni, void *argument) {
  for (;;) {
    if (!jvmti_monitor_enter(jvmti, counter.signal_monitor)) return;
    while (counter.pending.load() == 0) {
      if (!jvmti_monitor_wait(jvmti, counter.signal_monitor, 0)) {
        jvmti_monitor_exit(jvmti, counter.signal_monitor);
        return;
      }
    }
    counter.pending.store(0);
    if (!jvmti_monitor_exit(jvmti, counter.signal_monitor)) return;

    // The pass's local references (the receiver, the J9 report's few) go with its frame: this
    // thread never returns to the VM to have them freed.
    bool framed = pushLocalFrame(jni, 16) == 0;
    jobject receiver = nullptr;
    if (jvmti_monitor_enter(jvmti, counter.report_monitor)) {
      if (counter.gc_impl != nullptr) receiver = jni->NewLocalRef(counter.gc_impl);
      jvmti_monitor_exit(jvmti, counter.report_monitor);
      generation_counter_report(jni, receiver);
    }
    if (framed) popLocalFrame(jni);
  }
}

jvmtiEnv *generation_counter_env() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->jvmti : nullptr;
}

}  // namespace

bool generation_counter_pre_initialise(jvmtiEnv *jvmti) {
  counter.signal_monitor = jvmti_monitor_create(jvmti);
  counter.report_monitor = jvmti_monitor_create(jvmti);
  return counter.signal_monitor != nullptr && counter.report_monitor != nullptr;
}

bool generation_counter_initialise(jvmtiEnv *jvmti, JNIEnv *jni) {
  jclass counter_class = reflection_find_class(jni, COUNTER_CLASS);
  if (counter_class == nullptr) {
    log_error_raw(jni, "Cannot find class %s (%s:%d)", COUNTER_CLASS, "generation_counter_initialise", 52);
    return false;
  }
  counter.counter_class = static_cast<jclass>(reflection_global(jni, counter_class));
  jni->DeleteLocalRef(counter_class);

  counter.gc_count_field = reflection_find_static_field(jni, counter.counter_class, "gcCount", "I");
  if (counter.gc_count_field == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Cannot get GenerationCounterNative.gcCount static field",
                  "generation_counter_initialise", 59);
    return false;
  }

  jclass impl_class = reflection_find_class(jni, GC_IMPL_CLASS);
  counter.gc_impl_class = static_cast<jclass>(reflection_global(jni, impl_class));
  if (impl_class != nullptr) jni->DeleteLocalRef(impl_class);
  counter.report_collection_method = reflection_find_method(jni, counter.gc_impl_class, "reportCollection", "()V");
  counter.report_j9_method =
      reflection_find_method(jni, counter.gc_impl_class, "reportJ9Collections", REPORT_J9_SIGNATURE);
  if (counter.report_collection_method == nullptr || counter.report_j9_method == nullptr) {
    log_error_raw(jni,
                  "Failed to find GarbageCollectionNativeImpl methods reportCollection/reportJ9Collections (%s:%d)",
                  "generation_counter_initialise", 68);
    return false;
  }

  jthread thread = alloc_thread(jni, REPORTER_NAME);
  if (thread == nullptr) return true;
  jvmtiError error = jvmti->RunAgentThread(thread, generation_counter_reporter, nullptr, JVMTI_THREAD_MIN_PRIORITY);
  reflection_delete_global(jni, thread);
  return check_jvmti_error(jni, jvmti, error, "generation_counter_initialise: GC Count reporter thread start failed");
}

void generation_counter_on_gc_finish(jvmtiEnv *jvmti) {
  // On the collector's thread inside the collection, where only raw-monitor functions may be
  // used: the monitors are called bare, without the checked wrappers, whose error path asks
  // JVMTI for the error's name and takes the logging lock.
  counter.gc_count.fetch_add(1, std::memory_order_relaxed);
  counter.pending.store(1, std::memory_order_relaxed);
  if (counter.signal_monitor == nullptr || jvmti->RawMonitorEnter(counter.signal_monitor) != JVMTI_ERROR_NONE) return;
  jvmti->RawMonitorNotify(counter.signal_monitor);
  jvmti->RawMonitorExit(counter.signal_monitor);
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_probes_gc_GarbageCollectionNativeImpl_attach(JNIEnv *jni,
                                                                                                  jobject self) {
  jvmtiEnv *jvmti = generation_counter_env();
  if (jvmti == nullptr || counter.report_monitor == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "The native agent is not loaded, GC reports cannot be attached.",
                  "Java_vorkel_runtime_agent_probes_gc_GarbageCollectionNativeImpl_attach", 96);
    return;
  }
  jobject receiver = reflection_global(jni, self);
  if (receiver == nullptr) return;
  // A reporting pass in progress finishes with the previous receiver first.
  if (!jvmti_monitor_enter(jvmti, counter.report_monitor)) {
    reflection_delete_global(jni, receiver);
    return;
  }
  reflection_delete_global(jni, counter.gc_impl);
  counter.gc_impl = receiver;
  jvmti_monitor_exit(jvmti, counter.report_monitor);
}

VORKEL_EXPORT void JNICALL
Java_vorkel_runtime_agent_probes_gc_GarbageCollectionNativeImpl_enableGcFinishNotifications(JNIEnv *jni, jobject self) {
  counter.finish_notifications.store(1);
}

VORKEL_EXPORT jboolean JNICALL
Java_vorkel_runtime_agent_probes_gc_GarbageCollectionNativeImpl_enableJ9GcNotifications(JNIEnv *jni, jobject self) {
  return ibm_gc_enable(generation_counter_env(), jni) ? JNI_TRUE : JNI_FALSE;
}
