// GC generation counter: the GC finish callback only counts and wakes the "GC Count reporter
// thread", which publishes the count to the Java half and hands over the J9 verbose-GC records.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

bool generation_counter_pre_initialise(jvmtiEnv *jvmti);
bool generation_counter_initialise(jvmtiEnv *jvmti, JNIEnv *jni);
void generation_counter_on_gc_finish(jvmtiEnv *jvmti);
