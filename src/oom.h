// OutOfMemoryError handling and the snapshot's lifecycle.
#pragma once

#include <jni.h>
#include <jvmti.h>

void oom_pre_initialise();
void oom_configure(const char *host, int port, const char *details_location, bool send_notifications);
void oom_on_resource_exhausted(jvmtiEnv *jvmti, JNIEnv *jni, jint flags, const char *description);
