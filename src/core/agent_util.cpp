#include "core/agent_util.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/log.h"
#include "core/reflection.h"
#include "base/string_util.h"

namespace {

constexpr jvmtiError WRONG_PHASE = JVMTI_ERROR_WRONG_PHASE;

struct {
  std::atomic<uint8_t> dead_phase_reported;
} check_state;

// The names JVMTI gives its errors. After VM death GetErrorName must not be asked: a Java thread
// entering the VM while it shuts down blocks for good.
struct error_name {
  int code;
  const char *name;
};
constexpr error_name jvmti_error_names[] = {
    {10, "JVMTI_ERROR_INVALID_THREAD"},
    {11, "JVMTI_ERROR_INVALID_THREAD_GROUP"},
    {12, "JVMTI_ERROR_INVALID_PRIORITY"},
    {13, "JVMTI_ERROR_THREAD_NOT_SUSPENDED"},
    {14, "JVMTI_ERROR_THREAD_SUSPENDED"},
    {15, "JVMTI_ERROR_THREAD_NOT_ALIVE"},
    {20, "JVMTI_ERROR_INVALID_OBJECT"},
    {21, "JVMTI_ERROR_INVALID_CLASS"},
    {22, "JVMTI_ERROR_CLASS_NOT_PREPARED"},
    {23, "JVMTI_ERROR_INVALID_METHODID"},
    {24, "JVMTI_ERROR_INVALID_LOCATION"},
    {25, "JVMTI_ERROR_INVALID_FIELDID"},
    {26, "JVMTI_ERROR_INVALID_MODULE"},
    {31, "JVMTI_ERROR_NO_MORE_FRAMES"},
    {32, "JVMTI_ERROR_OPAQUE_FRAME"},
    {34, "JVMTI_ERROR_TYPE_MISMATCH"},
    {35, "JVMTI_ERROR_INVALID_SLOT"},
    {40, "JVMTI_ERROR_DUPLICATE"},
    {41, "JVMTI_ERROR_NOT_FOUND"},
    {50, "JVMTI_ERROR_INVALID_MONITOR"},
    {51, "JVMTI_ERROR_NOT_MONITOR_OWNER"},
    {52, "JVMTI_ERROR_INTERRUPT"},
    {60, "JVMTI_ERROR_INVALID_CLASS_FORMAT"},
    {61, "JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION"},
    {62, "JVMTI_ERROR_FAILS_VERIFICATION"},
    {63, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED"},
    {64, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED"},
    {65, "JVMTI_ERROR_INVALID_TYPESTATE"},
    {66, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED"},
    {67, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED"},
    {68, "JVMTI_ERROR_UNSUPPORTED_VERSION"},
    {69, "JVMTI_ERROR_NAMES_DONT_MATCH"},
    {70, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED"},
    {71, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED"},
    {72, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED"},
    {79, "JVMTI_ERROR_UNMODIFIABLE_CLASS"},
    {80, "JVMTI_ERROR_UNMODIFIABLE_MODULE"},
    {98, "JVMTI_ERROR_NOT_AVAILABLE"},
    {99, "JVMTI_ERROR_MUST_POSSESS_CAPABILITY"},
    {100, "JVMTI_ERROR_NULL_POINTER"},
    {101, "JVMTI_ERROR_ABSENT_INFORMATION"},
    {102, "JVMTI_ERROR_INVALID_EVENT_TYPE"},
    {103, "JVMTI_ERROR_ILLEGAL_ARGUMENT"},
    {104, "JVMTI_ERROR_NATIVE_METHOD"},
    {106, "JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED"},
    {110, "JVMTI_ERROR_OUT_OF_MEMORY"},
    {111, "JVMTI_ERROR_ACCESS_DENIED"},
    {112, "JVMTI_ERROR_WRONG_PHASE"},
    {113, "JVMTI_ERROR_INTERNAL"},
    {115, "JVMTI_ERROR_UNATTACHED_THREAD"},
    {116, "JVMTI_ERROR_INVALID_ENVIRONMENT"},
};

const char *known_error_name(jvmtiError error) {
  for (const error_name &entry : jvmti_error_names) {
    if (entry.code == (int)error) return entry.name;
  }
  return nullptr;
}

bool vm_is_dead() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr && globals->vm_dead;
}

}  // namespace

bool check_jvmti_error_with_exception(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message, bool raise) {
  if (error == JVMTI_ERROR_NONE) return true;
  if (error == WRONG_PHASE && vm_is_dead()) {
    if (check_state.dead_phase_reported.exchange(1) != 0) return false;
  }
  char *name = nullptr;
  const char *shown_name = nullptr;
  if (vm_is_dead()) {
    shown_name = known_error_name(error);
  } else if (jvmti != nullptr && jvmti->GetErrorName(error, &name) == JVMTI_ERROR_NONE) {
    shown_name = name;
  }
  if (shown_name == nullptr) shown_name = "Unknown";
  const char *shown_message = message != nullptr ? message : "";
  log_error_raw(jni, "ERROR: JVMTI: %d(%s): %s (%s:%d)", (int)error, shown_name, shown_message,
                "check_jvmti_error_with_exception", 92);
  if (jni != nullptr && raise && !vm_is_dead()) {
    throw_vorkel_exception(jni, "ERROR: JVMTI: %d(%s): %s", (int)error, shown_name, shown_message);
  }
  if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(name));
  return false;
}

bool check_jvmti_error(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message) {
  return check_jvmti_error_with_exception(jni, jvmti, error, message, true);
}

bool check_jvmti_error_no_exception(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiError error, const char *message) {
  return check_jvmti_error_with_exception(jni, jvmti, error, message, false);
}

void throw_vorkel_exception(JNIEnv *jni, const char *format, ...) {
  if (jni == nullptr) return;
  char message[512];
  va_list arguments;
  va_start(arguments, format);
  xvsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  jclass exception_class = reflection_find_class(jni, "vorkel/runtime/agent/exceptions/VorkelException");
  if (exception_class == nullptr) return;
  jni->ThrowNew(exception_class, message);
  jni->DeleteLocalRef(exception_class);
}

char *jstringToNullTerminatedString(JNIEnv *jni, jstring string) {
  if (jni == nullptr || string == nullptr) return nullptr;
  const char *characters = jni->GetStringUTFChars(string, nullptr);
  if (characters == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    return nullptr;
  }
  char *copy = string_duplicate(characters);
  jni->ReleaseStringUTFChars(string, characters);
  if (copy == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Not enough memory to allocate string", "jstringToNullTerminatedString", 23);
  }
  return copy;
}

jint pushLocalFrame(JNIEnv *jni, jint capacity) {
  jint result = jni->PushLocalFrame(capacity);
  if (result < 0 && jni->ExceptionCheck()) {
    jni->ExceptionDescribe();
    log_error_raw(jni, "Cannot do PushLocalFrame with capacity %d. (%s:%d)", (int)capacity, "pushLocalFrame", 176);
  }
  return result;
}

void popLocalFrame(JNIEnv *jni) {
  jni->PopLocalFrame(nullptr);
  if (jni->ExceptionCheck()) {
    jni->ExceptionDescribe();
    log_error_raw(jni, "%s (%s:%d)", "Cannot do PopLocalFrame.", "popLocalFrame", 166);
  }
}

jthread alloc_thread(JNIEnv *jni, const char *name) {
  if (pushLocalFrame(jni, 4) < 0) return nullptr;
  jobject result = nullptr;
  jstring thread_name = reflection_string(jni, name);
  jclass thread_class = reflection_find_class(jni, "java/lang/Thread");
  if (thread_class == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Cannot find Thread class", "alloc_thread", 121);
  } else {
    jmethodID constructor = reflection_find_method(jni, thread_class, "<init>", "(Ljava/lang/String;)V");
    if (constructor == nullptr) {
      log_error_raw(jni, "%s (%s:%d)", "Cannot find Thread constructor method", "alloc_thread", 127);
    } else {
      jobject thread = jni->NewObject(thread_class, constructor, thread_name);
      if (thread == nullptr && jni->ExceptionCheck()) jni->ExceptionClear();
      result = reflection_global(jni, thread);
      if (result == nullptr) log_error_raw(jni, "%s (%s:%d)", "Cannot create new Thread object", "alloc_thread", 133);
    }
  }
  popLocalFrame(jni);
  return static_cast<jthread>(result);
}

void deallocate_void(JNIEnv *jni, jvmtiEnv *jvmti, void **pointer) {
  if (pointer == nullptr) return;
  check_jvmti_error(jni, jvmti, jvmti->Deallocate(static_cast<unsigned char *>(*pointer)), "Cannot deallocate memory");
  *pointer = nullptr;
}

void deallocate_const_void(JNIEnv *jni, jvmtiEnv *jvmti, const void **pointer) {
  if (pointer == nullptr) return;
  check_jvmti_error_no_exception(jni, jvmti,
                                 jvmti->Deallocate(static_cast<unsigned char *>(const_cast<void *>(*pointer))),
                                 "Cannot deallocate memory");
}

bool check_non_nulls(JNIEnv *jni, const char *format, std::initializer_list<const void *> handles) {
  int missing = reflection_first_null(handles);
  if (missing < 0) return true;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  log_error_raw(jni, format, missing);
#pragma GCC diagnostic pop
  return false;
}
