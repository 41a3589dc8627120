#include "agent_init.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "agent_util.h"
#include "class_size.h"
#include "classloader_tracker.h"
#include "contention_monitor.h"
#include "death_monitor.h"
#include "file_streams.h"
#include "generation_counter.h"
#include "hires_time.h"
#include "ibm_gc.h"
#include "log.h"
#include "oom.h"
#include "proc_info.h"
#include "sockets.h"
#include "statistics.h"
#include "string_util.h"
#include "system_memory.h"
#include "tag_access.h"
#include "thread_info.h"
#include "timing_tracker.h"
#include "user_transaction.h"

agent_globals_record *agent_globals = nullptr;

namespace {

struct {
  jvmtiCapabilities potential_capabilities;
  uint8_t started;
  int32_t start_result;
  // Set when configure had to load the agent (no -agentpath and no startNativeAgent yet); the
  // first startNativeAgent then supplies the feature mask it would have given the loader.
  uint8_t loaded_by_configure;
} agent_init;

// The callback table handed to SetEventCallbacks: the standard table up to VMObjectAlloc.
constexpr jint CALLBACKS_SIZE = (jint)(offsetof(jvmtiEventCallbacks, VMObjectAlloc) + sizeof(void *));
static_assert(CALLBACKS_SIZE == 280, "callback table layout");

void JNICALL agent_callback_resource_exhausted(jvmtiEnv *jvmti, JNIEnv *jni, jint flags, const void *reserved,
                                               const char *description) {
  agent_globals_record *globals = agent_globals;
  if (globals != nullptr && globals->enabled) oom_on_resource_exhausted(jvmti, jni, flags, description);
}

void JNICALL agent_callback_vm_death(jvmtiEnv *jvmti, JNIEnv *jni) {
  if (agent_globals != nullptr) agent_globals->vm_dead = 1;
}

void JNICALL agent_callback_gc_finish(jvmtiEnv *jvmti) { generation_counter_on_gc_finish(jvmti); }

void JNICALL agent_callback_native_method_bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jmethodID method,
                                               void *address, void **new_address) {
  agent_globals_record *globals = agent_globals;
  if (jni != nullptr && new_address != nullptr && globals != nullptr && globals->enabled) {
    file_streams_native_method_bind(jvmti, jni, thread, method, address, new_address);
  }
}

jvmtiEnv *agent_init_create_env(JavaVM *vm) {
  jvmtiEnv *env = nullptr;
  jint result = vm->GetEnv(reinterpret_cast<void **>(&env), JVMTI_VERSION_1_1);
  if (result != JNI_OK) {
    log_error_raw(nullptr, "agent_init_create_env: Unable to create jvmtiEnv, GetEnv failed, error=%d (%s:%d)",
                  (int)result, "agent_init_create_env", 143);
    return nullptr;
  }
  return env;
}

bool agent_init_load_capabilities(jvmtiEnv *env) {
  memset(&agent_init.potential_capabilities, 0, sizeof agent_init.potential_capabilities);
  return check_jvmti_error(nullptr, env, env->GetPotentialCapabilities(&agent_init.potential_capabilities),
                           "agent_init_load_capabilities: GetPotentialCapabilities failed");
}

bool agent_init_setup_env_capabilities(jvmtiEnv *env, const jvmtiCapabilities *capabilities,
                                       const jvmtiEventCallbacks *callbacks, const jvmtiEvent *events, int count) {
  if (!check_jvmti_error(nullptr, env, env->AddCapabilities(capabilities),
                         "agent_init_setup_env_capabilities: AddCapabilities failed")) {
    return false;
  }
  if (!check_jvmti_error(nullptr, env, env->SetEventCallbacks(callbacks, CALLBACKS_SIZE),
                         "agent_init_setup_env_capabilities: SetEventCallbacks failed")) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (!check_jvmti_error(nullptr, env, env->SetEventNotificationMode(JVMTI_ENABLE, events[i], nullptr),
                           "Cannot set event notification")) {
      return false;
    }
  }
  return true;
}

bool agent_init_setup_tag_env(jvmtiEnv *env) {
  if (!agent_init_load_capabilities(env)) return false;
  const jvmtiCapabilities &potential = agent_init.potential_capabilities;
  jvmtiCapabilities capabilities{};
  capabilities.can_tag_objects = 1;
  capabilities.can_generate_object_free_events = 1;
  if (potential.can_get_line_numbers) capabilities.can_get_line_numbers = 1;
  if (potential.can_generate_resource_exhaustion_heap_events) {
    capabilities.can_generate_resource_exhaustion_heap_events = 1;
  }

  jvmtiEventCallbacks callbacks{};
  jvmtiEvent events[4];
  int count = 0;
  callbacks.ObjectFree = tag_access_object_free;
  events[count++] = JVMTI_EVENT_OBJECT_FREE;
  callbacks.ClassPrepare = cltracker_class_prepare_event;
  events[count++] = JVMTI_EVENT_CLASS_PREPARE;
  callbacks.ClassLoad = cltracker_class_load_event;
  events[count++] = JVMTI_EVENT_CLASS_LOAD;
  if (capabilities.can_generate_resource_exhaustion_heap_events) {
    callbacks.ResourceExhausted = agent_callback_resource_exhausted;
    events[count++] = JVMTI_EVENT_RESOURCE_EXHAUSTED;
  }
  return agent_init_setup_env_capabilities(env, &capabilities, &callbacks, events, count);
}

bool agent_init_setup_main_env(jvmtiEnv *env) {
  if (!agent_init_load_capabilities(env)) return false;
  const jvmtiCapabilities &potential = agent_init.potential_capabilities;
  jvmtiCapabilities capabilities{};
  jvmtiEventCallbacks callbacks{};
  jvmtiEvent events[8];
  int count = 0;

  capabilities.can_tag_objects = 1;
  capabilities.can_generate_garbage_collection_events = 1;
  capabilities.can_generate_object_free_events = 1;
  callbacks.VMDeath = agent_callback_vm_death;
  callbacks.GarbageCollectionFinish = agent_callback_gc_finish;
  callbacks.ThreadStart = thread_start_callback;
  callbacks.ThreadEnd = thread_end_callback;
  callbacks.ObjectFree = file_streams_object_free;
  events[count++] = JVMTI_EVENT_VM_DEATH;
  events[count++] = JVMTI_EVENT_GARBAGE_COLLECTION_FINISH;
  events[count++] = JVMTI_EVENT_THREAD_START;
  events[count++] = JVMTI_EVENT_THREAD_END;
  events[count++] = JVMTI_EVENT_OBJECT_FREE;

  if (potential.can_get_line_numbers) capabilities.can_get_line_numbers = 1;
  if (potential.can_generate_monitor_events) {
    capabilities.can_generate_monitor_events = 1;
    callbacks.MonitorContendedEnter = contention_active_thread_enter;
    callbacks.MonitorContendedEntered = contention_active_thread_entered;
    events[count++] = JVMTI_EVENT_MONITOR_CONTENDED_ENTER;
    events[count++] = JVMTI_EVENT_MONITOR_CONTENDED_ENTERED;
    contention_set_supported();
  }
  if (potential.can_get_monitor_info) {
    capabilities.can_get_monitor_info = 1;
    contention_set_blockers_supported();
  }
  if (potential.can_generate_native_method_bind_events) {
    capabilities.can_generate_native_method_bind_events = 1;
    callbacks.NativeMethodBind = agent_callback_native_method_bind;
    events[count++] = JVMTI_EVENT_NATIVE_METHOD_BIND;
  }
  return agent_init_setup_env_capabilities(env, &capabilities, &callbacks, events, count);
}

int32_t agent_init_load_once(agent_globals_record *globals) {
  jvmtiEnv *jvmti = globals->jvmti;
  jint version = 0;
  if (check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetVersionNumber(&version),
                                     "Failed to determine JVMTI version.")) {
    unsigned major = ((unsigned)version >> 16) & 0xFFF;
    log_info(nullptr, "JVMTI raw version is %x, major version is %u.", (unsigned)version, major);
    globals->jvmti_9_or_later = major > 8 ? 1 : 0;
  }
  if (jvmti->functions->FollowReferences == nullptr) {
    log_error_raw(nullptr, "agent_init_load_once: No method for traversing heap available (%s:%d)",
                  "agent_init_load_once", 335);
    return globals->status;
  }

  hires_conversions_initialise();
  system_memory_pre_initialise();
  oom_pre_initialise();
  contention_pre_initialise();
  tag_access_pre_initialise();
  stats_pre_initialise();
  cltracker_pre_initialise();
  ibm_gc_pre_initialise();
  proc_pre_initialise();
  if (!file_streams_pre_initialise()) return globals->status;
  if (!generation_counter_pre_initialise(jvmti)) return globals->status;

  if (!agent_init_setup_main_env(jvmti)) return globals->status;
  globals->status = 0;
  return 0;
}

// The natives below need the loaded record; without it they have nothing to work on.
agent_globals_record *agent_require_globals(JNIEnv *jni, const char *native) {
  if (agent_globals == nullptr) {
    JavaVM *vm = nullptr;
    if (jni->GetJavaVM(&vm) == JNI_OK && vm != nullptr) {
      log_info(jni, "%s called before the agent was loaded, loading it now.", native);
      agent_init_load(vm, 0);
      if (agent_globals != nullptr) agent_init.loaded_by_configure = 1;
    }
  }
  if (agent_globals == nullptr) {
    log_error_raw(jni, "%s: the native agent could not be loaded.", native);
    throw_vorkel_exception(jni, "%s: the native agent could not be loaded", native);
  }
  return agent_globals;
}

void agent_free_jvm_arguments(agent_globals_record *globals) {
  if (globals->jvm_arguments != nullptr) {
    for (uint64_t i = 0; i < globals->jvm_argument_count; ++i) free(globals->jvm_arguments[i]);
    free(globals->jvm_arguments);
  }
  globals->jvm_arguments = nullptr;
  globals->jvm_argument_count = 0;
}

// Owned copies of the array's texts; null with count 0 when any element is null or memory is short.
char **agent_copy_jvm_arguments(JNIEnv *jni, jobjectArray array, uint64_t *count) {
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

bool agent_feature_enabled(unsigned bit) {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr && ((globals->features >> (bit % 64)) & 1) != 0;
}

bool agent_started() { return agent_init.started && agent_init.start_result == 0; }

int32_t agent_init_load(JavaVM *vm, int64_t disabled_features) {
  if (agent_globals != nullptr) return agent_globals->status;
  auto *globals = static_cast<agent_globals_record *>(calloc(1, sizeof(agent_globals_record)));
  if (globals == nullptr) return -1;
  globals->enabled = 1;
  globals->status = -1;
  agent_globals = globals;

  globals->jvmti = agent_init_create_env(vm);
  jvmtiEnv *tag_env = agent_init_create_env(vm);
  if (tag_env != nullptr && agent_init_setup_tag_env(tag_env)) globals->tag_jvmti = tag_env;
  globals->features = ~(uint64_t)disabled_features;
  if (globals->jvmti == nullptr || globals->tag_jvmti == nullptr) return globals->status;
  return agent_init_load_once(globals);
}

VORKEL_EXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *reserved) {
  log_initialise("agent");
  return agent_init_load(vm, 0);
}

VORKEL_EXPORT void JNICALL Agent_OnUnload(JavaVM *vm) {}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_configure(
    JNIEnv *jni, jobject self, jstring collector_host, jint collector_port, jstring account_id, jstring jvm_id,
    jstring session_id, jstring home_dir, jstring work_dir, jstring java_executable, jstring agent_jar,
    jstring self_executable, jobjectArray jvm_arguments, jstring vm_name, jstring vm_version,
    jstring crash_log_pattern) {
  const jstring strings[] = {collector_host, account_id, jvm_id,          session_id, home_dir, work_dir,
                             java_executable, agent_jar, self_executable, vm_name,    vm_version, crash_log_pattern};
  static const char *const names[] = {"collectorHost", "accountId",  "jvmId",         "sessionId",
                                      "homeDir",       "workDir",    "javaExecutable", "agentJar",
                                      "selfExecutable", "vmName",    "vmVersion",      "crashLogPattern"};
  for (size_t i = 0; i < countof(strings); ++i) {
    if (strings[i] == nullptr) {
      log_error_raw(jni, "configure: argument %s is null, the configuration is not changed.", names[i]);
      throw_vorkel_exception(jni, "configure: argument %s is null", names[i]);
      return;
    }
  }
  agent_globals_record *globals = agent_require_globals(jni, "configure");
  if (globals == nullptr) return;

  jni_utf_chars host(jni, collector_host), account(jni, account_id), jvm(jni, jvm_id), session(jni, session_id),
      home(jni, home_dir), work(jni, work_dir), java(jni, java_executable), jar(jni, agent_jar),
      self_path(jni, self_executable), name(jni, vm_name), version(jni, vm_version), pattern(jni, crash_log_pattern);
  const jni_utf_chars *all[] = {&host, &account, &jvm, &session, &home, &work,
                                &java, &jar,     &self_path, &name, &version, &pattern};
  for (const jni_utf_chars *characters : all) {
    if (!*characters) {
      log_error_raw(jni, "configure: the characters of an argument could not be had, the configuration is not changed.");
      throw_vorkel_exception(jni, "configure: out of memory reading the arguments");
      return;
    }
  }

  uint64_t argument_count = 0;
  char **arguments = agent_copy_jvm_arguments(jni, jvm_arguments, &argument_count);

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
  agent_free_jvm_arguments(globals);
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
  if (agent_require_globals(jni, "configureOomQueries") == nullptr) return;
  jni_utf_chars host_text(jni, host), details_text(jni, details_location);
  if (!host_text || !details_text) {
    log_error_raw(jni, "configureOomQueries: the characters of an argument could not be had.");
    throw_vorkel_exception(jni, "configureOomQueries: out of memory reading the arguments");
    return;
  }
  init_class_size_symbols(jni, safety_check == JNI_TRUE);
  oom_configure(host_text.get(), port, details_text.get(), send_notifications == JNI_TRUE);
}

VORKEL_EXPORT jint JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_startNativeAgent(
    JNIEnv *jni, jobject self, jlong disabled_features) {
  log_initialise("agent");
  if (agent_init.started) return agent_init.start_result;
  agent_init.started = 1;

  JavaVM *vm = nullptr;
  jint vm_result = jni->GetJavaVM(&vm);
  if (vm_result != JNI_OK) {
    agent_init.start_result = vm_result;
    return agent_init.start_result;
  }
  if (agent_init_load(vm, disabled_features) != 0) {
    agent_init.start_result = -1;
    return agent_init.start_result;
  }
  if (agent_init.loaded_by_configure) agent_globals->features = ~(uint64_t)disabled_features;

  jvmtiEnv *jvmti = agent_globals->jvmti;
  bool started = stats_find_init_classes(jni) && user_transaction_initialise(jni) && cltracker_initialise(jni) &&
                 generation_counter_initialise(jvmti, jni) && file_streams_initialise(jni) &&
                 timing_tracker_initialise(jni);
  if (!started) {
    agent_init.start_result = -1;
    return agent_init.start_result;
  }

  const jvmtiCapabilities &potential = agent_init.potential_capabilities;
  if (!potential.can_generate_resource_exhaustion_heap_events) {
    log_info(jni, "JVMTI capability can_generate_resource_exhaustion_heap_events unavailable, OOM events will not be "
                  "caught.");
  }
  if (!potential.can_get_line_numbers) {
    log_info(jni, "JVMTI capability can_get_line_numbers unavailable, stack traces will not contain line numbers.");
  }
  if (!potential.can_generate_monitor_events) {
    log_info(jni, "JVMTI capability can_generate_monitor_events unavailable, lock contention will not be tracked.");
  }
  if (!potential.can_get_monitor_info) {
    log_info(jni,
             "JVMTI capability can_get_monitor_info unavailable, lock contention problems will not have blocker info.");
  }
  agent_init.start_result = 0;
  return 0;
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_disableAgent(JNIEnv *jni,
                                                                                                   jobject self) {
  log_warn(jni, "Native agent is switched off");
  if (agent_globals != nullptr) agent_globals->enabled = 0;
  file_streams_set_enabled(jni, false);
}
