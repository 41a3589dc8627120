#include "core/reflection.h"

#include "base/string_util.h"

namespace {

template <typename T>
T cleared(JNIEnv *jni, T result) {
  if (result == nullptr && jni->ExceptionCheck()) jni->ExceptionClear();
  return result;
}

// A method or field of a class by name and signature, through the JNI lookup of its kind.
template <typename T>
T find_member(JNIEnv *jni, jclass klass, const char *name, const char *signature,
              T (JNIEnv::*lookup)(jclass, const char *, const char *)) {
  if (jni == nullptr || klass == nullptr) return nullptr;
  return cleared(jni, (jni->*lookup)(klass, name, signature));
}

}  // namespace

jclass reflection_find_class(JNIEnv *jni, const char *name) {
  if (jni == nullptr || name == nullptr) return nullptr;
  return cleared(jni, jni->FindClass(name));
}

jmethodID reflection_find_method(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  return find_member(jni, klass, name, signature, &JNIEnv::GetMethodID);
}

jmethodID reflection_find_static_method(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  return find_member(jni, klass, name, signature, &JNIEnv::GetStaticMethodID);
}

jfieldID reflection_find_field(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  return find_member(jni, klass, name, signature, &JNIEnv::GetFieldID);
}

jfieldID reflection_find_static_field(JNIEnv *jni, jclass klass, const char *name, const char *signature) {
  return find_member(jni, klass, name, signature, &JNIEnv::GetStaticFieldID);
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

jclass reflection_lazy_find(JNIEnv *jni, reflection_lazy_class &record, const char *name, const char *method,
                            const char *signature) {
  if (jclass known = record.klass.load(std::memory_order_acquire)) return known;
  if (record.missing.load(std::memory_order_relaxed)) return nullptr;
  jclass local = reflection_find_class(jni, name);
  jmethodID found = method != nullptr ? reflection_find_method(jni, local, method, signature) : nullptr;
  auto global = method == nullptr || found != nullptr ? static_cast<jclass>(reflection_global(jni, local)) : nullptr;
  if (local != nullptr) jni->DeleteLocalRef(local);
  if (global == nullptr) {
    record.missing.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  // Every thread that looks it up finds the same method; the first reference published is kept.
  record.method.store(found, std::memory_order_relaxed);
  jclass expected = nullptr;
  if (record.klass.compare_exchange_strong(expected, global, std::memory_order_acq_rel)) return global;
  reflection_delete_global(jni, global);
  return expected;
}
