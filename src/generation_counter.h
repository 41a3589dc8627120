// GC generation counter and its reporter thread.
#pragma once

#include <jni.h>
#include <jvmti.h>

bool generation_counter_pre_initialise(jvmtiEnv *jvmti);
bool generation_counter_initialise(jvmtiEnv *jvmti, JNIEnv *jni);
void generation_counter_on_gc_finish(jvmtiEnv *jvmti);
