#include "core/reflection.h"

#include <cstdarg>

#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "core/common.h"
#include "core/log.h"
#include "core/string_util.h"

const char reflection_terminator = 0;

namespace {

template <typename T>
T cleared(JNIEnv *jni, T result) {
  if (result == nullptr && jni->ExceptionCheck()) jni->ExceptionClear();
  return result;
}

}  // namespace

jclass reflection_find_class(JNIEnv *jni, const char *name) {
  if (jni == nullptr || name == nullptr) return nullptr;
  return cleared(jni, jni->FindClass(name));
}

jmethodID reflection_find_method(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  if (jni == nullptr || klass == nullptr) return nullptr;
  return cleared(jni, jni->GetMethodID(klass, name, signature));
}

jmethodID reflection_find_static_method(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  if (jni == nullptr || klass == nullptr) return nullptr;
  return cleared(jni, jni->GetStaticMethodID(klass, name, signature));
}

jfieldID reflection_find_field(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  if (jni == nullptr || klass == nullptr) return nullptr;
  return cleared(jni, jni->GetFieldID(klass, name, signature));
}

jfieldID reflection_find_static_field(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  if (jni == nullptr || klass == nullptr) return nullptr;
  return cleared(jni, jni->GetStaticFieldID(klass, name, signature));
}

jobject reflection_read_object_field(JNIEnv *jni, jobject object, jfieldID field) {
  if (jni == nullptr || object == nullptr || field == nullptr) return nullptr;
  return cleared(jni, jni->GetObjectField(object, field));
}

jmethodID reflection_find_fallback_method(JNIEnv *jni, jmethodID found, jclass klass, const char *name,
                                          const char *signature) {
  if (found != nullptr) return found;
  return reflection_find_method(jni, klass, name, signature);
}

jmethodID reflection_find_method_with_format(jvmtiEnv *jvmti, JNIEnv *jni, jclass klass, const char *name,
                                             const char *signature_format, jclass class_for_signature) {
  if (class_for_signature == nullptr || klass == nullptr) return nullptr;
  char *class_signature = nullptr;
  if (!check_jvmti_error_no_exception(jni, jvmti,
                                      jvmti->GetClassSignature(class_for_signature, &class_signature, nullptr),
                                      "Failed to get class signature.")) {
    return nullptr;
  }
  char signature[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  xsnprintf(signature, sizeof signature, signature_format, class_signature);
#pragma GCC diagnostic pop
  jvmti->Deallocate(reinterpret_cast<unsigned char *>(class_signature));
  return reflection_find_method(jni, klass, name, signature);
}

jobject reflection_global(JNIEnv *jni, jobject object) {
  if (jni == nullptr || object == nullptr) return nullptr;
  return jni->NewGlobalRef(object);
}

jstring reflection_string(JNIEnv *jni, const char *text) {
  if (jni == nullptr || text == nullptr) return nullptr;
  return cleared(jni, jni->NewStringUTF(text));
}

void reflection_delete_global(JNIEnv *jni, jobject reference) {
  if (jni != nullptr && reference != nullptr) jni->DeleteGlobalRef(reference);
}

bool reflection_verify_non_nulls(JNIEnv *jni, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int position = 0;
  bool all_present = true;
  for (;;) {
    const void *handle = va_arg(arguments, const void *);
    if (handle == &reflection_terminator) break;
    if (handle == nullptr) {
      all_present = false;
      break;
    }
    ++position;
  }
  va_end(arguments);
  if (!all_present) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    log_error_raw(jni, format, position);
#pragma GCC diagnostic pop
  }
  return all_present;
}

// The natives of JniReflectionNativeImpl: open reflective objects without module access checks.
//
// A field id is only as good as the object it is used on: setting it on an object of another
// class would write into that object's memory. Every id handed out is remembered with its class,
// and an id is used only on instances of that class.
namespace {

struct prepared_field {
  jfieldID field;
  jclass klass;  // global reference
};

struct {
  agent_mutex lock;
  prepared_field fields[16];
  int count;
} reflection_fields;

jclass reflection_prepared_class(JNIEnv *jni, jfieldID field) {
  agent_mutex_guard guard(reflection_fields.lock);
  for (int i = 0; i < reflection_fields.count; ++i) {
    if (reflection_fields.fields[i].field == field) return reflection_fields.fields[i].klass;
  }
  return nullptr;
}

}  // namespace

VORKEL_EXPORT jlong JNICALL Java_vorkel_runtime_agent_tools_reflection_JniReflectionNativeImpl_prepareInternal(
    JNIEnv *jni, jclass self, jclass klass) {
  if (klass == nullptr) {
    throw_vorkel_exception(jni, "prepareInternal: the class is null");
    return 0;
  }
  // A missing field leaves its NoSuchFieldError pending for the caller to see.
  jfieldID field = jni->GetFieldID(klass, "override", "Z");
  if (field == nullptr) return 0;
  if (reflection_prepared_class(jni, field) == nullptr) {
    agent_mutex_guard guard(reflection_fields.lock);
    if (reflection_fields.count < (int)countof(reflection_fields.fields)) {
      jclass global = static_cast<jclass>(reflection_global(jni, klass));
      if (global != nullptr) reflection_fields.fields[reflection_fields.count++] = {field, global};
    }
  }
  return static_cast<jlong>(reinterpret_cast<intptr_t>(field));
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_tools_reflection_JniReflectionNativeImpl_makeAccessibleInternal(
    JNIEnv *jni, jclass self, jlong field_id, jobject object) {
  if (field_id == 0) return;
  jfieldID field = reinterpret_cast<jfieldID>(static_cast<intptr_t>(field_id));
  jclass klass = reflection_prepared_class(jni, field);
  if (klass == nullptr) {
    log_error_raw(jni, "makeAccessibleInternal: field id %lld was not handed out by prepareInternal.",
                  (long long)field_id);
    throw_vorkel_exception(jni, "makeAccessibleInternal: unknown field id %lld", (long long)field_id);
    return;
  }
  if (object == nullptr || !jni->IsInstanceOf(object, klass)) {
    throw_vorkel_exception(jni, "makeAccessibleInternal: the object is %s",
                           object == nullptr ? "null" : "of another class");
    return;
  }
  jni->SetBooleanField(object, field, JNI_TRUE);
}
