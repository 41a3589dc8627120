// The agent's spine: loading, the two JVMTI environments, configuration and module start-up.
//
// When each module comes up (agent_init.cpp and agent_configure.cpp):
// - At load (Agent_OnLoad, or the first startNativeAgent or configure when the JVM did not load
//   the agent): both environments from the wiring table in agent_init.cpp (every event,
//   capability and callback), then, in this order: hires_conversions_initialise, fast_clock_initialise,
//   system_memory_pre_initialise, oom_pre_initialise, contention_pre_initialise,
//   tag_access_pre_initialise, stats_pre_initialise, cltracker_pre_initialise,
//   ibm_gc_pre_initialise, proc_pre_initialise, file_streams_pre_initialise,
//   generation_counter_pre_initialise. Logging starts before, with Agent_OnLoad or
//   initNativeLogging.
// - At configure: the agent record's texts, then thread_info_init, sockets_initialize,
//   death_monitor_initialise.
// - At configureOomQueries: init_class_size_symbols, then oom_configure.
// - At the first startNativeAgent: user_transaction_initialise, stats_find_init_classes,
//   cltracker_initialise, generation_counter_initialise (with its reporter thread),
//   file_streams_initialise; then the missing-capability warnings, and for an agent loaded into
//   the running JVM agent_live_start (agent_live.h). The classes of the transactions' summaries
//   are looked up at a thread's first join of a transaction, not here.
// - disableAgent clears `enabled` (the callbacks that check it are named in agent_init.cpp) and
//   switches the file-stream hooks off. Nothing is torn down at unload.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "core/agent_state.h"

// The platform's suffix of executables, appended to the configured Java launcher.
#ifdef _WIN32
constexpr const char *AGENT_EXECUTABLE_SUFFIX = ".exe";
#else
constexpr const char *AGENT_EXECUTABLE_SUFFIX = "";
#endif

bool agent_feature_enabled(unsigned bit);
int32_t agent_init_load(JavaVM *vm, int64_t disabled_features);
// The first result of startNativeAgent, for callers that need to know whether the agent started.
bool agent_init_started();
// Whether the agent was loaded into the running JVM (its live phase) rather than at its start.
bool agent_init_loaded_live();
// For the natives that need the loaded record: loads the agent when neither the JVM nor
// startNativeAgent did yet; null (after logging and throwing) when it cannot be loaded.
agent_globals_record *agent_init_require_loaded(JNIEnv *jni, const char *native);
// ObjectFree of the tagging environment, dispatched by tag kind to its owner.
void JNICALL agent_object_free_tagged(jvmtiEnv *jvmti, jlong tag);
