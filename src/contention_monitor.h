// Lock contention probe: contended monitor entries inside user transactions.
#pragma once

#include <jni.h>
#include <jvmti.h>

void contention_pre_initialise();
void contention_set_supported();
void contention_set_blockers_supported();
bool contention_supported();
bool contention_blockers_supported();
void JNICALL contention_active_thread_enter(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object);
void JNICALL contention_active_thread_entered(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object);
