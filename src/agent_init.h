// The agent's spine: loading, the two JVMTI environments, configuration and module start-up.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "common.h"

struct agent_globals_record {
  int32_t status;             // -1 until a load completed, 0 after a successful load
  jvmtiEnv *jvmti;            // main environment
  jvmtiEnv *tag_jvmti;        // tagging environment
  uint8_t vm_dead;            // set by VMDeath, never cleared
  char account_id[64];
  char jvm_id[64];
  char session_id[64];
  char collector_host[256];
  int32_t collector_port;
  char home_dir[1024];
  char work_dir[1024];
  char java_executable[1024];
  char agent_jar[1024];
  char self_executable[1024];
  char **jvm_arguments;       // owned copies, null when absent
  uint64_t jvm_argument_count;
  char vm_name[64];
  char vm_version[64];
  uint8_t is_j9;
  uint8_t is_hotspot;
  uint8_t enabled;            // cleared for good by disableAgent
  uint64_t features;          // complement of the disabled-feature mask
  uint8_t jvmti_9_or_later;
};

VORKEL_EXPORT agent_globals_record *agent_globals;

// The platform's suffix of executables, appended to the configured Java launcher.
#ifdef _WIN32
constexpr const char *AGENT_EXECUTABLE_SUFFIX = ".exe";
#else
constexpr const char *AGENT_EXECUTABLE_SUFFIX = "";
#endif

bool agent_feature_enabled(unsigned bit);
int32_t agent_init_load(JavaVM *vm, int64_t disabled_features);
// The first result of startNativeAgent, for callers that need to know whether the agent started.
bool agent_started();
