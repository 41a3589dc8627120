// Lookups of classes, methods and fields that never leave a Java exception pending. They depend on
// nothing of the agent: a failed lookup gives null, and logging it is the caller's.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
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

// A class of the agent's own jar and one of its methods, looked up where first needed rather than
// at the agent's start, which then loads no class that only a later feature uses. Any thread may
// look it up first; one global reference is kept. Zero-initialised static storage is an empty record.
struct reflection_lazy_class {
  std::atomic<jclass> klass;      // global reference, null until found
  std::atomic<jmethodID> method;  // of klass
  std::atomic<bool> missing;      // a lookup failed: later calls give null at once
  std::atomic<bool> reported;     // for the caller, to log the failure once
};
// The class (and its method in record.method, unless method is null), found at the first call;
// null where the class or the method is missing, with no exception pending.
jclass reflection_lazy_find(JNIEnv *jni, reflection_lazy_class &record, const char *name, const char *method,
                            const char *signature);
