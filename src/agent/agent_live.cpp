#include "agent/agent_live.h"

#include "core/agent_util.h"
#include "core/log.h"
#include "statistics/classloader_tracker.h"
#include "transactions/file_streams.h"

void agent_live_start(JNIEnv *jni, jvmtiEnv *tag_env) {
  jint count = 0;
  jvmti_memory<jclass> classes(tag_env);
  if (tag_env != nullptr &&
      check_jvmti_error_no_exception(jni, tag_env, tag_env->GetLoadedClasses(&count, classes.out()),
                                     "agent_live_start: GetLoadedClasses failed")) {
    // The class references are local; the tracker adds one for each loader it looks at.
    if (jni->EnsureLocalCapacity(count + 16) != JNI_OK && jni->ExceptionCheck()) jni->ExceptionClear();
    for (jint i = 0; i < count; ++i) {
      cltracker_class_prepare_event(tag_env, jni, nullptr, classes[i]);
      jni->DeleteLocalRef(classes[i]);
    }
  }
  file_streams_adopt_unregistered(true);
  log_info(jni, "Loaded into the running JVM: the loaders of the %d classes loaded before are tracked from now on.",
           (int)count);
  log_info(jni, "Loaded into the running JVM: allocation statistics cover only what is recorded from now on.");
  log_info(jni,
           "Loaded into the running JVM: without can_get_owned_monitor_info and can_get_current_contended_monitor "
           "(start-up only), blocker detection reads lock owners through GetObjectMonitorUsage.");
  log_info(jni,
           "Loaded into the running JVM: file stream natives bound before are bound again when tracking is switched "
           "on, and streams opened before are tracked from their next read or write in a transaction.");
}
