// The configuration natives of NativeAgentInitialiser: configure, configureOomQueries,
// disableAgent and vmArguments. They fill and switch the agent record; loading and starting are
// agent_init's.
#include <cstdlib>
#include <cstring>

#include "agent/agent_init.h"
#include "core/agent_util.h"
#include "vmstructs/class_size.h"
#include "helpers/death_monitor.h"
#include "transactions/file_streams.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "platform/sockets.h"
#include "base/string_util.h"
#include "core/thread_info.h"
#include "transactions/thread_locals.h"

namespace {

void agent_configure_free_arguments(agent_globals_record *globals) {
  if (globals->jvm_arguments != nullptr) {
    for (uint64_t i = 0; i < globals->jvm_argument_count; ++i) free(globals->jvm_arguments[i]);
    free(globals->jvm_arguments);
  }
  globals->jvm_arguments = nullptr;
  globals->jvm_argument_count = 0;
}

// Owned copies of the array's texts; null with count 0 when any element is null or memory is short.
char **agent_configure_copy_arguments(JNIEnv *jni, jobjectArray array, uint64_t *count) {
  *count = 0;
  if (array == nullptr) return nullptr;
  jsize length = jni->GetArrayLength(array);
  char **list = static_cast<char **>(calloc(length > 0 ? (size_t)length : 1, sizeof(char *)));
  if (list == nullptr) return nullptr;
  bool complete = true;
  for (jsize i = 0; i < length && complete; ++i) {
    jstring element = static_cast<jstring>(jni->GetObjectArrayElement(array, i));
    if (element == nullptr) {
      if (jni->ExceptionCheck()) jni->ExceptionClear();
      complete = false;
      break;
    }
    {
      jni_utf_chars characters(jni, element);
      list[i] = characters ? string_duplicate(characters.get()) : nullptr;
    }
    jni->DeleteLocalRef(element);
    if (list[i] == nullptr) complete = false;
  }
  if (!complete) {
    for (jsize i = 0; i < length; ++i) free(list[i]);
    free(list);
    return nullptr;
  }
  *count = (uint64_t)length;
  return list;
}

}  // namespace

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_configure(
    JNIEnv *jni, jobject self, jstring collector_host, jint collector_port, jstring account_id, jstring jvm_id,
    jstring session_id, jstring home_dir, jstring work_dir, jstring java_executable, jstring agent_jar,
    jstring self_executable, jobjectArray jvm_arguments, jstring vm_name, jstring vm_version,
    jstring crash_log_pattern) {
  const jstring strings[] = {collector_host,  account_id, jvm_id,          session_id, home_dir,   work_dir,
                             java_executable, agent_jar,  self_executable, vm_name,    vm_version, crash_log_pattern};
  static const char *const names[] = {"collectorHost",  "accountId", "jvmId",          "sessionId",
                                      "homeDir",        "workDir",   "javaExecutable", "agentJar",
                                      "selfExecutable", "vmName",    "vmVersion",      "crashLogPattern"};
  for (size_t i = 0; i < countof(strings); ++i) {
    if (strings[i] == nullptr) {
      log_error_raw(jni, "configure: argument %s is null, the configuration is not changed.", names[i]);
      throw_vorkel_exception(jni, "configure: argument %s is null", names[i]);
      return;
    }
  }
  agent_globals_record *globals = agent_init_require_loaded(jni, "configure");
  if (globals == nullptr) return;

  jni_utf_chars host(jni, collector_host), account(jni, account_id), jvm(jni, jvm_id), session(jni, session_id),
      home(jni, home_dir), work(jni, work_dir), java(jni, java_executable), jar(jni, agent_jar),
      self_path(jni, self_executable), name(jni, vm_name), version(jni, vm_version), pattern(jni, crash_log_pattern);
  const jni_utf_chars *all[] = {&host, &account, &jvm,       &session, &home,    &work,
                                &java, &jar,     &self_path, &name,    &version, &pattern};
  for (const jni_utf_chars *characters : all) {
    if (!*characters) {
      log_error_raw(jni,
                    "configure: the characters of an argument could not be had, the configuration is not changed.");
      throw_vorkel_exception(jni, "configure: out of memory reading the arguments");
      return;
    }
  }

  uint64_t argument_count = 0;
  char **arguments = agent_configure_copy_arguments(jni, jvm_arguments, &argument_count);

  xsnprintf(globals->collector_host, sizeof globals->collector_host, "%s", host.get());
  globals->collector_port = collector_port;
  xsnprintf(globals->account_id, sizeof globals->account_id, "%s", account.get());
  xsnprintf(globals->jvm_id, sizeof globals->jvm_id, "%s", jvm.get());
  xsnprintf(globals->session_id, sizeof globals->session_id, "%s", session.get());
  xsnprintf(globals->home_dir, sizeof globals->home_dir, "%s", home.get());
  xsnprintf(globals->work_dir, sizeof globals->work_dir, "%s", work.get());
  xsnprintf(globals->java_executable, sizeof globals->java_executable, "%s%s", java.get(), AGENT_EXECUTABLE_SUFFIX);
  xsnprintf(globals->agent_jar, sizeof globals->agent_jar, "%s", jar.get());
  xsnprintf(globals->self_executable, sizeof globals->self_executable, "%s", self_path.get());
  xsnprintf(globals->vm_name, sizeof globals->vm_name, "%s", name.get());
  xsnprintf(globals->vm_version, sizeof globals->vm_version, "%s", version.get());
  agent_configure_free_arguments(globals);
  globals->jvm_arguments = arguments;
  globals->jvm_argument_count = argument_count;

  if (strstr(globals->vm_name, "IBM J9") != nullptr) {
    globals->is_j9 = 1;
    globals->is_hotspot = 0;
  } else {
    globals->is_hotspot = 1;
    globals->is_j9 = 0;
  }

  thread_info_init(jni, globals->jvmti);
  thread_locals_get_handle();  // the slot is made before any thread asks for its record
  sockets_initialize(jni);
  death_monitor_initialise(jni, pattern.get());
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_configureOomQueries(
    JNIEnv *jni, jobject self, jstring host, jint port, jstring details_location, jboolean send_notifications,
    jboolean safety_check) {
  if (host == nullptr || details_location == nullptr) {
    const char *which = host == nullptr ? "host" : "detailsLocation";
    log_error_raw(jni, "configureOomQueries: argument %s is null, OOM handling stays unconfigured.", which);
    throw_vorkel_exception(jni, "configureOomQueries: argument %s is null", which);
    return;
  }
  if (agent_init_require_loaded(jni, "configureOomQueries") == nullptr) return;
  jni_utf_chars host_text(jni, host), details_text(jni, details_location);
  if (!host_text || !details_text) {
    log_error_raw(jni, "configureOomQueries: the characters of an argument could not be had.");
    throw_vorkel_exception(jni, "configureOomQueries: out of memory reading the arguments");
    return;
  }
  init_class_size_symbols(jni, safety_check == JNI_TRUE);
  oom_configure(host_text.get(), port, details_text.get(), send_notifications == JNI_TRUE);
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_disableAgent(JNIEnv *jni,
                                                                                                   jobject self) {
  log_warn(jni, "Native agent is switched off");
  if (agent_globals != nullptr) agent_globals->enabled = 0;
  file_streams_set_enabled(jni, false);
}

// The JVM's input arguments (its command line, option files and the options of the environment:
// what the runtime management bean lists), asked of the class library's VM class with one JNI
// call; the management beans would first load their framework, tens of milliseconds at start.
// Null, with no exception pending, where the class library has no such call.
VORKEL_EXPORT jobjectArray JNICALL
Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_vmArguments(JNIEnv *jni, jobject self) {
  jclass vm = jni->FindClass("jdk/internal/misc/VM");
  jmethodID method =
      vm != nullptr ? jni->GetStaticMethodID(vm, "getRuntimeArguments", "()[Ljava/lang/String;") : nullptr;
  jobject arguments = method != nullptr ? jni->CallStaticObjectMethod(vm, method) : nullptr;
  if (jni->ExceptionCheck()) {
    jni->ExceptionClear();
    arguments = nullptr;
  }
  if (vm != nullptr) jni->DeleteLocalRef(vm);
  return static_cast<jobjectArray>(arguments);
}
