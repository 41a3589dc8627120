// Object tags of the tagging environment: kinds, reads and writes, ObjectFree dispatch.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

void tag_access_pre_initialise();
void JNICALL tag_access_object_free(jvmtiEnv *jvmti, jlong tag);
