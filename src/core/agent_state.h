// The agent record: the two JVMTI environments, the flags every thread reads, and the
// configuration that the Java half passed. Only the agent's start-up code (src/agent/) writes it;
// every module may read it. The two flags that change while other threads run (vm_dead, enabled)
// are atomics; everything else is written once, before the modules that read it start.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "base/common.h"

struct agent_globals_record {
  int32_t status;                // -1 until a load completed, 0 after a successful load
  jvmtiEnv *jvmti;               // main environment
  jvmtiEnv *tag_jvmti;           // tagging environment
  std::atomic<uint8_t> vm_dead;  // set by VMDeath, never cleared
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
  char **jvm_arguments;  // owned copies, null when absent
  uint64_t jvm_argument_count;
  char vm_name[64];
  char vm_version[64];
  uint8_t is_j9;
  uint8_t is_hotspot;
  std::atomic<uint8_t> enabled;  // cleared for good by disableAgent
  uint64_t features;             // complement of the disabled-feature mask
  uint8_t jvmti_9_or_later;
};

VORKEL_EXPORT agent_globals_record *agent_globals;

static_assert(sizeof(std::atomic<uint8_t>) == 1, "the record's flags keep their one-byte layout");
