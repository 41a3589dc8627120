// Long-wait records of the contention probe: made by the Entered handler when a wait qualifies,
// turned into Java objects and freed when the transaction's summaries are fetched.
#include <cstdlib>
#include <cstring>

#include "core/agent_util.h"
#include "transactions/contention_internal.h"
#include "core/hashmap.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "base/string_util.h"
#include "core/thread_info.h"

namespace {

constexpr size_t STACK_BUFFER_SIZE = 32768;

void free_long_wait(contention_long_wait *wait) {
  free(wait->lock_class);
  free(wait->thread_name);
  free(wait->declaring_class);
  free(wait->method_name);
  free(wait->stack);
  free(wait->blocker_name);
  free(wait->blocker_stack);
  free(wait);
}

// A copy of a JVMTI string (deallocated here), or of "unknown" when there is none.
char *take_jvmti_text(jvmtiEnv *jvmti, char *text) {
  char *copy = string_duplicate(text != nullptr ? text : "unknown");
  if (text != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(text));
  return copy;
}

// The method the thread waited in: its name and its declaring class's signature, "unknown" for
// what the JVM does not tell.
void method_facts(jvmtiEnv *jvmti, JNIEnv *jni, jmethodID method, contention_long_wait *wait) {
  char *name = nullptr;
  jvmtiError error = jvmti->GetMethodName(method, &name, nullptr, nullptr);
  if (error != JVMTI_ERROR_NONE) {
    log_error_raw(jni, "Failed to get method name (error %d). (%s:%d)", (int)error, "contention_record_long_wait",
                  __LINE__);
    name = nullptr;
  }
  wait->method_name = take_jvmti_text(jvmti, name);
  char *signature = nullptr;
  jclass declaring = nullptr;
  error = jvmti->GetMethodDeclaringClass(method, &declaring);
  if (error != JVMTI_ERROR_NONE) {
    log_error_raw(jni, "Failed to get declaring class (error %d). (%s:%d)", (int)error, "contention_record_long_wait",
                  __LINE__);
  } else {
    error = jvmti->GetClassSignature(declaring, &signature, nullptr);
    if (error != JVMTI_ERROR_NONE) {
      log_error_raw(jni, "Failed to get declaring class signature (error %d). (%s:%d)", (int)error,
                    "contention_record_long_wait", __LINE__);
      signature = nullptr;
    }
    jni->DeleteLocalRef(declaring);
  }
  wait->declaring_class = take_jvmti_text(jvmti, signature);
}

// The signature of the contended object's class, unless the class is excluded; null then or on failure.
char *lock_class_signature(jvmtiEnv *jvmti, JNIEnv *jni, jobject object) {
  jclass klass = jni->GetObjectClass(object);
  if (klass == nullptr) return nullptr;
  char *signature = nullptr;
  jvmtiError error = jvmti->GetClassSignature(klass, &signature, nullptr);
  jni->DeleteLocalRef(klass);
  if (error != JVMTI_ERROR_NONE) {
    log_error_raw(jni, "Unable to get class signature (error %d). (%s:%d)", (int)error, "contention_record_long_wait",
                  __LINE__);
    return nullptr;
  }
  char *copy = nullptr;
  if (contention.excluded_classes == nullptr ||
      !hashmapContainsKey(contention.excluded_classes, contention_class_hash(signature))) {
    copy = string_duplicate(signature);
  }
  jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
  return copy;
}

jstring new_string(JNIEnv *jni, const char *text, bool *failed) {
  if (text == nullptr || *failed) return nullptr;
  jstring string = jni->NewStringUTF(text);
  if (string == nullptr) *failed = true;
  return string;
}

// The Java long-wait object of one record, or null (logged).
jobject instantiate_wait(JNIEnv *jni, const contention_long_wait *wait) {
  bool failed = false;
  jstring texts[7] = {new_string(jni, wait->thread_name, &failed),     new_string(jni, wait->lock_class, &failed),
                      new_string(jni, wait->declaring_class, &failed), new_string(jni, wait->method_name, &failed),
                      new_string(jni, wait->stack, &failed),           new_string(jni, wait->blocker_name, &failed),
                      new_string(jni, wait->blocker_stack, &failed)};
  jobject object = nullptr;
  if (!failed) {
    object = jni->NewObject(contention.long_wait_class, contention.long_wait_constructor, texts[0], texts[1], texts[2],
                            texts[3], texts[4], (jlong)wait->duration_ms, (jlong)wait->start_ms, texts[5], texts[6],
                            (jshort)wait->detection_attempts, (jshort)wait->detections_confirmed,
                            (jshort)wait->detection_failures[0], (jshort)wait->detection_failures[1],
                            (jshort)wait->detection_failures[2], (jshort)wait->detection_failures[3]);
  }
  if (object == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", "Failed to create wait info object.", "contention_log_instantiate_wait", __LINE__);
  }
  for (jstring text : texts) {
    if (text != nullptr) jni->DeleteLocalRef(text);
  }
  return object;
}

}  // namespace

void contention_free_long_waits(contention_locals *locals) {
  for (contention_long_wait *wait = locals->long_waits; wait != nullptr;) {
    contention_long_wait *next = wait->next;
    free_long_wait(wait);
    wait = next;
  }
  locals->long_waits = nullptr;
  locals->long_wait_count = 0;
}

void contention_record_long_wait(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object,
                                 contention_locals *locals, int64_t duration_ms, contention_wait_outcome *outcome) {
  if (locals->flushing || locals->long_wait_count >= CONTENTION_MAX_LONG_WAITS) return;
  char *lock_class = lock_class_signature(jvmti, jni, object);
  if (lock_class == nullptr) return;
  auto *wait = static_cast<contention_long_wait *>(calloc(1, sizeof(contention_long_wait)));
  if (wait == nullptr) {
    free(lock_class);
    return;
  }
  wait->lock_class = lock_class;
  wait->thread_name = thread_get_name(jni, jvmti, thread);
  if (wait->thread_name == nullptr) {
    free_long_wait(wait);
    return;
  }
  jmethodID method = nullptr;
  jlocation location = 0;
  if (!check_jvmti_error_no_exception(jni, jvmti, jvmti->GetFrameLocation(nullptr, 0, &method, &location),
                                      "Failed to get frame location for lock.") ||
      method == nullptr) {
    free_long_wait(wait);
    return;
  }
  method_facts(jvmti, jni, method, wait);
  if (wait->method_name == nullptr || wait->declaring_class == nullptr ||
      (contention.excluded_methods != nullptr &&
       hashmapContainsKey(contention.excluded_methods,
                          contention_method_hash(wait->declaring_class, wait->method_name)))) {
    free_long_wait(wait);
    return;
  }
  char *stack = static_cast<char *>(malloc(STACK_BUFFER_SIZE));
  if (stack == nullptr || !thread_get_stack_trace(jvmti, nullptr, stack, STACK_BUFFER_SIZE, jni)) {
    free(stack);
    log_error_raw(jni, "%s (%s:%d)", "Failed to record stack trace for long lock contention time.",
                  "contention_record_long_wait", __LINE__);
    free_long_wait(wait);
    return;
  }
  wait->stack = string_reallocate(stack);
  wait->duration_ms = duration_ms;
  wait->start_ms = currentTimeMillis() - duration_ms;
  wait->blocker_name = outcome->blocker_name;
  wait->blocker_stack = outcome->blocker_stack;
  outcome->blocker_name = nullptr;
  outcome->blocker_stack = nullptr;
  wait->detection_attempts = outcome->detection_attempts;
  wait->detections_confirmed = outcome->detections_confirmed;
  memcpy(wait->detection_failures, outcome->detection_failures, sizeof wait->detection_failures);
  wait->next = locals->long_waits;
  locals->long_waits = wait;
  locals->long_wait_count += 1;
  locals->root_cause_found = 1;
}

jobject contention_log_flush_transaction(JNIEnv *jni, contention_locals *transaction_locals) {
  if (transaction_locals == nullptr) return nullptr;
  contention_locals &locals = *transaction_locals;
  if (!contention.enabled.load(std::memory_order_relaxed) || locals.long_wait_count == 0) return nullptr;
  locals.flushing = 1;
  jobjectArray array = jni->NewObjectArray((jsize)locals.long_wait_count, contention.long_wait_class, nullptr);
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", "Failed to create probe thread or method info array.",
                  "contention_log_flush_transaction", __LINE__);
    locals.flushing = 0;
    return nullptr;
  }
  jsize index = 0;
  for (contention_long_wait *wait = locals.long_waits; wait != nullptr && (uint32_t)index < locals.long_wait_count;
       wait = wait->next) {
    jobject object = instantiate_wait(jni, wait);
    if (object == nullptr) continue;
    jni->SetObjectArrayElement(array, index, object);
    if (jni->ExceptionCheck()) {
      jni->ExceptionClear();
      log_error_raw(jni, "%s (%s:%d)", "Failed to set contention log array element.",
                    "contention_log_flush_transaction", __LINE__);
    }
    jni->DeleteLocalRef(object);
    ++index;
  }
  uint32_t missed;
  {
    agent_mutex_guard guard(contention.lock);
    missed = contention.missed_detections;
    contention.missed_detections = 0;
  }
  jobject summary = jni->NewObject(contention.summary_class, contention.summary_constructor, array, (jint)missed);
  if (summary == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "%s (%s:%d)", "Failed to create contention summary object.", "contention_log_flush_transaction",
                  __LINE__);
  }
  jni->DeleteLocalRef(array);
  contention_free_long_waits(&locals);
  locals.flushing = 0;
  return summary;
}
