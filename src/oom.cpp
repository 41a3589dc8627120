// Stand-in until the heap snapshot is built: the configuration is accepted and an
// OutOfMemoryError is only logged.
#include "oom.h"

#include "log.h"

void oom_pre_initialise() {}
void oom_configure(const char *, int, const char *, bool) {}
void oom_on_resource_exhausted(jvmtiEnv *, JNIEnv *jni, jint flags, const char *description) {
  log_info(nullptr, "Resource exhausted (flags %d): %s", (int)flags, description != nullptr ? description : "");
}
