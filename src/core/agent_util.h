// JVMTI and JNI helpers: the one error check, VorkelException, local frames, JVMTI memory.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <initializer_list>

bool check_jvmti_error_with_exception(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message, bool raise);
bool check_jvmti_error(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message);
bool check_jvmti_error_no_exception(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message);
void throw_vorkel_exception(JNIEnv *jni, const char *format, ...) __attribute__((format(printf, 2, 3)));
// True when no handle is null; otherwise logs format (a "%d" for it) with the position of the
// first null handle, counted from 0.
bool check_non_nulls(JNIEnv *jni, const char *format, std::initializer_list<const void *> handles);

char *jstringToNullTerminatedString(JNIEnv *jni, jstring string);
jthread alloc_thread(JNIEnv *jni, const char *name);
jint pushLocalFrame(JNIEnv *jni, jint capacity);
void popLocalFrame(JNIEnv *jni);
void deallocate_void(JNIEnv *jni, jvmtiEnv *jvmti, void **pointer);
void deallocate_const_void(JNIEnv *jni, jvmtiEnv *jvmti, const void **pointer);

// Memory that JVMTI allocated, given back with Deallocate when the holder goes out of scope.
template <typename T>
class jvmti_memory {
 public:
  explicit jvmti_memory(jvmtiEnv *jvmti) : jvmti_(jvmti) {}
  ~jvmti_memory() { reset(); }
  jvmti_memory(const jvmti_memory &) = delete;
  jvmti_memory &operator=(const jvmti_memory &) = delete;

  T **out() {
    reset();
    return &pointer_;
  }
  T *get() const { return pointer_; }
  T &operator[](std::ptrdiff_t index) const { return pointer_[index]; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void reset() {
    if (pointer_ != nullptr) jvmti_->Deallocate(reinterpret_cast<unsigned char *>(pointer_));
    pointer_ = nullptr;
  }

 private:
  jvmtiEnv *jvmti_;
  T *pointer_ = nullptr;
};

// A JNI local frame for the holder's scope; nothing when jni is null or the frame cannot be had
// (the failure's exception is cleared).
class jni_local_frame {
 public:
  jni_local_frame(JNIEnv *jni, jint capacity) {
    if (jni == nullptr) return;
    if (jni->PushLocalFrame(capacity) == 0) {
      jni_ = jni;
    } else if (jni->ExceptionCheck()) {
      jni->ExceptionClear();
    }
  }
  ~jni_local_frame() {
    if (jni_ != nullptr) jni_->PopLocalFrame(nullptr);
  }
  jni_local_frame(const jni_local_frame &) = delete;
  jni_local_frame &operator=(const jni_local_frame &) = delete;

 private:
  JNIEnv *jni_ = nullptr;
};

// The UTF-8 characters of a Java string, released when the holder goes out of scope.
class jni_utf_chars {
 public:
  jni_utf_chars(JNIEnv *jni, jstring string) : jni_(jni), string_(string) {
    if (jni_ != nullptr && string_ != nullptr) {
      chars_ = jni_->GetStringUTFChars(string_, nullptr);
      if (chars_ == nullptr && jni_->ExceptionCheck()) jni_->ExceptionClear();
    }
  }
  ~jni_utf_chars() {
    if (chars_ != nullptr) jni_->ReleaseStringUTFChars(string_, chars_);
  }
  jni_utf_chars(const jni_utf_chars &) = delete;
  jni_utf_chars &operator=(const jni_utf_chars &) = delete;

  const char *get() const { return chars_; }
  explicit operator bool() const { return chars_ != nullptr; }

 private:
  JNIEnv *jni_;
  jstring string_;
  const char *chars_ = nullptr;
};
