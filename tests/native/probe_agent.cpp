// Natives of the test kit: the agent library plus entry points that let in-JVM tests reach
// internal functions on real JVMTI and JNI environments. Never part of the shipped library.
#include <jni.h>
#include <jvmti.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "agent/agent_init.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "core/log.h"

namespace {
jvmtiEnv *probe_env;
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_NativeProbe_checkJvmtiError(JNIEnv *jni, jclass, jint error,
                                                                            jstring message, jboolean raise) {
  jni_utf_chars text(jni, message);
  return check_jvmti_error_with_exception(jni, agent_globals->jvmti, (jvmtiError)error, text.get(), raise == JNI_TRUE)
             ? JNI_TRUE
             : JNI_FALSE;
}

// Throws an IllegalStateException("pending") and logs message while it is pending.
VORKEL_EXPORT void JNICALL Java_vorkel_test_NativeProbe_logWithPendingException(JNIEnv *jni, jclass, jstring message) {
  jni_utf_chars text(jni, message);
  jclass exception = jni->FindClass("java/lang/IllegalStateException");
  if (exception == nullptr) return;
  jni->ThrowNew(exception, "pending");
  log_info(jni, "%s", text.get() != nullptr ? text.get() : "(null)");
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_NativeProbe_log(JNIEnv *jni, jclass, jint level, jstring message,
                                                            jboolean with_jni) {
  jni_utf_chars text(jni, message);
  JNIEnv *env = with_jni ? jni : nullptr;
  switch (level) {
    case 0:
      log_debug(env, "%s", text.get());
      break;
    case 1:
      log_info(env, "%s", text.get());
      break;
    case 2:
      log_warn(env, "%s", text.get());
      break;
    default:
      log_error_raw(env, "%s", text.get());
      break;
  }
}

// Waits in native code (no VM transitions, so the VM's exit cannot block this thread) until the VM
// has posted VMDeath and entered its dead phase, then calls a live-phase JVMTI function three
// times through the error check. The process's exit waits (a few seconds at most) until that has
// happened, so that a busy machine cannot end the process first. Returns nothing useful: the
// process is ending when the calls are made; the log tells what happened.
namespace {
std::atomic<bool> death_posted;
std::atomic<bool> dead_phase_checked;
jvmtiEnv *death_env;

void JNICALL probe_vm_death(jvmtiEnv *, JNIEnv *) { death_posted = true; }

void wait_for_dead_phase_check() {
  for (int i = 0; i < 500 && !dead_phase_checked; ++i) usleep(10000);
}
}  // namespace

VORKEL_EXPORT jint JNICALL Java_vorkel_test_NativeProbe_checkUntilDead(JNIEnv *jni, jclass, jint rounds) {
  JavaVM *vm = nullptr;
  if (jni->GetJavaVM(&vm) != JNI_OK || vm->GetEnv(reinterpret_cast<void **>(&death_env), JVMTI_VERSION_1_1) != JNI_OK) {
    return -1;
  }
  jvmtiEventCallbacks callbacks{};
  callbacks.VMDeath = probe_vm_death;
  death_env->SetEventCallbacks(&callbacks, sizeof callbacks);
  death_env->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_DEATH, nullptr);
  atexit(wait_for_dead_phase_check);

  while (!death_posted) usleep(1000);
  // The dead phase begins once every VMDeath callback has returned. Asking for the phase would
  // enter the VM, which is shutting down; a pause in native code is enough.
  usleep(200000);
  jvmtiEnv *jvmti = agent_globals->jvmti;
  for (jint i = 0; i < rounds; ++i) {
    jint count = 0;
    jclass *classes = nullptr;
    check_jvmti_error(jni, jvmti, jvmti->GetLoadedClasses(&count, &classes), "probe after death");
  }
  dead_phase_checked = true;
  return 0;
}

namespace {
void JNICALL probe_contended_enter(jvmtiEnv *, JNIEnv *jni, jthread, jobject) {
  log_info(jni, "probe: contended enter logged from a blocked thread");
}
}  // namespace

// A JVMTI environment of the test's own whose MonitorContendedEnter callback logs with the
// blocked thread's JNI environment.
VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_NativeProbe_logOnContendedEnter(JNIEnv *jni, jclass) {
  JavaVM *vm = nullptr;
  if (jni->GetJavaVM(&vm) != JNI_OK) return JNI_FALSE;
  if (probe_env == nullptr && vm->GetEnv(reinterpret_cast<void **>(&probe_env), JVMTI_VERSION_1_1) != JNI_OK) {
    return JNI_FALSE;
  }
  jvmtiCapabilities capabilities{};
  capabilities.can_generate_monitor_events = 1;
  if (probe_env->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_FALSE;
  jvmtiEventCallbacks callbacks{};
  callbacks.MonitorContendedEnter = probe_contended_enter;
  if (probe_env->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) return JNI_FALSE;
  return probe_env->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_MONITOR_CONTENDED_ENTER, nullptr) ==
                 JVMTI_ERROR_NONE
             ? JNI_TRUE
             : JNI_FALSE;
}

VORKEL_EXPORT jint JNICALL Java_vorkel_test_NativeProbe_loadStatus(JNIEnv *, jclass) {
  return agent_globals != nullptr ? agent_globals->status : -2;
}

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_NativeProbe_configuredText(JNIEnv *jni, jclass, jstring field) {
  jni_utf_chars name(jni, field);
  agent_globals_record *g = agent_globals;
  if (g == nullptr || !name) return nullptr;
  const char *value = nullptr;
  if (strcmp(name.get(), "collector_host") == 0)
    value = g->collector_host;
  else if (strcmp(name.get(), "work_dir") == 0)
    value = g->work_dir;
  else if (strcmp(name.get(), "home_dir") == 0)
    value = g->home_dir;
  else if (strcmp(name.get(), "java_executable") == 0)
    value = g->java_executable;
  else if (strcmp(name.get(), "self_executable") == 0)
    value = g->self_executable;
  else if (strcmp(name.get(), "vm_name") == 0)
    value = g->vm_name;
  else if (strcmp(name.get(), "account_id") == 0)
    value = g->account_id;
  else if (strcmp(name.get(), "is_hotspot") == 0)
    value = g->is_hotspot ? "1" : "0";
  else if (strcmp(name.get(), "is_j9") == 0)
    value = g->is_j9 ? "1" : "0";
  else if (strcmp(name.get(), "jvmti_9_or_later") == 0)
    value = g->jvmti_9_or_later ? "1" : "0";
  else if (strcmp(name.get(), "jvm_argument_count") == 0) {
    static char count[32];
    snprintf(count, sizeof count, "%llu", (unsigned long long)g->jvm_argument_count);
    value = count;
  } else if (strcmp(name.get(), "enabled") == 0)
    value = g->enabled ? "1" : "0";
  return value != nullptr ? jni->NewStringUTF(value) : nullptr;
}

#include "core/agent_locks.h"
#include "core/hires_time.h"

VORKEL_EXPORT jobject JNICALL Java_vorkel_test_NativeProbe_allocThread(JNIEnv *jni, jclass, jstring name) {
  jni_utf_chars text(jni, name);
  jthread global = alloc_thread(jni, text.get());
  if (global == nullptr) return nullptr;
  jobject local = jni->NewLocalRef(global);
  jni->DeleteGlobalRef(global);
  return local;
}

// Creates a raw monitor, waits on it with a timeout while another thread notifies, and reports
// how the calls went: "enter,wait,exit,notify" as 1 or 0 each.
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_NativeProbe_rawMonitorRoundTrip(JNIEnv *jni, jclass) {
  jvmtiEnv *jvmti = agent_globals->jvmti;
  jrawMonitorID monitor = jvmti_monitor_create(jvmti);
  if (monitor == nullptr) return jni->NewStringUTF("create failed");
  char result[64];
  bool entered = jvmti_monitor_enter(jvmti, monitor);
  bool notified = jvmti_monitor_notify(jvmti, monitor);
  bool waited = jvmti_monitor_wait(jvmti, monitor, 10);
  bool exited = jvmti_monitor_exit(jvmti, monitor);
  // Exiting a monitor this thread does not own is an error the check reports.
  bool exited_again = jvmti_monitor_exit(jvmti, monitor);
  snprintf(result, sizeof result, "%d%d%d%d%d", entered, notified, waited, exited, exited_again);
  jvmti->DestroyRawMonitor(monitor);
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  return jni->NewStringUTF(result);
}
