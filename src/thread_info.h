// Thread-local records, thread facts and stack traces.
#pragma once

#include <jni.h>
#include <jvmti.h>

void thread_info_init(JNIEnv *jni, jvmtiEnv *jvmti);
void JNICALL thread_start_callback(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread);
void JNICALL thread_end_callback(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread);
