#include <jni.h>

#include <cstdint>

#include "base/common.h"
#include "core/agent_util.h"
#include "core/log.h"
#include "core/reflection.h"
#include "platform/mutex.h"

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
