// Test-kit natives of vorkel.test.TagThreadProbe: object tags, the class loader tracker, thread
// records and stack texts, reached from Java on real JVMTI and JNI environments.
#include <jni.h>
#include <jvmti.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_init.h"
#include "core/agent_util.h"
#include "statistics/classloader_tracker.h"
#include "base/common.h"
#include "probe_kit.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"
#include "core/thread_info.h"
#include "transactions/thread_locals.h"

namespace {

tag_backup *probe_backup;

jobjectArray string_array(JNIEnv *jni, const std::vector<std::string> &texts) {
  jclass string_class = jni->FindClass("java/lang/String");
  jobjectArray array = jni->NewObjectArray((jsize)texts.size(), string_class, nullptr);
  for (size_t i = 0; array != nullptr && i < texts.size(); ++i) {
    jstring text = jni->NewStringUTF(texts[i].c_str());
    jni->SetObjectArrayElement(array, (jsize)i, text);
    jni->DeleteLocalRef(text);
  }
  return array;
}

}  // namespace

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TagThreadProbe_tagOf(JNIEnv *, jclass, jobject object) {
  return (jlong)tag_access_get_tag(probe_tag_env(), object);
}

// Every tracked loader as (tag, first seen, temporary tag) triples.
VORKEL_EXPORT jlongArray JNICALL Java_vorkel_test_TagThreadProbe_trackedLoaders(JNIEnv *jni, jclass) {
  std::vector<jlong> values;
  cltracker_enumerate(
      [](hashmap_entry *entry, void *context) {
        auto *out = static_cast<std::vector<jlong> *>(context);
        const auto *info = hashmap_value<cltracker_loader_info>(entry);
        out->push_back((jlong)entry->key);
        out->push_back((jlong)info->first_seen);
        out->push_back((jlong)info->temporary_tag);
        return true;
      },
      &values);
  jlongArray array = jni->NewLongArray((jsize)values.size());
  if (array != nullptr) jni->SetLongArrayRegion(array, 0, (jsize)values.size(), values.data());
  return array;
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_TagThreadProbe_storeTemporaryTag(JNIEnv *, jclass, jlong permanent,
                                                                             jlong temporary) {
  cltracker_store_temporary_tag((uint64_t)permanent, (uint64_t)temporary);
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_TagThreadProbe_updateTag(JNIEnv *, jclass, jlong old_tag, jlong new_tag) {
  cltracker_update_tag((uint64_t)old_tag, (uint64_t)new_tag);
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_test_TagThreadProbe_setTag(JNIEnv *, jclass, jobject object, jlong tag) {
  return tag_access_set_tag(probe_tag_env(), object, (uint64_t)tag) ? JNI_TRUE : JNI_FALSE;
}

// Posts the ObjectFree events of what was collected; the number of tagged objects seen, or -1.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TagThreadProbe_flushObjectFree(JNIEnv *, jclass) {
  return probe_count_tagged();
}

// What a snapshot does to an object: its tag goes into a registered backup and a temporary tag
// replaces it. Returns the temporary tag, or 0.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TagThreadProbe_hideUnderTemporaryTag(JNIEnv *, jclass, jobject object) {
  if (probe_backup == nullptr) {
    probe_backup = tag_backup_setup();
    if (probe_backup == nullptr) return 0;
    tag_backup_record(probe_backup, 0);  // index 0 stays an untagged object
    tag_access_register_backup(probe_backup);
  }
  uint64_t index = tag_backup_record(probe_backup, tag_access_get_tag(probe_tag_env(), object));
  uint64_t temporary = tag_make_temporary(index + 1, TAG_KIND_TEMPORARY_CLASS_TAGGED);
  return tag_access_set_tag(probe_tag_env(), object, temporary) ? (jlong)temporary : 0;
}

VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TagThreadProbe_permanentTag(JNIEnv *, jclass, jlong tag) {
  return (jlong)tag_access_get_permanent_tag((uint64_t)tag);
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_TagThreadProbe_dropBackup(JNIEnv *, jclass) {
  tag_access_deregister_backup();
  tag_backup_release(probe_backup);
  probe_backup = nullptr;
}

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_TagThreadProbe_stackText(JNIEnv *jni, jclass, jthread thread,
                                                                        jint size) {
  std::vector<char> storage((size_t)size + 16, 'x');
  if (!thread_get_stack_trace(probe_main_env(), thread, storage.data(), (size_t)size, jni)) return nullptr;
  // Nothing may be written beyond the storage's size.
  for (size_t i = (size_t)size; i < storage.size(); ++i) {
    if (storage[i] != 'x') return jni->NewStringUTF("OVERRUN");
  }
  return jni->NewStringUTF(storage.data());
}

// Every thread of one dump as "name\nstack text", with a stack storage of the given size; the
// thread given (when not null) is marked by a leading '*'.
VORKEL_EXPORT jobjectArray JNICALL Java_vorkel_test_TagThreadProbe_threadDump(JNIEnv *jni, jclass, jint size,
                                                                              jthread marked) {
  jvmtiEnv *jvmti = probe_main_env();
  thread_dump dump;
  if (!thread_dump_init(jvmti, &dump, jni)) return nullptr;
  std::vector<std::string> texts;
  std::vector<char> storage((size_t)size);
  for (int32_t i = 0; i < dump.thread_count; ++i) {
    jni_local_frame frame(jni, 16);
    jthread thread = dump.stack_info[i].thread;
    char *name = thread_get_name(jni, jvmti, thread);
    thread_dump_format_stack_trace(jvmti, &dump, i, storage.data(), storage.size());
    bool is_marked = marked != nullptr && jni->IsSameObject(thread, marked);
    texts.push_back(std::string(is_marked ? "*" : "") + (name != nullptr ? name : "(none)") + "\n" + storage.data());
    free(name);
  }
  // An index outside the dump gives nothing.
  bool refused = !thread_dump_format_stack_trace(jvmti, &dump, dump.thread_count, storage.data(), storage.size()) &&
                 storage[0] == '\0';
  thread_dump_close(jvmti, &dump);
  if (!refused) texts.push_back("INDEX-NOT-REFUSED");
  return string_array(jni, texts);
}

namespace {

struct local_root_count {
  jlong thread_id;
  jlong count;
};

jint JNICALL count_local_root(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo *info, jlong, jlong, jlong,
                              jlong *, jlong *, jint, void *user_data) {
  auto *counted = static_cast<local_root_count *>(user_data);
  if (kind == JVMTI_HEAP_REFERENCE_JNI_LOCAL && info->jni_local.thread_id == counted->thread_id) ++counted->count;
  return 0;  // the roots only
}

// The JNI local references the calling thread holds now, as the heap walk reports its roots.
jlong own_local_roots(JNIEnv *jni, jvmtiEnv *jvmti) {
  jclass thread_class = jni->FindClass("java/lang/Thread");
  jobject current = jni->CallStaticObjectMethod(
      thread_class, jni->GetStaticMethodID(thread_class, "currentThread", "()Ljava/lang/Thread;"));
  if (jni->ExceptionCheck()) return -1;
  local_root_count counted{jni->CallLongMethod(current, jni->GetMethodID(thread_class, "getId", "()J")), 0};
  if (jni->ExceptionCheck()) return -1;
  jni->DeleteLocalRef(current);
  jni->DeleteLocalRef(thread_class);
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = count_local_root;
  if (jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &counted) != JVMTI_ERROR_NONE) return -1;
  return counted.count;
}

}  // namespace

// How many local references one whole thread dump, formatted thread by thread as the snapshot
// does, leaves behind in the calling native.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_TagThreadProbe_localsLeftByThreadDump(JNIEnv *jni, jclass) {
  jvmtiEnv *jvmti = probe_main_env();
  jlong before = own_local_roots(jni, jvmti);
  thread_dump dump;
  if (!thread_dump_init(jvmti, &dump, jni)) return -1;
  std::vector<char> storage(32768);
  for (int32_t i = 0; i < dump.thread_count; ++i) {
    thread_dump_format_stack_trace(jvmti, &dump, i, storage.data(), storage.size());
  }
  thread_dump_close(jvmti, &dump);
  return own_local_roots(jni, jvmti) - before;
}

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_TagThreadProbe_threadFacts(JNIEnv *jni, jclass, jthread thread) {
  jvmtiEnv *jvmti = probe_main_env();
  char *name = thread_get_name(jni, jvmti, thread);
  char text[512];
  snprintf(text, sizeof text, "%lld|%s|%d|%lld", (long long)thread_get_id(jni, thread), name != nullptr ? name : "",
           (int)thread_get_state(jvmti, thread), (long long)thread_get_current_id(jni, jvmti));
  free(name);
  return jni->NewStringUTF(text);
}

namespace {

struct native_cycle {
  JavaVM *vm;
  std::string report;
};

void note(native_cycle *cycle, const char *key, bool value) {
  cycle->report += std::string(key) + "=" + (value ? "true" : "false") + ";";
}

// A native thread that attaches, makes a record, detaches (the JVM ends it), runs agent code after
// the end, then attaches again.
void *native_cycle_thread(void *argument) {
  auto *cycle = static_cast<native_cycle *>(argument);
  JNIEnv *jni = nullptr;
  JavaVMAttachArgs attach{JNI_VERSION_1_6, const_cast<char *>("probe-native-cycle"), nullptr};
  if (cycle->vm->AttachCurrentThread(reinterpret_cast<void **>(&jni), &attach) != JNI_OK) {
    cycle->report = "attach failed";
    return nullptr;
  }
  thread_locals *first = thread_get_locals();
  note(cycle, "first_record", first != nullptr);
  first->transaction_state.contributor_threshold = 7;
  cycle->vm->DetachCurrentThread();

  void *slot = thread_local_get(thread_locals_get_handle());
  note(cycle, "marker_after_end", slot == reinterpret_cast<void *>(THREAD_LOCALS_ENDED));
  note(cycle, "no_record_after_end", thread_get_locals() == nullptr);
  note(cycle, "still_marker",
       thread_local_get(thread_locals_get_handle()) == reinterpret_cast<void *>(THREAD_LOCALS_ENDED));

  if (cycle->vm->AttachCurrentThread(reinterpret_cast<void **>(&jni), &attach) != JNI_OK) {
    cycle->report += "reattach failed";
    return nullptr;
  }
  note(cycle, "slot_cleared_on_start", thread_local_get(thread_locals_get_handle()) == nullptr);
  thread_locals *second = thread_get_locals();
  note(cycle, "fresh_record", second != nullptr && second->transaction_state.contributor_threshold == 0);
  cycle->vm->DetachCurrentThread();
  note(cycle, "marker_after_second_end",
       thread_local_get(thread_locals_get_handle()) == reinterpret_cast<void *>(THREAD_LOCALS_ENDED));
  return nullptr;
}

}  // namespace

VORKEL_EXPORT jstring JNICALL Java_vorkel_test_TagThreadProbe_nativeThreadCycle(JNIEnv *jni, jclass) {
  native_cycle cycle{};
  if (jni->GetJavaVM(&cycle.vm) != JNI_OK) return nullptr;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, native_cycle_thread, &cycle) != 0) return nullptr;
  pthread_join(thread, nullptr);
  return jni->NewStringUTF(cycle.report.c_str());
}
