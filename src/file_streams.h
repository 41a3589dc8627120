// File stream tracker: the JDK's file-stream natives, replaced when the JVM binds them.
#pragma once

#include <jni.h>
#include <jvmti.h>

bool file_streams_pre_initialise();
bool file_streams_initialise(JNIEnv *jni);
void JNICALL file_streams_object_free(jvmtiEnv *jvmti, jlong tag);
void file_streams_native_method_bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jmethodID method, void *address,
                                     void **new_address);
void file_streams_set_enabled(JNIEnv *jni, bool enabled);
