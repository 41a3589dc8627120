// The natives of NativeAgentInitialiser that start logging: the role, the log file and the Java
// logger that log lines go to.
#include <jni.h>

#include "base/common.h"
#include "core/agent_util.h"
#include "core/log.h"
#include "core/reflection.h"
#include "vorkel_version.h"

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_initNativeLogging(JNIEnv *jni,
                                                                                                        jobject self,
                                                                                                        jobject logger,
                                                                                                        jstring role) {
  if (role != nullptr) {
    const char *characters = jni->GetStringUTFChars(role, nullptr);
    log_initialise(characters != nullptr ? characters : "agent");
    if (characters != nullptr)
      jni->ReleaseStringUTFChars(role, characters);
    else if (jni->ExceptionCheck())
      jni->ExceptionClear();
  } else {
    log_initialise("agent");
  }
  if (logger == nullptr) {
    log_error_raw(jni, "Could not find logging object/method: #%d", 0);
    throw_vorkel_exception(jni, "initNativeLogging: the logger object is null");
    return;
  }
  if (log_java_logger_set()) return;  // the first logger stays, for good

  jclass logger_class = jni->GetObjectClass(logger);
  jobject global = reflection_global(jni, logger);
  jmethodID debug = reflection_find_method(jni, logger_class, "debug", "(Ljava/lang/String;)V");
  jmethodID info = reflection_find_method(jni, logger_class, "info", "(Ljava/lang/String;)V");
  jmethodID warn = reflection_find_method(jni, logger_class, "warn", "(Ljava/lang/String;)V");
  jmethodID error = reflection_find_method(jni, logger_class, "error", "(Ljava/lang/String;)V");
  if (logger_class != nullptr) jni->DeleteLocalRef(logger_class);
  if (!check_non_nulls(jni, "Could not find logging object/method: #%d", {global, debug, info, warn, error})) {
    reflection_delete_global(jni, global);
    return;
  }
  if (!log_set_java_logger(global, debug, info, warn, error)) {  // another thread's logger came first
    reflection_delete_global(jni, global);
    return;
  }
  log_info(jni, "Vorkel native logging started. Native agent version %s build %s", VORKEL_VERSION, VORKEL_BUILD_NUMBER);
}
