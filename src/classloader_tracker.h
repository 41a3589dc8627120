// Class loader tracker and the class-loading natives.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

void cltracker_pre_initialise();
bool cltracker_initialise(JNIEnv *jni);
void JNICALL cltracker_class_load_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass);
void JNICALL cltracker_class_prepare_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass);
void cltracker_object_free(jvmtiEnv *jvmti, uint64_t tag);
