#include "statistics/classloader_tracker.h"

#include <atomic>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "core/reflection.h"
#include "core/tag_access.h"

namespace {

constexpr const char *DEFERRED_CLASS = "vorkel/runtime/agent/instrumentation/deferred/DeferredTransformationNativeImpl";
constexpr const char *ON_CLASS_LINKED_SIGNATURE = "(Ljava/lang/ClassLoader;Ljava/lang/Class;)V";

struct {
  hashmap *loaders;                 // permanent loader tag -> cltracker_loader_info
  uint32_t next_loader_number = 1;  // incremented before each use: the first loader is number 2
  agent_mutex lock;                 // guards loaders and next_loader_number; no JNI or JVMTI under it
  // Serialises giving a loader its first tag, so that two threads preparing the first classes of
  // one loader at once cannot give it two numbers (and leave an entry no object carries). It is
  // never taken by ObjectFree, so holding it across the tag calls cannot block a collection.
  agent_mutex tagging_lock;
  // Guards replacing deferred_instance against readers taking a reference to it.
  agent_mutex instance_lock;
  jclass deferred_class;
  std::atomic<jmethodID> on_class_linked;
  std::atomic<jobject> deferred_instance;
} tracker;

// A local reference to the attached receiver of onClassLinked, or null.
jobject cltracker_receiver(JNIEnv *jni) {
  if (tracker.deferred_instance.load(std::memory_order_acquire) == nullptr) return nullptr;
  agent_mutex_guard guard(tracker.instance_lock);
  jobject instance = tracker.deferred_instance.load(std::memory_order_relaxed);
  return instance != nullptr ? jni->NewLocalRef(instance) : nullptr;
}

jobject cltracker_get_loader(jvmtiEnv *jvmti, jclass klass) {
  jobject loader = nullptr;
  if (!check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetClassLoader(klass, &loader),
                                      "Failed to get classloader for new class.")) {
    return nullptr;
  }
  return loader;
}

// The permanent tag that keys a loader, giving it a tracker tag when it has none; 0 when it
// cannot be had.
uint64_t cltracker_loader_key(jvmtiEnv *jvmti, jobject loader) {
  uint64_t raw = tag_access_get_tag(jvmti, loader);
  uint64_t key = tag_access_get_permanent_tag(raw);
  if (key != 0) return key;
  // A temporary tag over an untagged loader belongs to a running snapshot: leave it alone.
  if (raw != 0) return 0;
  agent_mutex_guard guard(tracker.tagging_lock);
  raw = tag_access_get_tag(jvmti, loader);  // another thread may have tagged it meanwhile
  if (raw != 0) return tag_access_get_permanent_tag(raw);
  uint32_t number;
  {
    agent_mutex_guard tracker_guard(tracker.lock);
    number = ++tracker.next_loader_number;
  }
  key = tag_make_classloader(number);
  return tag_access_set_tag(jvmti, loader, key) ? key : 0;
}

void cltracker_clear_listener_failure(jvmtiEnv *jvmti, JNIEnv *jni, jclass klass) {
  jthrowable failure = jni->ExceptionOccurred();
  jni->ExceptionClear();
  char *exception_signature = nullptr;
  char *class_signature = nullptr;
  jclass exception_class = failure != nullptr ? jni->GetObjectClass(failure) : nullptr;
  if (exception_class != nullptr) jvmti->GetClassSignature(exception_class, &exception_signature, nullptr);
  jvmti->GetClassSignature(klass, &class_signature, nullptr);
  log_error_raw(jni,
                "onClassLinked threw %s for class %s; the exception was cleared and the class load goes on. (%s:%d)",
                exception_signature != nullptr ? exception_signature : "an exception",
                class_signature != nullptr ? class_signature : "(unknown)", "cltracker_class_load_event", 80);
  if (exception_signature != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(exception_signature));
  if (class_signature != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(class_signature));
  if (exception_class != nullptr) jni->DeleteLocalRef(exception_class);
  if (failure != nullptr) jni->DeleteLocalRef(failure);
}

}  // namespace

void cltracker_pre_initialise() {
  // The locks are made on their first use: the tagging environment's events
  // may already run on other threads (a load from the Java half), so they are not made again.
  agent_mutex_guard guard(tracker.lock);
  if (tracker.loaders == nullptr) {
    tracker.loaders = hashmapCreateDefault(CLTRACKER_INITIAL_ENTRIES, hashmap_entry_size<cltracker_loader_info>());
    if (tracker.loaders == nullptr) {
      log_error_raw(nullptr, "%s (%s:%d)", "Failed to create the classloader map.", "cltracker_pre_initialise", 20);
    }
  }
  tracker.next_loader_number = 1;
}

bool cltracker_initialise(JNIEnv *jni) {
  jclass klass = reflection_find_class(jni, DEFERRED_CLASS);
  if (klass == nullptr) {
    log_error_raw(jni, "Failed to find DeferredTransformationNativeImpl class (%s:%d)", "cltracker_initialise", 30);
    return false;
  }
  if (tracker.deferred_class == nullptr) tracker.deferred_class = static_cast<jclass>(reflection_global(jni, klass));
  jmethodID method = reflection_find_method(jni, klass, "onClassLinked", ON_CLASS_LINKED_SIGNATURE);
  jni->DeleteLocalRef(klass);
  if (method == nullptr) {
    log_error_raw(jni, "Failed to find DeferredTransformationNativeImpl method onClassLinked (%s:%d)",
                  "cltracker_initialise", 35);
    return false;
  }
  tracker.on_class_linked.store(method, std::memory_order_release);
  return true;
}

void JNICALL cltracker_class_load_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass) {
  // Nothing to forward before the Java half attached; skip the loader query then.
  jmethodID method = tracker.on_class_linked.load(std::memory_order_acquire);
  if (jni == nullptr || method == nullptr || tracker.deferred_instance.load(std::memory_order_acquire) == nullptr) {
    return;
  }
  jobject loader = cltracker_get_loader(jvmti, klass);
  if (loader == nullptr) return;  // bootstrap classes are not forwarded
  jobject receiver = cltracker_receiver(jni);
  if (receiver != nullptr) {
    jni->CallVoidMethod(receiver, method, loader, klass);
    jni->DeleteLocalRef(receiver);
    // An exception left pending here would be thrown by the application's own class load (the
    // JVM hands it on to the code that loaded the class): the listener's failure stays ours.
    if (jni->ExceptionCheck()) cltracker_clear_listener_failure(jvmti, jni, klass);
  }
  jni->DeleteLocalRef(loader);
}

void JNICALL cltracker_class_prepare_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass) {
  jobject loader = cltracker_get_loader(jvmti, klass);
  if (loader == nullptr) return;
  uint64_t key = cltracker_loader_key(jvmti, loader);
  if (jni != nullptr) jni->DeleteLocalRef(loader);
  if (key == 0) return;

  agent_mutex_lock(tracker.lock);
  if (tracker.loaders == nullptr) {
    agent_mutex_unlock(tracker.lock);
    return;
  }
  int created = 0;
  hashmap_entry *entry = hashmapPut(tracker.loaders, key, &created);
  if (entry == nullptr) {
    agent_mutex_unlock(tracker.lock);
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to add classloader info to map.", "cltracker_class_prepare_event",
                  102);
    return;
  }
  if (created) hashmap_value<cltracker_loader_info>(entry)->first_seen = perfCounterCurrent();
  agent_mutex_unlock(tracker.lock);
}

void cltracker_object_free(jvmtiEnv *jvmti, uint64_t tag) {
  agent_mutex_guard guard(tracker.lock);
  if (tracker.loaders != nullptr) hashmapRemove(tracker.loaders, tag);
}

void cltracker_update_tag(uint64_t old_tag, uint64_t new_tag) {
  if (old_tag == new_tag) return;
  agent_mutex_lock(tracker.lock);
  hashmap_entry *old_entry = tracker.loaders != nullptr ? hashmapGet(tracker.loaders, old_tag) : nullptr;
  if (old_entry == nullptr) {
    agent_mutex_unlock(tracker.lock);
    return;
  }
  uint64_t first_seen = hashmap_value<cltracker_loader_info>(old_entry)->first_seen;
  hashmap_entry *new_entry = hashmapPut(tracker.loaders, new_tag, nullptr);
  if (new_entry == nullptr) {
    agent_mutex_unlock(tracker.lock);
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to add updated classloader info to map.", "cltracker_update_tag", 126);
    return;
  }
  hashmap_value<cltracker_loader_info>(new_entry)->first_seen = first_seen;
  hashmapRemove(tracker.loaders, old_tag);
  agent_mutex_unlock(tracker.lock);
}

void cltracker_store_temporary_tag(uint64_t permanent_tag, uint64_t temporary_tag) {
  agent_mutex_guard guard(tracker.lock);
  hashmap_entry *entry = tracker.loaders != nullptr ? hashmapGet(tracker.loaders, permanent_tag) : nullptr;
  if (entry != nullptr) hashmap_value<cltracker_loader_info>(entry)->temporary_tag = temporary_tag;
}

void cltracker_enumerate(hashmap_visitor visitor, void *context) {
  agent_mutex_guard guard(tracker.lock);
  if (tracker.loaders != nullptr) hashmapForEach(tracker.loaders, visitor, context);
}

// ---------------------------------------------------------------------------------------------
// Natives

// Makes the receiver the Java half's listener of class loads.
VORKEL_EXPORT void JNICALL
Java_vorkel_runtime_agent_instrumentation_deferred_DeferredTransformationNativeImpl_attach(JNIEnv *jni, jobject self) {
  jobject instance = reflection_global(jni, self);
  jobject previous;
  {
    agent_mutex_guard guard(tracker.instance_lock);
    previous = tracker.deferred_instance.exchange(instance, std::memory_order_acq_rel);
  }
  // Threads forwarding a class load hold local references of their own to the previous one.
  reflection_delete_global(jni, previous);
}

VORKEL_EXPORT jclass JNICALL Java_vorkel_runtime_agent_instrumentation_ClassLoadingNativeImpl_defineClass(
    JNIEnv *jni, jclass, jstring name, jobject loader, jbyteArray bytes, jint offset, jint length) {
  jni_utf_chars name_chars(jni, name);
  if (!name_chars || bytes == nullptr) {
    log_error_raw(jni, "Unwrapping defineClass name or buffer argument failed.");
    return nullptr;
  }
  // JNI reads length bytes from the given address unchecked: the range must lie inside the array.
  jsize array_length = jni->GetArrayLength(bytes);
  if (offset < 0 || length < 0 || (int64_t)offset + (int64_t)length > (int64_t)array_length) {
    log_error_raw(jni, "Cannot define class %s: offset %d and length %d lie outside the byte array of %d bytes.",
                  name_chars.get(), (int)offset, (int)length, (int)array_length);
    return nullptr;
  }
  jbyte *elements = jni->GetByteArrayElements(bytes, nullptr);
  if (elements == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Unwrapping defineClass name or buffer argument failed.");
    return nullptr;
  }
  jclass defined = jni->DefineClass(name_chars.get(), loader, elements + offset, length);
  if (defined == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Failed to define class %s in target classloader.", name_chars.get());
  }
  // Nothing was changed: the copy is dropped without writing it back over the Java array.
  jni->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
  return defined;
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_instrumentation_ClassLoadingNativeImpl_addModuleRead(
    JNIEnv *jni, jclass, jobject module, jobject other_module) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->jvmti == nullptr) {
    log_error_raw(jni, "addModuleRead: the native agent is not loaded.");
    throw_vorkel_exception(jni, "addModuleRead: the native agent is not loaded");
    return JNI_FALSE;
  }
  if (!globals->jvmti_9_or_later) return JNI_TRUE;  // no modules before Java 9
  if (module == nullptr || other_module == nullptr) {
    const char *which = module == nullptr ? "module" : "other module";
    log_error_raw(jni, "addModuleRead: the %s is null, no read added.", which);
    throw_vorkel_exception(jni, "addModuleRead: the %s is null", which);
    return JNI_FALSE;
  }
  if (!check_jvmti_error(jni, globals->jvmti, globals->jvmti->AddModuleReads(module, other_module),
                         "Failed to add module read.")) {
    return JNI_FALSE;
  }
  return JNI_TRUE;
}
