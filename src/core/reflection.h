// Lookups of classes, methods and fields that never leave a Java exception pending. They depend on
// nothing of the agent: a failed lookup gives null, and logging it is the caller's.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <initializer_list>

jclass reflection_find_class(JNIEnv *jni, const char *name);
jmethodID reflection_find_method(JNIEnv *jni, jclass klass, const char *name, const char *signature);
jmethodID reflection_find_static_method(JNIEnv *jni, jclass klass, const char *name, const char *signature);
jfieldID reflection_find_field(JNIEnv *jni, jclass klass, const char *name, const char *signature);
jfieldID reflection_find_static_field(JNIEnv *jni, jclass klass, const char *name, const char *signature);
jobject reflection_read_object_field(JNIEnv *jni, jobject object, jfieldID field);
jmethodID reflection_find_fallback_method(JNIEnv *jni, jmethodID found, jclass klass, const char *name,
                                          const char *signature);
jmethodID reflection_find_method_with_format(jvmtiEnv *jvmti, JNIEnv *jni, jclass klass, const char *name,
                                             const char *signature_format, jclass class_for_signature);
jobject reflection_global(JNIEnv *jni, jobject object);
jstring reflection_string(JNIEnv *jni, const char *text);
void reflection_delete_global(JNIEnv *jni, jobject reference);
// The zero-based position of the first null handle; -1 when none is null.
int reflection_first_null(std::initializer_list<const void *> handles);
