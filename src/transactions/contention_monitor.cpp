// The contention probe: its configuration and natives, and the MonitorContendedEnter/Entered
// handlers that keep each transaction thread's wait in progress in the process-wide active list.
#include "transactions/contention_monitor.h"

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "transactions/contention_internal.h"
#include "core/hashmap.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "platform/proc_info.h"
#include "core/reflection.h"
#include "core/thread_info.h"
#include "transactions/thread_locals.h"

contention_record contention;

namespace {
std::atomic<contention_entered_hook> entered_hook{nullptr};
}  // namespace

void contention_set_entered_hook_for_tests(contention_entered_hook hook) { entered_hook = hook; }

namespace {

constexpr const char *LONG_WAIT_CONSTRUCTOR_SIGNATURE =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;JJLjava/lang/String;"
    "Ljava/lang/String;SSSSSS)V";
constexpr uint64_t EXCLUSION_ENTRY_SIZE = sizeof(hashmap_entry);  // keys only

// A map of the class hashes of the array's texts; null for a null or empty array. *failed tells a
// map that could not be made.
hashmap *contention_class_exclusions(JNIEnv *jni, jobjectArray array, bool *failed) {
  jsize length = array != nullptr ? jni->GetArrayLength(array) : 0;
  if (length <= 0) return nullptr;
  hashmap *map = hashmapCreateDefault((uint64_t)length, EXCLUSION_ENTRY_SIZE);
  if (map == nullptr) {
    *failed = true;
    return nullptr;
  }
  for (jsize i = 0; i < length; ++i) {
    auto element = static_cast<jstring>(jni->GetObjectArrayElement(array, i));
    {
      jni_utf_chars text(jni, element);
      if (text && hashmapPut(map, contention_class_hash(text.get()), nullptr) == nullptr) *failed = true;
    }
    if (element != nullptr) jni->DeleteLocalRef(element);
  }
  return map;
}

// Pairs of (declaring-class signature, method name); an odd last element is ignored.
hashmap *contention_method_exclusions(JNIEnv *jni, jobjectArray array, bool *failed) {
  jsize length = array != nullptr ? jni->GetArrayLength(array) : 0;
  if (length <= 0) return nullptr;
  hashmap *map = hashmapCreateDefault((uint64_t)(length / 2), EXCLUSION_ENTRY_SIZE);
  if (map == nullptr) {
    *failed = true;
    return nullptr;
  }
  for (jsize k = 0; 2 * k < length - 1; ++k) {
    auto declaring = static_cast<jstring>(jni->GetObjectArrayElement(array, 2 * k));
    auto method = static_cast<jstring>(jni->GetObjectArrayElement(array, 2 * k + 1));
    {
      jni_utf_chars declaring_text(jni, declaring), method_text(jni, method);
      if (declaring_text && method_text &&
          hashmapPut(map, contention_method_hash(declaring_text.get(), method_text.get()), nullptr) == nullptr) {
        *failed = true;
      }
    }
    if (declaring != nullptr) jni->DeleteLocalRef(declaring);
    if (method != nullptr) jni->DeleteLocalRef(method);
  }
  return map;
}

}  // namespace

void contention_pre_initialise() {
  contention.minimum_wait = ms_to_hires_duration(30);
  contention.detection_lookahead = ms_to_hires_duration(120);
  agent_mutex_guard guard(contention.lock);
  if (contention.active.next == nullptr) {
    contention.active.next = &contention.active;
    contention.active.prev = &contention.active.next;
    contention.active.self = nullptr;
  }
}

void contention_set_supported() {
  agent_mutex_guard guard(contention.lock);
  contention.supported = 1;
}

void contention_set_blockers_supported() {
  agent_mutex_guard guard(contention.lock);
  contention.blockers_supported = 1;
}

void contention_set_virtual_owners_supported() {
  agent_mutex_guard guard(contention.lock);
  contention.virtual_owners_supported = 1;
}

bool contention_supported() {
  agent_mutex_guard guard(contention.lock);
  return contention.supported != 0;
}

bool contention_blockers_supported() {
  agent_mutex_guard guard(contention.lock);
  return contention.blockers_supported != 0;
}

void contention_locals_init(contention_locals *locals) { locals->thread_number = getCurrentThreadId(); }

void contention_take_out_entry(contention_active_entry *entry, contention_wait_outcome *outcome) {
  if (entry->detection_slot != nullptr) entry->detection_slot->entry = nullptr;
  contention_list_unlink(entry);
  --contention.active_count;
  outcome->start = entry->start;
  outcome->threshold = entry->threshold;
  outcome->monitor = entry->monitor;
  outcome->blocker_name = entry->blocker_name;
  outcome->blocker_stack = entry->blocker_stack;
  outcome->blocker_thread = entry->blocker_thread;
  outcome->detection_attempts = entry->detection_attempts;
  outcome->detections_confirmed = entry->detections_confirmed;
  memcpy(outcome->detection_failures, entry->detection_failures, sizeof outcome->detection_failures);
  memset(entry, 0, sizeof *entry);
}

void contention_locals_free(contention_locals *locals, JNIEnv *jni) {
  // Only the owning thread links or unlinks its entry, so an unlinked one needs no lock: it is zero.
  if (locals->active.link.next != nullptr) {
    contention_wait_outcome outcome{};
    {
      agent_mutex_guard guard(contention.lock);
      contention_take_out_entry(&locals->active, &outcome);
    }
    if (jni != nullptr && outcome.monitor != nullptr) jni->DeleteGlobalRef(outcome.monitor);
    if (jni != nullptr && outcome.blocker_thread != nullptr) jni->DeleteGlobalRef(outcome.blocker_thread);
    free(outcome.blocker_name);
    free(outcome.blocker_stack);
  }
  contention_free_long_waits(locals);
}

void JNICALL contention_active_thread_enter(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object) {
  if (!contention.enabled.load(std::memory_order_relaxed)) return;
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return;
  contention_locals &locals = transaction->contention;
  contention_active_entry &entry = locals.active;
  if (entry.link.next != nullptr) {
    log_error_raw(jni, "Thread %d entered: active entry already present. (%s:%d)", (int)locals.thread_number,
                  "contention_active_thread_enter", __LINE__);
    return;
  }
  jobject monitor = jni->NewGlobalRef(object);
  if (monitor == nullptr) return;
  int64_t start = (int64_t)perfCounterCurrent();
  bool linked = false;
  {
    agent_mutex_guard guard(contention.lock);
    if (contention.enabled.load(std::memory_order_relaxed)) {
      memset(&entry, 0, sizeof entry);
      entry.start = start;
      entry.threshold = transaction->contributor_threshold;
      entry.monitor = monitor;
      contention_list_link_tail(&entry);
      ++contention.active_count;
      linked = true;
    }
  }
  if (!linked) jni->DeleteGlobalRef(monitor);
}

// Runs while the thread holds the monitor it waited for: below the 30 ms floor it costs the unlink,
// a clock read and a compare.
void JNICALL contention_active_thread_entered(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object) {
  thread_transaction_state *transaction = thread_current_transaction();
  if (transaction == nullptr) return;
  contention_locals &locals = transaction->contention;
  if (locals.active.link.next == nullptr) return;
  contention_wait_outcome outcome;
  bool enabled;
  {
    agent_mutex_guard guard(contention.lock);
    enabled = contention.enabled.load(std::memory_order_relaxed) != 0;
    contention_take_out_entry(&locals.active, &outcome);
  }
  int64_t elapsed = (int64_t)perfCounterCurrent() - outcome.start;
  if (outcome.blocker_thread != nullptr) {
    // A detection that ran after this thread got the monitor but before this handler saw its own
    // thread as the owner: the wait had ended, so that is a missed detection, not a blocker.
    if (jni->IsSameObject(outcome.blocker_thread, thread)) {
      free(outcome.blocker_name);
      free(outcome.blocker_stack);
      outcome.blocker_name = outcome.blocker_stack = nullptr;
      outcome.detections_confirmed -= 1;
      agent_mutex_guard guard(contention.lock);
      contention.missed_detections += 1;
    }
    jni->DeleteGlobalRef(outcome.blocker_thread);
  }
  if (enabled && elapsed >= outcome.threshold && elapsed >= contention.minimum_wait) {
    contention_record_long_wait(jvmti, jni, thread, object, &locals, hires_duration_to_ms(elapsed), &outcome);
  }
  if (outcome.monitor != nullptr) jni->DeleteGlobalRef(outcome.monitor);
  free(outcome.blocker_name);
  free(outcome.blocker_stack);
  if (contention_entered_hook hook = entered_hook.load(std::memory_order_relaxed)) hook(jni);
}

VORKEL_EXPORT jboolean JNICALL
Java_vorkel_runtime_agent_probes_contention_LockContentionNativeImpl_isSupported(JNIEnv *jni, jobject receiver) {
  return contention_supported() ? JNI_TRUE : JNI_FALSE;
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_probes_contention_LockContentionNativeImpl_configure(
    JNIEnv *jni, jobject receiver, jobjectArray excluded_classes, jobjectArray excluded_methods, jclass summary_class,
    jclass long_wait_class) {
  agent_mutex_guard configure_guard(contention.configure_lock);
  {
    agent_mutex_guard guard(contention.lock);
    if (contention.configured || contention.enabled || !contention.supported) return JNI_FALSE;
  }
  agent_globals_record *globals = agent_globals;
  if (summary_class == nullptr || long_wait_class == nullptr || globals == nullptr || globals->jvmti == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Cannot configure lock contention without its summary and long wait classes.",
                  "contention_configure_reflection", __LINE__);
    return JNI_FALSE;
  }
  bool failed = false;
  hashmap *classes = contention_class_exclusions(jni, excluded_classes, &failed);
  hashmap *methods = contention_method_exclusions(jni, excluded_methods, &failed);
  auto summary = static_cast<jclass>(reflection_global(jni, summary_class));
  auto long_wait = static_cast<jclass>(reflection_global(jni, long_wait_class));
  jmethodID summary_constructor = nullptr;
  jmethodID long_wait_constructor = nullptr;
  if (failed) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to create the lock contention exclusions.", "contention_configure",
                  __LINE__);
  } else {
    summary_constructor =
        reflection_find_method_with_format(globals->jvmti, jni, summary, "<init>", "([%sI)V", long_wait);
    if (summary_constructor == nullptr) {
      log_error_raw(jni, "%s (%s:%d)", "Failed to find lock contention summary constructor.",
                    "contention_configure_reflection", __LINE__);
    } else {
      long_wait_constructor = reflection_find_method(jni, long_wait, "<init>", LONG_WAIT_CONSTRUCTOR_SIGNATURE);
      if (long_wait_constructor == nullptr) {
        log_error_raw(jni, "%s (%s:%d)", "Failed to find lock contention long wait constructor.",
                      "contention_configure_reflection", __LINE__);
      }
    }
  }
  if (summary == nullptr || long_wait == nullptr || long_wait_constructor == nullptr) {
    if (classes != nullptr) hashmapFree(classes);
    if (methods != nullptr) hashmapFree(methods);
    reflection_delete_global(jni, summary);
    reflection_delete_global(jni, long_wait);
    return JNI_FALSE;
  }
  agent_mutex_guard guard(contention.lock);
  contention.configured = 1;
  contention.excluded_classes = classes;
  contention.excluded_methods = methods;
  contention.summary_class = summary;
  contention.summary_constructor = summary_constructor;
  contention.long_wait_class = long_wait;
  contention.long_wait_constructor = long_wait_constructor;
  return JNI_TRUE;
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_probes_contention_LockContentionNativeImpl_setEnabled(
    JNIEnv *jni, jobject receiver, jboolean enable) {
  agent_mutex_guard guard(contention.lock);
  if (enable != JNI_TRUE) {
    contention.enabled = 0;
    return JNI_TRUE;
  }
  if (contention.configured) contention.enabled = 1;
  return contention.enabled ? JNI_TRUE : JNI_FALSE;
}
