// Stand-in until the class loader tracker is built: loaders are not recorded yet and class
// loads are not forwarded to the Java half.
#include "classloader_tracker.h"

void cltracker_pre_initialise() {}
bool cltracker_initialise(JNIEnv *) { return true; }
void JNICALL cltracker_class_load_event(jvmtiEnv *, JNIEnv *, jthread, jclass) {}
void JNICALL cltracker_class_prepare_event(jvmtiEnv *, JNIEnv *, jthread, jclass) {}
void cltracker_object_free(jvmtiEnv *, uint64_t) {}

#include "common.h"
#include "reflection.h"

namespace {
jobject deferred_instance;
}

// The Java half's receiver of class loads; kept now, used once class loads are forwarded.
VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_instrumentation_deferred_DeferredTransformationNativeImpl_attach(
    JNIEnv *jni, jobject self) {
  reflection_delete_global(jni, deferred_instance);
  deferred_instance = reflection_global(jni, self);
}
