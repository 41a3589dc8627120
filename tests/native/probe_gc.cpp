// Test-kit natives of vorkel.test.GcProbe: the J9 verbose-GC path on a JVM that is not J9. A JVMTI
// environment of the test's own offers "com.ibm.RegisterVerboseGCSubscriber" through
// GetExtensionFunctions and keeps the subscriber it is given; records are then pushed through
// that subscriber and reported as the reporter thread would.
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/common.h"
#include "gc/ibm_gc.h"
#include "probe_kit.h"

namespace {

using subscriber_function = jvmtiError(JNICALL *)(jvmtiEnv *, const char *, jlong, void *);

struct {
  jvmtiEnv *real;
  jvmtiInterface_1_ table;  // everything the agent may not call stays null
  _jvmtiEnv env;
  std::atomic<int> allocated;
  std::atomic<int> given_back;
  std::atomic<int> register_calls;
  std::atomic<int> other_calls;
  char description[64];
  bool alarm_null;
  bool user_data_null;
  bool id_slot_given;
  subscriber_function subscriber;
} j9;

jvmtiError JNICALL j9_register(jvmtiEnv *env, ...) {
  va_list arguments;
  va_start(arguments, env);
  const char *description = va_arg(arguments, const char *);
  auto subscriber = va_arg(arguments, subscriber_function);
  void *alarm = va_arg(arguments, void *);
  void *user_data = va_arg(arguments, void *);
  void **subscription = va_arg(arguments, void **);
  va_end(arguments);
  ++j9.register_calls;
  snprintf(j9.description, sizeof j9.description, "%s", description != nullptr ? description : "(null)");
  j9.alarm_null = alarm == nullptr;
  j9.user_data_null = user_data == nullptr;
  j9.id_slot_given = subscription != nullptr;
  if (subscription != nullptr) *subscription = &j9;
  j9.subscriber = subscriber;
  // Its result is not examined by the agent: an error here must not undo the registration.
  return JVMTI_ERROR_NOT_AVAILABLE;
}

jvmtiError JNICALL j9_other(jvmtiEnv *, ...) {
  ++j9.other_calls;
  return JVMTI_ERROR_NONE;
}

char *j9_copy(const char *text) {
  unsigned char *memory = nullptr;
  if (j9.real->Allocate((jlong)strlen(text) + 1, &memory) != JVMTI_ERROR_NONE) return nullptr;
  ++j9.allocated;
  memcpy(memory, text, strlen(text) + 1);
  return reinterpret_cast<char *>(memory);
}

// Two extensions, the J9 one second, each with the pieces a caller must give back.
jvmtiError JNICALL j9_get_extension_functions(jvmtiEnv *, jint *count, jvmtiExtensionFunctionInfo **extensions) {
  unsigned char *memory = nullptr;
  if (j9.real->Allocate(2 * sizeof(jvmtiExtensionFunctionInfo), &memory) != JVMTI_ERROR_NONE) {
    return JVMTI_ERROR_OUT_OF_MEMORY;
  }
  ++j9.allocated;
  auto *info = reinterpret_cast<jvmtiExtensionFunctionInfo *>(memory);
  memset(info, 0, 2 * sizeof *info);
  info[0].func = j9_other;
  info[0].id = j9_copy("com.example.RegisterVerboseGCSubscriberToo");
  info[0].short_description = j9_copy("an extension of another name");
  info[1].func = j9_register;
  info[1].id = j9_copy("com.ibm.RegisterVerboseGCSubscriber");
  info[1].short_description = j9_copy("verbose GC subscriber");
  unsigned char *params = nullptr;
  if (j9.real->Allocate(sizeof(jvmtiParamInfo), &params) == JVMTI_ERROR_NONE) {
    ++j9.allocated;
    info[1].params = reinterpret_cast<jvmtiParamInfo *>(params);
    memset(info[1].params, 0, sizeof(jvmtiParamInfo));
    info[1].params[0].name = j9_copy("description");
    info[1].param_count = 1;
  }
  *count = 2;
  *extensions = info;
  return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL j9_deallocate(jvmtiEnv *, unsigned char *memory) {
  if (memory != nullptr) ++j9.given_back;
  return j9.real->Deallocate(memory);
}

jvmtiError JNICALL j9_get_error_name(jvmtiEnv *, jvmtiError error, char **name) {
  return j9.real->GetErrorName(error, name);
}

}  // namespace

// Registers through the test's environment, then reports what the extension was given:
// "registered=B description=D alarm_null=B user_data_null=B id_slot=B other_calls=N given_back=N/M".
VORKEL_EXPORT jstring JNICALL Java_vorkel_test_GcProbe_registerThroughExtension(JNIEnv *jni, jclass) {
  j9.real = probe_main_env();
  if (j9.real == nullptr) return nullptr;
  j9.table.GetExtensionFunctions = j9_get_extension_functions;
  j9.table.Deallocate = j9_deallocate;
  j9.table.GetErrorName = j9_get_error_name;
  j9.env.functions = &j9.table;
  bool registered = ibm_gc_enable(&j9.env, jni);
  char text[256];
  snprintf(text, sizeof text,
           "registered=%s description=%s alarm_null=%s user_data_null=%s id_slot=%s other_calls=%d given_back=%d/%d",
           registered ? "true" : "false", j9.description, j9.alarm_null ? "true" : "false",
           j9.user_data_null ? "true" : "false", j9.id_slot_given ? "true" : "false", j9.other_calls.load(),
           j9.given_back.load(), j9.allocated.load());
  return jni->NewStringUTF(text);
}

VORKEL_EXPORT jint JNICALL Java_vorkel_test_GcProbe_registerCalls(JNIEnv *, jclass) { return j9.register_calls; }

// Hands each record to the kept subscriber as the VM would: NUL-terminated, with its length.
VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_GcProbe_push(JNIEnv *jni, jclass, jobjectArray records) {
  if (j9.subscriber == nullptr || records == nullptr) return JNI_FALSE;
  for (jsize i = 0; i < jni->GetArrayLength(records); ++i) {
    auto record = static_cast<jstring>(jni->GetObjectArrayElement(records, i));
    const char *text = jni->GetStringUTFChars(record, nullptr);
    if (text == nullptr) return JNI_FALSE;
    jvmtiError result = j9.subscriber(&j9.env, text, (jlong)strlen(text), nullptr);
    jni->ReleaseStringUTFChars(record, text);
    jni->DeleteLocalRef(record);
    if (result != JVMTI_ERROR_NONE) return JNI_FALSE;
  }
  return JNI_TRUE;
}

// One report pass on the calling thread, as the reporter thread makes it for an attached receiver.
VORKEL_EXPORT void JNICALL Java_vorkel_test_GcProbe_report(JNIEnv *jni, jclass, jobject target) {
  jclass impl = jni->FindClass("vorkel/runtime/agent/probes/gc/GarbageCollectionNativeImpl");
  if (impl == nullptr) return;
  jmethodID method = jni->GetMethodID(impl, "reportJ9Collections", "([Ljava/lang/String;[Ljava/lang/String;I[J)V");
  if (method != nullptr) ibm_gc_report(jni, target, method);
}
