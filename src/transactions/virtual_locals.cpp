#include "transactions/virtual_locals.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "core/agent_locks.h"
#include "core/agent_state.h"
#include "core/reflection.h"

namespace {

// Records made between two sweeps for ended threads, at least; and at least four times the recent
// peak of records in use, so that each join pays a quarter of a record's check at most.
constexpr uint32_t SWEEP_INTERVAL = 64;
constexpr uint32_t SWEEP_SHARE = 4;
// Freed records kept for the next joins (a record is a few kilobytes: making and freeing one per
// transaction keeps the allocator busy): at least this many, and as many as the records in use
// fell below their recent peak. Joins and leaves come in bursts (requests that sleep and wake
// together): the records in use swing between a few hundred and the peak within milliseconds, so
// only spares for the whole swing spare the allocator. Together, the records in use and the spares
// stay within the recent peak (or this minimum), which is what malloc's free lists would hold.
constexpr uint32_t SPARE_RECORDS = 64;

struct virtual_record {
  thread_locals locals;  // first: a record's thread_locals is the record itself
  jweak thread;          // the virtual thread
  virtual_record *next;
  virtual_record *prev;
};
static_assert(offsetof(virtual_record, locals) == 0, "a record starts with its thread_locals");

#ifndef JNI_VERSION_21
// JDK 21 appended IsVirtualThread to the JNI function table; the headers the agent is built with
// may end before it.
struct jni_functions_21 : JNINativeInterface_ {
  jboolean(JNICALL *IsVirtualThread)(JNIEnv *env, jobject object);
};
#endif
constexpr jint JNI_VERSION_WITH_VIRTUAL_THREADS = 0x00150000;

struct {
  bool jni_tells_virtual;         // the JNI function table has IsVirtualThread (JDK 21 and later)
  jmethodID thread_is_virtual;    // else Thread.isVirtual() (JDK 19 and 20 with preview features)
  std::atomic<uint32_t> live{0};  // records in the list
  agent_mutex lock;               // the list
  virtual_record *records;        // every record, newest first
  virtual_record *spares;         // freed records for reuse, linked through next
  uint32_t spare_count;
  uint32_t peak;       // the most records in use since the last sweep
  uint32_t last_peak;  // the same between the two sweeps before
  std::atomic<uint32_t> made_since_sweep{0};
  std::atomic<uint32_t> sweep_after{SWEEP_INTERVAL};  // records to make before the next sweep
} virtual_locals;

jvmtiEnv *main_environment() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->jvmti : nullptr;
}

// The record in the calling thread's JVMTI storage; null for a platform thread (the agent stores
// nothing there for one) and for a thread unknown to the JVM.
virtual_record *stored_record() {
  jvmtiEnv *jvmti = main_environment();
  void *data = nullptr;
  if (jvmti == nullptr || jvmti->GetThreadLocalStorage(nullptr, &data) != JVMTI_ERROR_NONE) return nullptr;
  return static_cast<virtual_record *>(data);
}

// Under the lock.
void link(virtual_record *record) {
  record->prev = nullptr;
  record->next = virtual_locals.records;
  if (record->next != nullptr) record->next->prev = record;
  virtual_locals.records = record;
  uint32_t live = virtual_locals.live.fetch_add(1, std::memory_order_relaxed) + 1;
  if (live > virtual_locals.peak) virtual_locals.peak = live;
  virtual_locals.made_since_sweep.fetch_add(1, std::memory_order_relaxed);
}

// Under the lock.
void unlink(virtual_record *record) {
  if (record->prev != nullptr) {
    record->prev->next = record->next;
  } else {
    virtual_locals.records = record->next;
  }
  if (record->next != nullptr) record->next->prev = record->prev;
  record->next = record->prev = nullptr;
  virtual_locals.live.fetch_sub(1, std::memory_order_relaxed);
}

// A virtual thread is TERMINATED only after it unmounted for the last time: it runs no more code
// of its own, so nothing reads its record any more. A thread that cannot be asked is kept.
bool thread_ended(JNIEnv *jni, jvmtiEnv *jvmti, jweak weak) {
  jthread thread = jni->NewLocalRef(weak);
  if (thread == nullptr) return true;  // collected
  jint state = 0;
  jvmtiError error = jvmti->GetThreadState(thread, &state);
  jni->DeleteLocalRef(thread);
  return error == JVMTI_ERROR_NONE && (state & JVMTI_THREAD_STATE_TERMINATED) != 0;
}

void free_record(JNIEnv *jni, virtual_record *record) {
  if (record->thread != nullptr) jni->DeleteWeakGlobalRef(record->thread);
  free(record);
}

// A record for a join: a spare when there is one, else a new zero-filled one; null when memory is
// short. A spare's state is as its leave released it, with nothing left to release (the join
// releases and clears it again), so the few kilobytes of its tables are not written here.
virtual_record *make_record(JNIEnv *jni) {
  virtual_record *record = nullptr;
  {
    agent_mutex_guard guard(virtual_locals.lock);
    record = virtual_locals.spares;
    if (record != nullptr) {
      virtual_locals.spares = record->next;
      virtual_locals.spare_count -= 1;
    }
  }
  if (record == nullptr) return static_cast<virtual_record *>(calloc(1, sizeof(virtual_record)));
  if (record->thread != nullptr) jni->DeleteWeakGlobalRef(record->thread);
  record->thread = nullptr;
  record->next = record->prev = nullptr;
  return record;
}

// Under the lock.
uint32_t recent_peak() {
  return virtual_locals.peak > virtual_locals.last_peak ? virtual_locals.peak : virtual_locals.last_peak;
}

// Under the lock, the record unlinked: keeps it as a spare if there is room (its thread reference
// is deleted when it is reused: only listed records are read by other threads). Returns what the
// caller is to free: the record when there is no room, and one spare beyond the room that fell
// with the recent peak, so that the spares shrink back as the load falls.
virtual_record *keep_spare(virtual_record *record) {
  uint32_t live = virtual_locals.live.load(std::memory_order_relaxed);
  uint32_t peak = recent_peak();
  uint32_t swing = peak > live ? peak - live : 0;
  uint32_t room = swing > SPARE_RECORDS ? swing : SPARE_RECORDS;
  if (virtual_locals.spare_count >= room) {
    if (virtual_locals.spare_count > room) {
      virtual_record *excess = virtual_locals.spares;
      virtual_locals.spares = excess->next;
      virtual_locals.spare_count -= 1;
      excess->next = record;
      record->next = nullptr;
      return excess;
    }
    record->next = nullptr;
    return record;
  }
  record->next = virtual_locals.spares;
  virtual_locals.spares = record;
  virtual_locals.spare_count += 1;
  return nullptr;
}

// Frees the records of threads that ended inside a transaction (they never left it), when enough
// records were made since the last sweep.
void sweep(JNIEnv *jni, jvmtiEnv *jvmti, virtual_locals_release release) {
  auto due = [] {
    return virtual_locals.made_since_sweep.load(std::memory_order_relaxed) >=
           virtual_locals.sweep_after.load(std::memory_order_relaxed);
  };
  if (!due()) return;
  virtual_record *ended = nullptr;
  {
    agent_mutex_guard guard(virtual_locals.lock);
    if (!due()) return;  // another join swept meanwhile
    for (virtual_record *record = virtual_locals.records, *next; record != nullptr; record = next) {
      next = record->next;
      if (!thread_ended(jni, jvmti, record->thread)) continue;
      unlink(record);
      record->next = ended;
      ended = record;
    }
    uint32_t peak = recent_peak();
    virtual_locals.last_peak = virtual_locals.peak;
    virtual_locals.peak = virtual_locals.live.load(std::memory_order_relaxed);
    virtual_locals.made_since_sweep.store(0, std::memory_order_relaxed);
    virtual_locals.sweep_after.store(peak * SWEEP_SHARE > SWEEP_INTERVAL ? peak * SWEEP_SHARE : SWEEP_INTERVAL,
                                     std::memory_order_relaxed);
  }
  for (virtual_record *record = ended, *next; record != nullptr; record = next) {
    next = record->next;
    release(jni, record->locals.transaction_state);
    free_record(jni, record);
  }
}

}  // namespace

void virtual_locals_initialise(JNIEnv *jni) {
  virtual_locals.jni_tells_virtual = jni->GetVersion() >= JNI_VERSION_WITH_VIRTUAL_THREADS;
  if (virtual_locals.jni_tells_virtual) return;
  jclass thread_class = reflection_find_class(jni, "java/lang/Thread");
  virtual_locals.thread_is_virtual = reflection_find_method(jni, thread_class, "isVirtual", "()Z");
  if (thread_class != nullptr) jni->DeleteLocalRef(thread_class);
}

thread_locals *virtual_locals_get(JNIEnv *jni, virtual_locals_release release, virtual_locals_thread *kind) {
  *kind = virtual_locals_thread::platform;
  if (!virtual_locals.jni_tells_virtual && virtual_locals.thread_is_virtual == nullptr) return nullptr;
  if (virtual_record *record = stored_record()) {
    *kind = virtual_locals_thread::virtual_thread;
    return &record->locals;
  }
  jvmtiEnv *jvmti = main_environment();
  jthread thread = nullptr;
  if (jvmti == nullptr || jvmti->GetCurrentThread(&thread) != JVMTI_ERROR_NONE || thread == nullptr) {
    *kind = virtual_locals_thread::unknown;
    return nullptr;
  }
  jboolean is_virtual;
  if (virtual_locals.jni_tells_virtual) {
#ifdef JNI_VERSION_21
    is_virtual = jni->IsVirtualThread(thread);
#else
    is_virtual = reinterpret_cast<const jni_functions_21 *>(jni->functions)->IsVirtualThread(jni, thread);
#endif
  } else {
    is_virtual = jni->CallBooleanMethod(thread, virtual_locals.thread_is_virtual);
    if (jni->ExceptionCheck()) {
      jni->ExceptionClear();
      *kind = virtual_locals_thread::unknown;
    }
  }
  virtual_record *record = nullptr;
  if (*kind == virtual_locals_thread::platform && is_virtual == JNI_TRUE) {
    *kind = virtual_locals_thread::virtual_thread;
    sweep(jni, jvmti, release);
    record = make_record(jni);
    if (record != nullptr) {
      record->thread = jni->NewWeakGlobalRef(thread);
      if (jni->ExceptionCheck()) jni->ExceptionClear();  // out of memory for the reference
      if (record->thread == nullptr || jvmti->SetThreadLocalStorage(nullptr, record) != JVMTI_ERROR_NONE) {
        free_record(jni, record);
        record = nullptr;
      }
    }
  }
  jni->DeleteLocalRef(thread);
  if (record == nullptr) return nullptr;
  agent_mutex_guard guard(virtual_locals.lock);
  link(record);
  return &record->locals;
}

thread_locals *virtual_locals_peek() {
  if (virtual_locals.live.load(std::memory_order_relaxed) == 0) return nullptr;
  virtual_record *record = stored_record();
  return record != nullptr ? &record->locals : nullptr;
}

void virtual_locals_free(JNIEnv *jni, thread_locals *locals) {
  auto *record = reinterpret_cast<virtual_record *>(locals);
  if (jvmtiEnv *jvmti = main_environment()) jvmti->SetThreadLocalStorage(nullptr, nullptr);
  virtual_record *unkept;
  {
    agent_mutex_guard guard(virtual_locals.lock);
    unlink(record);
    unkept = keep_spare(record);
  }
  for (virtual_record *next; unkept != nullptr; unkept = next) {
    next = unkept->next;
    free_record(jni, unkept);
  }
}

uint32_t virtual_locals_threads(JNIEnv *jni, jthread *threads, uint32_t max) {
  uint32_t count = 0;
  agent_mutex_guard guard(virtual_locals.lock);
  for (virtual_record *record = virtual_locals.records; record != nullptr && count < max; record = record->next) {
    jthread thread = jni->NewLocalRef(record->thread);
    if (thread != nullptr) threads[count++] = thread;
  }
  return count;
}

uint32_t virtual_locals_count() { return virtual_locals.live.load(std::memory_order_relaxed); }

uint32_t virtual_locals_spare_count() {
  agent_mutex_guard guard(virtual_locals.lock);
  return virtual_locals.spare_count;
}

thread_transaction_state *virtual_locals_current_transaction() {
  if (virtual_locals.live.load(std::memory_order_relaxed) == 0) return nullptr;
  virtual_record *record = stored_record();
  return record != nullptr && record->locals.transaction_state.transaction != nullptr
             ? &record->locals.transaction_state
             : nullptr;
}
