// A JVMTI agent of the virtual-thread benchmark alone (bench/virtual_thread_bench.sh): the least
// that following transactions on virtual threads through JVMTI asks of the JVM, and nothing else.
// It enables MonitorContendedEnter and MonitorContendedEntered, whose callbacks only look for the
// thread's record (GetThreadLocalStorage), and gives the benchmark two natives that store a record
// in the calling virtual thread's thread-local storage and clear it again, around each request.
// Measured against no agent, it tells how far below the JVM's own costs the agent's can go. The
// option "events" keeps only the monitor events (the natives do nothing), "storage" only the
// thread-local storage (no events); "keyed" keeps the events but files the record under the
// thread's id (java.lang.Thread.tid) in a table of its own, under one of 256 locks, instead of the
// thread-local storage, which makes the JVM build a JVMTI state for each thread that sets it.
#include <jvmti.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
jvmtiEnv *environment;
char record[64];
bool storage = true;
bool keyed = false;
jfieldID thread_id;

// The keyed records: a chain per slot, each slot under its own spin lock.
constexpr int SLOTS = 256;
struct keyed_record {
  jlong id;
  keyed_record *next;
};
struct {
  std::atomic_flag lock = ATOMIC_FLAG_INIT;
  keyed_record *chain = nullptr;
} slots[SLOTS];

struct slot_guard {
  std::atomic_flag &lock;
  explicit slot_guard(std::atomic_flag &flag) : lock(flag) {
    while (lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~slot_guard() { lock.clear(std::memory_order_release); }
};

int slot_of(jlong id) { return (int)(((uint64_t)id * 0x9E3779B97F4A7C15ull) >> 56); }

keyed_record *find(jlong id) {
  int slot = slot_of(id);
  slot_guard guard(slots[slot].lock);
  keyed_record *record = slots[slot].chain;
  while (record != nullptr && record->id != id) record = record->next;
  return record;
}

jlong current_id(JNIEnv *jni) {
  jthread thread = nullptr;
  if (environment->GetCurrentThread(&thread) != JVMTI_ERROR_NONE || thread == nullptr) return 0;
  jlong id = jni->GetLongField(thread, thread_id);
  jni->DeleteLocalRef(thread);
  return id;
}

void JNICALL contended(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject) {
  if (keyed) {
    keyed_record *found = find(jni->GetLongField(thread, thread_id));
    if (found != nullptr && found->id == 0) abort();
    return;
  }
  void *data = nullptr;
  jvmti->GetThreadLocalStorage(nullptr, &data);
  if (data != nullptr && data != record) abort();  // only this agent's record is ever stored
}

void JNICALL started(jvmtiEnv *, JNIEnv *jni, jthread) {
  jclass klass = jni->FindClass("java/lang/Thread");
  thread_id = klass != nullptr ? jni->GetFieldID(klass, "tid", "J") : nullptr;
  if (thread_id == nullptr) abort();
}
}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *) {
  if (vm->GetEnv(reinterpret_cast<void **>(&environment), JVMTI_VERSION_1_1) != JNI_OK) return JNI_ERR;
  keyed = options != nullptr && strcmp(options, "keyed") == 0;
  storage = !keyed && (options == nullptr || strcmp(options, "events") != 0);
  if (options != nullptr && strcmp(options, "storage") == 0) return JNI_OK;
  jvmtiCapabilities capabilities{};
  capabilities.can_generate_monitor_events = 1;
  if (environment->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) return JNI_ERR;
  jvmtiEventCallbacks callbacks{};
  callbacks.MonitorContendedEnter = contended;
  callbacks.MonitorContendedEntered = contended;
  callbacks.VMInit = started;
  if (environment->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) return JNI_ERR;
  for (jvmtiEvent event :
       {JVMTI_EVENT_MONITOR_CONTENDED_ENTER, JVMTI_EVENT_MONITOR_CONTENDED_ENTERED, JVMTI_EVENT_VM_INIT}) {
    if (environment->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr) != JVMTI_ERROR_NONE) return JNI_ERR;
  }
  return JNI_OK;
}

// VirtualThreadBench.floorJoin() and floorLeave(), found by the JVM among the agent's symbols.
extern "C" JNIEXPORT void JNICALL Java_VirtualThreadBench_floorJoin(JNIEnv *jni, jclass) {
  if (keyed) {
    auto *entry = static_cast<keyed_record *>(malloc(sizeof(keyed_record)));
    if (entry == nullptr) return;
    entry->id = current_id(jni);
    int slot = slot_of(entry->id);
    slot_guard guard(slots[slot].lock);
    entry->next = slots[slot].chain;
    slots[slot].chain = entry;
  } else if (storage) {
    environment->SetThreadLocalStorage(nullptr, record);
  }
}

extern "C" JNIEXPORT void JNICALL Java_VirtualThreadBench_floorLeave(JNIEnv *jni, jclass) {
  if (keyed) {
    jlong id = current_id(jni);
    int slot = slot_of(id);
    keyed_record *gone = nullptr;
    {
      slot_guard guard(slots[slot].lock);
      for (keyed_record **link = &slots[slot].chain; *link != nullptr; link = &(*link)->next) {
        if ((*link)->id == id) {
          gone = *link;
          *link = gone->next;
          break;
        }
      }
    }
    free(gone);
  } else if (storage) {
    environment->SetThreadLocalStorage(nullptr, nullptr);
  }
}
