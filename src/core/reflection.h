// Lookups of classes, methods and fields that never leave a Java exception pending.
#pragma once

#include <jni.h>
#include <jvmti.h>

// Its address ends the argument list of reflection_verify_non_nulls.
extern const char reflection_terminator;

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
// True when no handle before &reflection_terminator is null; otherwise logs the format with the
// zero-based position of the first null handle.
bool reflection_verify_non_nulls(JNIEnv *jni, const char *format, ...);
