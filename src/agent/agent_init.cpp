#include "agent/agent_init.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "agent/agent_live.h"
#include "core/agent_util.h"
#include "statistics/classloader_tracker.h"
#include "transactions/contention_monitor.h"
#include "transactions/file_streams.h"
#include "gc/generation_counter.h"
#include "core/hires_time.h"
#include "gc/ibm_gc.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "platform/fast_clock.h"
#include "platform/proc_info.h"
#include "statistics/statistics.h"
#include "platform/system_memory.h"
#include "core/tag_access.h"
#include "core/thread_info.h"
#include "transactions/thread_locals.h"
#include "transactions/user_transaction.h"

namespace {

struct {
  jvmtiCapabilities potential_capabilities;
  uint8_t started;
  int32_t start_result;
  // Set when configure had to load the agent (no -agentpath and no startNativeAgent yet); the
  // first startNativeAgent then supplies the feature mask it would have given the loader.
  uint8_t loaded_by_configure;
  // Set when the agent was loaded in the JVM's live phase (Agent_OnAttach, or the Java half
  // attached to a running JVM), not at its start.
  uint8_t loaded_live;
} agent_init;

// ---------------------------------------------------------------------------------------------
// Callbacks.
//
// Policy: only callbacks that start work for a feature the Java half can switch off check
// `enabled` (ResourceExhausted takes snapshots, NativeMethodBind hooks file streams); disableAgent
// switches exactly those off. Bookkeeping callbacks (ObjectFree, ClassLoad, ClassPrepare,
// ThreadStart, ThreadEnd, GC finish, monitor contention) always run, so that tags, counts and
// thread records stay consistent with the JVM. No callback checks the VM-dead flag: JVMTI sends
// no event after VMDeath, whose callback sets it; natives, agent threads and the tag, log and
// snapshot code that other threads may still run check it instead.

bool agent_events_enabled() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr && globals->enabled;
}

void JNICALL agent_callback_resource_exhausted(jvmtiEnv *jvmti, JNIEnv *jni, jint flags, const void *reserved,
                                               const char *description) {
  if (agent_events_enabled()) oom_on_resource_exhausted(jvmti, jni, flags, description);
}

}  // namespace

// ObjectFree of the tagging environment: class loader tracker tags to the tracker, every other
// tag to the statistics, both as the permanent tag.
void JNICALL agent_object_free_tagged(jvmtiEnv *jvmti, jlong tag) {
  uint64_t permanent = tag_access_get_permanent_tag((uint64_t)tag);
  if (permanent == 0) return;
  if (tag_is_classloader(permanent)) {
    cltracker_object_free(jvmti, permanent);
  } else {
    stats_object_free(jvmti, permanent);
  }
}

namespace {

void JNICALL agent_callback_vm_death(jvmtiEnv *jvmti, JNIEnv *jni) {
  if (agent_globals != nullptr) agent_globals->vm_dead = 1;
}

void JNICALL agent_callback_gc_finish(jvmtiEnv *jvmti) { generation_counter_on_gc_finish(jvmti); }

// The monitor events run while the thread waits for the monitor (Enter) or already owns it
// (Entered): what they log goes to the native log only.
void JNICALL agent_callback_monitor_contended_enter(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object) {
  log_native_only_scope native_only;
  contention_active_thread_enter(jvmti, jni, thread, object);
}

void JNICALL agent_callback_monitor_contended_entered(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object) {
  log_native_only_scope native_only;
  contention_active_thread_entered(jvmti, jni, thread, object);
}

void JNICALL agent_callback_native_method_bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jmethodID method,
                                               void *address, void **new_address) {
  if (jni != nullptr && new_address != nullptr && agent_events_enabled()) {
    file_streams_native_method_bind(jvmti, jni, thread, method, address, new_address);
  }
}

// ---------------------------------------------------------------------------------------------
// The wiring table: every event, capability and callback of both environments. Each environment's
// capability request, callback table and enabled events are built from its rows in row order,
// which is also the order in which its events are enabled. A row marked IF_AVAILABLE is left out
// when the JVM does not offer its capability.

enum agent_environment : uint8_t { AGENT_TAG_ENV, AGENT_MAIN_ENV };

enum agent_need : uint8_t {
  AGENT_ALWAYS,        // requested whatever the JVM offers; the environment's set-up fails without it
  AGENT_IF_AVAILABLE,  // only when among the potential capabilities; otherwise the row is left out
};

struct agent_capability {
  bool (*available)(const jvmtiCapabilities &potential);
  void (*add)(jvmtiCapabilities &request);
};

constexpr jvmtiEvent AGENT_NO_EVENT = (jvmtiEvent)0;
constexpr agent_capability AGENT_NO_CAPABILITY{nullptr, nullptr};

struct agent_wiring {
  agent_environment environment;
  agent_need need;
  agent_capability capability;
  jvmtiEvent event = AGENT_NO_EVENT;                          // none for a capability alone
  void (*install)(jvmtiEventCallbacks &callbacks) = nullptr;  // sets the event's callback
  void (*on_added)() = nullptr;  // told that the row is in the request (before the set-up runs)
};

#define AGENT_CAPABILITY(field)                                              \
  agent_capability {                                                         \
    [](const jvmtiCapabilities &potential) { return potential.field != 0; }, \
        [](jvmtiCapabilities &request) { request.field = 1; }                \
  }
#define AGENT_CALLBACK(field, function) [](jvmtiEventCallbacks &callbacks) { callbacks.field = function; }
#define AGENT_ENV(environment, need) AGENT_##environment##_ENV, AGENT_##need
#define AGENT_EVENT(event, field, function) JVMTI_EVENT_##event, AGENT_CALLBACK(field, function)

// One row per event or capability; adding an event is adding its row.
// clang-format off
constexpr agent_wiring AGENT_WIRING[] = {
  {AGENT_ENV(TAG, ALWAYS),        AGENT_CAPABILITY(can_tag_objects)},
  {AGENT_ENV(TAG, ALWAYS),        AGENT_CAPABILITY(can_generate_object_free_events),        AGENT_EVENT(OBJECT_FREE, ObjectFree, agent_object_free_tagged)},
  {AGENT_ENV(TAG, ALWAYS),        AGENT_NO_CAPABILITY,                                      AGENT_EVENT(CLASS_PREPARE, ClassPrepare, cltracker_class_prepare_event)},
  {AGENT_ENV(TAG, ALWAYS),        AGENT_NO_CAPABILITY,                                      AGENT_EVENT(CLASS_LOAD, ClassLoad, cltracker_class_load_event)},
  {AGENT_ENV(TAG, IF_AVAILABLE),  AGENT_CAPABILITY(can_get_line_numbers)},
  {AGENT_ENV(TAG, IF_AVAILABLE),  AGENT_CAPABILITY(can_generate_resource_exhaustion_heap_events),
                                                                                            AGENT_EVENT(RESOURCE_EXHAUSTED, ResourceExhausted, agent_callback_resource_exhausted)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_CAPABILITY(can_tag_objects)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_NO_CAPABILITY,                                      AGENT_EVENT(VM_DEATH, VMDeath, agent_callback_vm_death)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_CAPABILITY(can_generate_garbage_collection_events), AGENT_EVENT(GARBAGE_COLLECTION_FINISH, GarbageCollectionFinish, agent_callback_gc_finish)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_NO_CAPABILITY,                                      AGENT_EVENT(THREAD_START, ThreadStart, thread_start_callback)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_NO_CAPABILITY,                                      AGENT_EVENT(THREAD_END, ThreadEnd, user_transaction_thread_end)},
  {AGENT_ENV(MAIN, ALWAYS),       AGENT_CAPABILITY(can_generate_object_free_events),        AGENT_EVENT(OBJECT_FREE, ObjectFree, file_streams_object_free)},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_get_line_numbers)},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_generate_monitor_events),            AGENT_NO_EVENT, nullptr, contention_set_supported},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_generate_monitor_events),            AGENT_EVENT(MONITOR_CONTENDED_ENTER, MonitorContendedEnter, agent_callback_monitor_contended_enter)},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_generate_monitor_events),            AGENT_EVENT(MONITOR_CONTENDED_ENTERED, MonitorContendedEntered, agent_callback_monitor_contended_entered)},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_get_monitor_info),                   AGENT_NO_EVENT, nullptr, contention_set_blockers_supported},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_get_owned_monitor_info),             AGENT_NO_EVENT, nullptr, contention_set_virtual_owners_supported},
  {AGENT_ENV(MAIN, IF_AVAILABLE), AGENT_CAPABILITY(can_generate_native_method_bind_events), AGENT_EVENT(NATIVE_METHOD_BIND, NativeMethodBind, agent_callback_native_method_bind)},
};

// What startNativeAgent reports missing, from the main environment's potential capabilities.
constexpr struct {
  agent_capability capability;
  const char *message;
} AGENT_CAPABILITY_WARNINGS[] = {
  {AGENT_CAPABILITY(can_generate_resource_exhaustion_heap_events), "JVMTI capability can_generate_resource_exhaustion_heap_events unavailable, OOM events will not be caught."},
  {AGENT_CAPABILITY(can_get_line_numbers),                         "JVMTI capability can_get_line_numbers unavailable, stack traces will not contain line numbers."},
  {AGENT_CAPABILITY(can_generate_monitor_events),                  "JVMTI capability can_generate_monitor_events unavailable, lock contention will not be tracked."},
  {AGENT_CAPABILITY(can_get_monitor_info),                         "JVMTI capability can_get_monitor_info unavailable, lock contention problems will not have blocker info."},
};
// clang-format on

#undef AGENT_CAPABILITY
#undef AGENT_CALLBACK
#undef AGENT_ENV
#undef AGENT_EVENT

constexpr size_t AGENT_WIRING_ROWS = sizeof AGENT_WIRING / sizeof AGENT_WIRING[0];

// The callback table handed to SetEventCallbacks: the standard table up to VMObjectAlloc, or
// further when a row's event lies beyond it.
constexpr jint CALLBACKS_SIZE = (jint)(offsetof(jvmtiEventCallbacks, VMObjectAlloc) + sizeof(void *));
static_assert(CALLBACKS_SIZE == 280, "callback table layout");

constexpr jint agent_callbacks_size() {
  jint size = CALLBACKS_SIZE;
  for (const agent_wiring &row : AGENT_WIRING) {
    if (row.event == AGENT_NO_EVENT) continue;
    jint end = (jint)((row.event - JVMTI_MIN_EVENT_TYPE_VAL + 1) * sizeof(void *));
    if (end > size) size = end;
  }
  return size;
}
static_assert(agent_callbacks_size() <= (jint)sizeof(jvmtiEventCallbacks), "events beyond the headers' table");

constexpr bool agent_rows_are_well_formed() {
  for (const agent_wiring &row : AGENT_WIRING) {
    if ((row.event == AGENT_NO_EVENT) != (row.install == nullptr)) return false;
    if (row.need == AGENT_IF_AVAILABLE && row.capability.available == nullptr) return false;
  }
  return true;
}
static_assert(agent_rows_are_well_formed(), "every event has its callback, every optional row its capability");

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
  if (!check_jvmti_error(nullptr, env, env->SetEventCallbacks(callbacks, agent_callbacks_size()),
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

// Reads the environment's potential capabilities and sets it up from its rows of the table.
bool agent_init_setup_env(jvmtiEnv *env, agent_environment environment) {
  if (!agent_init_load_capabilities(env)) return false;
  const jvmtiCapabilities &potential = agent_init.potential_capabilities;
  jvmtiCapabilities capabilities{};
  jvmtiEventCallbacks callbacks{};
  jvmtiEvent events[AGENT_WIRING_ROWS];
  int count = 0;
  for (const agent_wiring &row : AGENT_WIRING) {
    if (row.environment != environment) continue;
    if (row.need == AGENT_IF_AVAILABLE && !row.capability.available(potential)) continue;
    if (row.capability.add != nullptr) row.capability.add(capabilities);
    if (row.event != AGENT_NO_EVENT) {
      row.install(callbacks);
      events[count++] = row.event;
    }
    if (row.on_added != nullptr) row.on_added();
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
  fast_clock_initialise();
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

  if (!agent_init_setup_env(jvmti, AGENT_MAIN_ENV)) return globals->status;
  globals->status = 0;
  return 0;
}

}  // namespace

bool agent_feature_enabled(unsigned bit) {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr && ((globals->features >> (bit % 64)) & 1) != 0;
}

agent_globals_record *agent_init_require_loaded(JNIEnv *jni, const char *native) {
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

bool agent_init_started() { return agent_init.started && agent_init.start_result == 0; }

bool agent_init_loaded_live() { return agent_init.loaded_live != 0; }

int32_t agent_init_load(JavaVM *vm, int64_t disabled_features) {
  if (agent_globals != nullptr) return agent_globals->status;
  void *storage = calloc(1, sizeof(agent_globals_record));
  if (storage == nullptr) return -1;
  auto *globals = new (storage) agent_globals_record{};
  globals->enabled = 1;
  globals->status = -1;
  agent_globals = globals;

  globals->jvmti = agent_init_create_env(vm);
  jvmtiPhase phase = JVMTI_PHASE_ONLOAD;
  if (globals->jvmti != nullptr && globals->jvmti->GetPhase(&phase) == JVMTI_ERROR_NONE) {
    agent_init.loaded_live = phase == JVMTI_PHASE_LIVE ? 1 : 0;
  }
  jvmtiEnv *tag_env = agent_init_create_env(vm);
  if (tag_env != nullptr && agent_init_setup_env(tag_env, AGENT_TAG_ENV)) globals->tag_jvmti = tag_env;
  globals->features = ~(uint64_t)disabled_features;
  if (globals->jvmti == nullptr || globals->tag_jvmti == nullptr) return globals->status;
  return agent_init_load_once(globals);
}

VORKEL_EXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *reserved) {
  log_initialise("agent");
  return agent_init_load(vm, 0);
}

VORKEL_EXPORT void JNICALL Agent_OnUnload(JavaVM *vm) {}

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
  user_transaction_initialise(jni);
  bool started = stats_find_init_classes(jni) && cltracker_initialise(jni) &&
                 generation_counter_initialise(jvmti, jni) && file_streams_initialise(jni);
  // The array header sizes before any instance can be recorded.
  if (started) stats_array_calibrate(jni, agent_globals->tag_jvmti);
  if (!started) {
    agent_init.start_result = -1;
    return agent_init.start_result;
  }

  for (const auto &warning : AGENT_CAPABILITY_WARNINGS) {
    if (!warning.capability.available(agent_init.potential_capabilities)) log_info(jni, "%s", warning.message);
  }
  if (agent_init.loaded_live) agent_live_start(jni, agent_globals->tag_jvmti);
  agent_init.start_result = 0;
  return 0;
}
