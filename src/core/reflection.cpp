#include "core/reflection.h"

#include "base/string_util.h"

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
  if (jvmti->GetClassSignature(class_for_signature, &class_signature, nullptr) != JVMTI_ERROR_NONE) return nullptr;
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

int reflection_first_null(std::initializer_list<const void *> handles) {
  int position = 0;
  for (const void *handle : handles) {
    if (handle == nullptr) return position;
    ++position;
  }
  return -1;
}
