// Test kit natives for the archive tests: what the agent keeps for the uploader fork.
#include <jni.h>

#include "agent/agent_init.h"
#include "base/common.h"

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_ArchiveProbe_jvmArgument(JNIEnv *jni, jclass, jint index) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->jvm_arguments == nullptr || index < 0 ||
      (uint64_t)index >= globals->jvm_argument_count) {
    return nullptr;
  }
  return jni->NewStringUTF(globals->jvm_arguments[index]);
}
