// The agent loaded into a running JVM by the JVM's attach mechanism: the JVMTI entry
// Agent_OnAttach and the requests an attach can carry (attach_protocol.h).
//
// Agent_OnAttach with agent options is the same start as -agentpath and -javaagent at launch: the
// native agent is loaded at once; the Java half (the agent jar beside the library, added to the
// system class path) is started by the thread "vorkel attach" as soon as the JVM has bound the
// library's natives, which it does when Agent_OnAttach has returned. What such a start does
// beyond the start at launch is agent_live.h's.
#include <jni.h>
#include <jvmti.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "agent/agent_init.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "agent/attach_protocol.h"
#include "base/common.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "platform/proc_info.h"
#include "core/reflection.h"
#include "base/string_util.h"

namespace {

constexpr const char *AGENT_CLASS = "vorkel.runtime.agent.bootstrap.Agent";
constexpr const char *AGENT_JAR = "vorkel-agent.jar";
constexpr const char *STARTER_THREAD = "vorkel attach";
// What Agent.startAttached answers while the JVM has not bound the library's natives yet.
constexpr jint NOT_BOUND = INT_MIN + 1;
// The JVM binds them once Agent_OnAttach has returned: the starter tries every 5 ms for 10 s.
constexpr int BIND_ATTEMPTS = 2000;
constexpr int64_t BIND_RETRY_MS = 5;

struct {
  char *options;          // the start's agent options (owned), handed to the starter thread
  jrawMonitorID starter;  // the starter thread waits on it between its attempts
} agent_attach;

// ---------------------------------------------------------------------------------------------
// System properties, through java.lang.System (the attach mechanism lists them).

bool cleared(JNIEnv *jni) {
  if (!jni->ExceptionCheck()) return true;
  jni->ExceptionClear();
  return false;
}

jclass system_class(JNIEnv *jni) { return reflection_find_class(jni, "java/lang/System"); }

// Whether the property is set (any copy of the agent sets the home at its start).
bool property_is_set(JNIEnv *jni, const char *name) {
  jclass system = system_class(jni);
  jmethodID get = reflection_find_static_method(jni, system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  jstring key = reflection_string(jni, name);
  jobject value = nullptr;
  if (system != nullptr && get != nullptr && key != nullptr) value = jni->CallStaticObjectMethod(system, get, key);
  cleared(jni);
  bool set = value != nullptr;
  if (value != nullptr) jni->DeleteLocalRef(value);
  if (key != nullptr) jni->DeleteLocalRef(key);
  if (system != nullptr) jni->DeleteLocalRef(system);
  return set;
}

void set_property(JNIEnv *jni, const char *name, const char *text) {
  jclass system = system_class(jni);
  jmethodID set = reflection_find_static_method(jni, system, "setProperty",
                                                "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
  jstring key = reflection_string(jni, name);
  jstring value = reflection_string(jni, text);
  if (system != nullptr && set != nullptr && key != nullptr && value != nullptr) {
    jobject previous = jni->CallStaticObjectMethod(system, set, key, value);
    if (cleared(jni) && previous != nullptr) jni->DeleteLocalRef(previous);
  }
  if (value != nullptr) jni->DeleteLocalRef(value);
  if (key != nullptr) jni->DeleteLocalRef(key);
  if (system != nullptr) jni->DeleteLocalRef(system);
}

void set_failed(JNIEnv *jni, const char *reason) {
  char state[512];
  xsnprintf(state, sizeof state, "failed: %s", reason);
  set_property(jni, ATTACH_PROPERTY_STATE, state);
  log_error_raw(jni, "The agent loaded into the running JVM could not start: %s (%s:%d)", reason, "Agent_OnAttach",
                __LINE__);
}

// ---------------------------------------------------------------------------------------------
// The Java half.

// Where this library lies: HOME/lib/libvorkel.so, with the agent jar beside it.
struct agent_attach_paths {
  char library[1024];
  char home[1024];
  char jar[1100];
};

bool agent_attach_locate(agent_attach_paths *paths) {
  char *library = paths->library;
  if (!process_get_module_path(library, sizeof paths->library, reinterpret_cast<const void *>(&agent_attach_locate))) {
    return false;
  }
  const char *slash = strrchr(library, '/');
  const char *backslash = strrchr(library, '\\');
  if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
  if (slash == nullptr) return false;
  int lib_dir = (int)(slash - library);
  int length = xsnprintf(paths->jar, sizeof paths->jar, "%.*s%s", lib_dir + 1, library, AGENT_JAR);
  if (length <= 0 || (size_t)length >= sizeof paths->jar) return false;
  // The home is the directory above lib (the library's own directory when it lies elsewhere).
  int home = lib_dir;
  if (lib_dir >= 4 && strncmp(library + lib_dir - 3, "lib", 3) == 0 &&
      (library[lib_dir - 4] == '/' || library[lib_dir - 4] == '\\')) {
    home = lib_dir - 4;
  }
  xsnprintf(paths->home, sizeof paths->home, "%.*s", home > 0 ? home : 1, library);
  return true;
}

// The agent class through the system class loader, where the jar was added (a local reference).
jclass load_agent_class(JNIEnv *jni) {
  jclass loader_class = reflection_find_class(jni, "java/lang/ClassLoader");
  jmethodID system_loader =
      reflection_find_static_method(jni, loader_class, "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
  jmethodID load = reflection_find_method(jni, loader_class, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
  jobject loader = nullptr;
  jobject agent = nullptr;
  if (loader_class != nullptr && system_loader != nullptr && load != nullptr) {
    loader = jni->CallStaticObjectMethod(loader_class, system_loader);
    if (!cleared(jni)) loader = nullptr;
  }
  jstring name = loader != nullptr ? reflection_string(jni, AGENT_CLASS) : nullptr;
  if (name != nullptr) {
    agent = jni->CallObjectMethod(loader, load, name);
    if (!cleared(jni)) agent = nullptr;
    jni->DeleteLocalRef(name);
  }
  if (loader != nullptr) jni->DeleteLocalRef(loader);
  if (loader_class != nullptr) jni->DeleteLocalRef(loader_class);
  return static_cast<jclass>(agent);
}

// The exception's text ("java.lang.NumberFormatException: For input string ...") into out; the
// exception is cleared.
void describe_exception(JNIEnv *jni, char *out, size_t size) {
  xsnprintf(out, size, "%s", "an exception");
  jthrowable failure = jni->ExceptionOccurred();
  jni->ExceptionClear();
  if (failure == nullptr) return;
  jclass object = reflection_find_class(jni, "java/lang/Object");
  jmethodID to_string = reflection_find_method(jni, object, "toString", "()Ljava/lang/String;");
  auto text = to_string != nullptr ? static_cast<jstring>(jni->CallObjectMethod(failure, to_string)) : nullptr;
  if (!cleared(jni)) text = nullptr;
  if (text != nullptr) {
    jni_utf_chars chars(jni, text);
    if (chars) xsnprintf(out, size, "%s", chars.get());
    jni->DeleteLocalRef(text);
  }
  if (object != nullptr) jni->DeleteLocalRef(object);
  jni->DeleteLocalRef(failure);
}

// The thread "vorkel attach": starts the Java half with the attach's options once the JVM has
// bound the library's natives (it does after Agent_OnAttach returned), then ends.
void JNICALL agent_attach_starter(jvmtiEnv *jvmti, JNIEnv *jni, void *) {
  char reason[512] = "";
  jclass agent = load_agent_class(jni);
  jmethodID start = reflection_find_static_method(jni, agent, "startAttached", "(Ljava/lang/String;)I");
  jstring options = reflection_string(jni, agent_attach.options != nullptr ? agent_attach.options : "");
  jint result = NOT_BOUND;
  if (agent == nullptr || start == nullptr || options == nullptr) {
    xsnprintf(reason, sizeof reason, "%s.startAttached was not found", AGENT_CLASS);
  } else {
    for (int attempt = 0; attempt < BIND_ATTEMPTS && result == NOT_BOUND; ++attempt) {
      if (attempt > 0 && jvmti_monitor_enter(jvmti, agent_attach.starter)) {
        jvmti_monitor_wait(jvmti, agent_attach.starter, BIND_RETRY_MS);
        jvmti_monitor_exit(jvmti, agent_attach.starter);
      }
      result = jni->CallStaticIntMethod(agent, start, options);
      if (jni->ExceptionCheck()) {
        char exception[400];
        describe_exception(jni, exception, sizeof exception);
        xsnprintf(reason, sizeof reason, "the Java half threw %s", exception);
        break;
      }
    }
    if (result == NOT_BOUND && reason[0] == '\0') {
      xsnprintf(reason, sizeof reason, "%s", "the JVM did not bind the library's natives within 10 s");
    }
  }
  if (reason[0] != '\0') set_failed(jni, reason);
  // Otherwise the Java half has set the state ("started", or "failed: ..." with its result).
  if (options != nullptr) jni->DeleteLocalRef(options);
  if (agent != nullptr) jni->DeleteLocalRef(agent);
  free(agent_attach.options);
  agent_attach.options = nullptr;
}

// The first load into a JVM without the agent. Once anything was set up the answer is ATTACH_OK
// whatever happens (the JVM would unload the library under its callbacks otherwise); how the start
// went is the state property and the log.
jint agent_attach_start(JavaVM *vm, JNIEnv *jni, const char *options) {
  if (agent_globals != nullptr) {
    log_info(jni, "An attach (options \"%s\") found the agent already loaded in this JVM; nothing was changed.",
             options != nullptr ? options : "");
    return ATTACH_ALREADY_LOADED;
  }
  // Another copy of the library started the agent: this copy stays untouched and is unloaded.
  if (property_is_set(jni, ATTACH_PROPERTY_HOME)) return ATTACH_ALREADY_LOADED;

  log_initialise("agent");
  set_property(jni, ATTACH_PROPERTY_STATE, "starting");
  if (agent_init_load(vm, 0) != 0) {
    set_failed(jni, "the native agent could not be loaded (see the agent's log)");
    return ATTACH_OK;
  }
  jvmtiEnv *jvmti = agent_globals->jvmti;
  agent_attach_paths paths;
  if (!agent_attach_locate(&paths)) {
    set_failed(jni, "the agent jar beside the library cannot be named");
    return ATTACH_OK;
  }
  const char *jar = paths.jar;
  if (!check_jvmti_error_no_exception(jni, jvmti, jvmti->AddToSystemClassLoaderSearch(jar),
                                      "Agent_OnAttach: AddToSystemClassLoaderSearch failed")) {
    set_failed(jni, "the agent jar could not be added to the system class path");
    return ATTACH_OK;
  }
  // The agent's home and library are this library's, whichever jar the application's class path
  // holds; the attach's own options come after and win.
  const char *given = options != nullptr ? options : "";
  size_t size = strlen(given) + sizeof paths.home + sizeof paths.library + 16;
  agent_attach.options = static_cast<char *>(malloc(size));
  if (agent_attach.options != nullptr) {
    xsnprintf(agent_attach.options, size, "home=%s,lib=%s%s%s", paths.home, paths.library, given[0] != '\0' ? "," : "",
              given);
  }
  agent_attach.starter = jvmti_monitor_create(jvmti);
  jthread thread =
      agent_attach.options != nullptr && agent_attach.starter != nullptr ? alloc_thread(jni, STARTER_THREAD) : nullptr;
  if (thread == nullptr) {
    set_failed(jni, "the thread that starts the Java half could not be made");
    return ATTACH_OK;
  }
  jvmtiError error = jvmti->RunAgentThread(thread, agent_attach_starter, nullptr, JVMTI_THREAD_NORM_PRIORITY);
  reflection_delete_global(jni, thread);
  if (!check_jvmti_error_no_exception(jni, jvmti, error, "Agent_OnAttach: the starter thread did not start")) {
    set_failed(jni, "the thread that starts the Java half did not start");
    return ATTACH_OK;
  }
  log_info(jni, "Loaded into the running JVM with the options \"%s\"; the Java half starts from %s.", given, jar);
  return ATTACH_OK;
}

jint agent_attach_request(JNIEnv *jni, std::string_view request) {
  if (request != ATTACH_REQUEST_SNAPSHOT) {
    if (agent_globals != nullptr)
      log_warn(jni, "An attach asked for \"%.*s\", which is no request of the agent.", (int)request.size(),
               request.data());
    return ATTACH_BAD_REQUEST;
  }
  if (agent_globals == nullptr || !agent_init_started()) return ATTACH_NOT_STARTED;
  char directory[1024];
  bool valid = oom_request_snapshot(jni, "requested through an attach", directory, sizeof directory);
  set_property(jni, ATTACH_PROPERTY_SNAPSHOT, directory);
  if (valid) {
    log_info(jni, "The snapshot requested through an attach is %s.", directory);
  } else {
    log_warn(jni, "The snapshot requested through an attach was not taken or is not valid (%s).",
             directory[0] != '\0' ? directory : "no directory");
  }
  return valid ? ATTACH_OK : ATTACH_SNAPSHOT_FAILED;
}

}  // namespace

VORKEL_EXPORT jint JNICALL Agent_OnAttach(JavaVM *vm, char *options, void *reserved) {
  JNIEnv *jni = nullptr;
  if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&jni), JNI_VERSION_1_6) != JNI_OK || jni == nullptr) {
    return ATTACH_NO_JNI;
  }
  std::string_view text = options != nullptr ? options : "";
  if (text.substr(0, ATTACH_REQUEST_PREFIX.size()) == ATTACH_REQUEST_PREFIX) {
    return agent_attach_request(jni, text.substr(ATTACH_REQUEST_PREFIX.size()));
  }
  return agent_attach_start(vm, jni, options);
}

VORKEL_EXPORT jboolean JNICALL
Java_vorkel_runtime_agent_bootstrap_NativeAgentInitialiser_loadedIntoRunningJvm(JNIEnv *jni, jobject self) {
  return agent_init_loaded_live() ? JNI_TRUE : JNI_FALSE;
}
