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
// The records in use are filed under their threads' ids in a table of chains, each chain under
// one of a smaller number of locks.
constexpr uint32_t ID_BUCKETS = 4096;
constexpr uint32_t ID_LOCKS = 64;

// A record's own part is what its thread reads and writes; the list's bookkeeping (the table of
// records in use with their threads, the spares) is kept apart in small arrays, so that a join or a
// leave touches no other thread's record: on a busy server those lines are cold or on another core.
struct virtual_record {
  uint32_t index;           // its place in the table while it is in use
  jlong thread_id;          // its thread's id, under which it is filed
  virtual_record *id_next;  // the next record in its id's chain
  jweak swept_thread;       // while a sweep frees it: its thread's reference, and the next one freed
  virtual_record *swept_next;
  thread_locals locals;  // the thread's transaction state
};

// One record in use, with a weak reference to its virtual thread.
struct virtual_slot {
  virtual_record *record;
  jweak thread;
};

#ifndef JNI_VERSION_21
// JDK 21 appended IsVirtualThread to the JNI function table; the headers the agent is built with
// may end before it.
struct jni_functions_21 : JNINativeInterface_ {
  jboolean(JNICALL *IsVirtualThread)(JNIEnv *env, jobject object);
};
#endif
constexpr jint JNI_VERSION_WITH_VIRTUAL_THREADS = 0x00150000;

struct {
  bool jni_tells_virtual;       // the JNI function table has IsVirtualThread (JDK 21 and later)
  jmethodID thread_is_virtual;  // else Thread.isVirtual() (JDK 19 and 20 with preview features)
  jmethodID thread_is_alive;    // Thread.isAlive(), which tells a sweep the threads that ended
  jfieldID thread_tid;          // Thread.tid, the thread's id, which keys its record
  jmethodID thread_id;          // else Thread.threadId()
  JavaVM *vm;                   // for the calling thread's JNI environment in the probes
  agent_mutex id_locks[ID_LOCKS];
  virtual_record *by_id[ID_BUCKETS];  // the records in use, by their threads' ids
  std::atomic<uint32_t> live{0};      // records in use: the first entries of slots
  agent_mutex lock;                   // the table and the spares
  virtual_slot *slots;                // the records in use, in no order
  uint32_t slot_capacity;
  virtual_record **spares;  // freed records for reuse, the last freed on top
  uint32_t spare_count;
  uint32_t spare_capacity;
  uint32_t peak;       // the most records in use since the last sweep
  uint32_t last_peak;  // the same between the two sweeps before
  std::atomic<uint32_t> made_since_sweep{0};
  std::atomic<uint32_t> sweep_after{SWEEP_INTERVAL};  // records to make before the next sweep
} virtual_locals;

jvmtiEnv *main_environment() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->jvmti : nullptr;
}

// A thread's id (never reused while the JVM runs); false when it cannot be read.
bool thread_id_of(JNIEnv *jni, jthread thread, jlong *id) {
  if (virtual_locals.thread_tid != nullptr) {
    *id = jni->GetLongField(thread, virtual_locals.thread_tid);
    return true;
  }
  if (virtual_locals.thread_id == nullptr) return false;
  *id = jni->CallLongMethod(thread, virtual_locals.thread_id);
  if (!jni->ExceptionCheck()) return true;
  jni->ExceptionClear();
  return false;
}

uint32_t id_bucket(jlong id) {
  auto bits = static_cast<uint64_t>(id);
  return static_cast<uint32_t>((bits ^ (bits >> 10) ^ (bits >> 20)) % ID_BUCKETS);
}

agent_mutex &id_lock(uint32_t bucket) { return virtual_locals.id_locks[bucket % ID_LOCKS]; }

virtual_record *find_by_id(jlong id) {
  uint32_t bucket = id_bucket(id);
  agent_mutex_guard guard(id_lock(bucket));
  virtual_record *record = virtual_locals.by_id[bucket];
  while (record != nullptr && record->thread_id != id) record = record->id_next;
  return record;
}

// Files the record under its thread's id, unless one is filed there already (its thread joined
// again without leaving): then returns that one and files nothing.
virtual_record *file_by_id(virtual_record *record) {
  uint32_t bucket = id_bucket(record->thread_id);
  agent_mutex_guard guard(id_lock(bucket));
  for (virtual_record *filed = virtual_locals.by_id[bucket]; filed != nullptr; filed = filed->id_next) {
    if (filed->thread_id == record->thread_id) return filed;
  }
  record->id_next = virtual_locals.by_id[bucket];
  virtual_locals.by_id[bucket] = record;
  return nullptr;
}

void unfile_by_id(virtual_record *record) {
  uint32_t bucket = id_bucket(record->thread_id);
  agent_mutex_guard guard(id_lock(bucket));
  for (virtual_record **link = &virtual_locals.by_id[bucket]; *link != nullptr; link = &(*link)->id_next) {
    if (*link == record) {
      *link = record->id_next;
      break;
    }
  }
  record->id_next = nullptr;
}

// The calling thread's record: null for a platform thread (none is filed under its id) and for a
// thread unknown to the JVM. The events and natives of a virtual thread run on its carrier, but
// the JVM names the virtual thread as the current thread there.
virtual_record *current_record(JNIEnv *jni) {
  jvmtiEnv *jvmti = main_environment();
  jthread thread = nullptr;
  if (jvmti == nullptr || jvmti->GetCurrentThread(&thread) != JVMTI_ERROR_NONE || thread == nullptr) return nullptr;
  jlong id = 0;
  bool known = thread_id_of(jni, thread, &id);
  jni->DeleteLocalRef(thread);
  return known ? find_by_id(id) : nullptr;
}

// The same from a probe that has no JNI environment at hand.
virtual_record *current_record() {
  JNIEnv *jni = nullptr;
  JavaVM *vm = virtual_locals.vm;
  if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&jni), JNI_VERSION_1_6) != JNI_OK) return nullptr;
  return current_record(jni);
}

virtual_record *record_of(thread_locals *locals) {
  return reinterpret_cast<virtual_record *>(reinterpret_cast<char *>(locals) - offsetof(virtual_record, locals));
}

// Room for at least one more element in a growing array of the lists; false when memory is short.
template <typename T>
bool make_room(T *&array, uint32_t &capacity, uint32_t count) {
  if (count < capacity) return true;
  uint32_t wanted = capacity < SPARE_RECORDS ? SPARE_RECORDS : capacity * 2;
  if (wanted <= capacity) return false;
  // NOLINTNEXTLINE(bugprone-sizeof-expression): the spares are an array of pointers
  auto *grown = static_cast<T *>(realloc(array, sizeof(T) * wanted));
  if (grown == nullptr) return false;
  array = grown;
  capacity = wanted;
  return true;
}

// Under the lock; false when memory is short for the table.
bool link(virtual_record *record, jweak thread) {
  uint32_t live = virtual_locals.live.load(std::memory_order_relaxed);
  if (!make_room(virtual_locals.slots, virtual_locals.slot_capacity, live)) return false;
  virtual_locals.slots[live] = {record, thread};
  record->index = live;
  virtual_locals.live.store(live + 1, std::memory_order_relaxed);
  if (live + 1 > virtual_locals.peak) virtual_locals.peak = live + 1;
  virtual_locals.made_since_sweep.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// Under the lock: the last record in use takes the place of the one taken out. Returns the taken
// record's thread reference, for the caller to delete.
jweak unlink(virtual_record *record) {
  uint32_t last = virtual_locals.live.load(std::memory_order_relaxed) - 1;
  uint32_t index = record->index;
  jweak thread = virtual_locals.slots[index].thread;
  if (index != last) {
    virtual_locals.slots[index] = virtual_locals.slots[last];
    virtual_locals.slots[index].record->index = index;
  }
  virtual_locals.live.store(last, std::memory_order_relaxed);
  return thread;
}

// A virtual thread is no longer alive (TERMINATED) only after it unmounted for the last time: it
// runs no more code of its own, so nothing reads its record any more. Thread.isAlive() reads the
// thread's state in Java: the JVMTI GetThreadState would make the JVM hold back every virtual
// thread's mounts and unmounts while it looks (each sweep asks for every record). A thread that
// cannot be asked is kept.
bool thread_ended(JNIEnv *jni, jvmtiEnv *jvmti, jweak weak) {
  jthread thread = jni->NewLocalRef(weak);
  if (thread == nullptr) return true;  // collected
  bool ended = false;
  if (virtual_locals.thread_is_alive != nullptr) {
    jboolean alive = jni->CallBooleanMethod(thread, virtual_locals.thread_is_alive);
    if (jni->ExceptionCheck()) {
      jni->ExceptionClear();
    } else {
      ended = alive == JNI_FALSE;
    }
  } else {
    jint state = 0;
    ended = jvmti->GetThreadState(thread, &state) == JVMTI_ERROR_NONE && (state & JVMTI_THREAD_STATE_TERMINATED) != 0;
  }
  jni->DeleteLocalRef(thread);
  return ended;
}

// A record for a join, listed with the thread's reference: a spare when there is one (taken and
// listed under one lock), else a new zero-filled one; null when memory is short. A spare's state is
// as its leave released it, with nothing left to release (the join releases and clears it again),
// so the few kilobytes of its tables are not written here.
virtual_record *take_record(jweak thread) {
  {
    agent_mutex_guard guard(virtual_locals.lock);
    if (virtual_locals.spare_count > 0) {
      virtual_record *record = virtual_locals.spares[virtual_locals.spare_count - 1];
      if (!link(record, thread)) return nullptr;  // it stays a spare
      virtual_locals.spare_count -= 1;
      return record;
    }
  }
  auto *record = static_cast<virtual_record *>(calloc(1, sizeof(virtual_record)));
  if (record == nullptr) return nullptr;
  bool listed;
  {
    agent_mutex_guard guard(virtual_locals.lock);
    listed = link(record, thread);
  }
  if (listed) return record;
  free(record);
  return nullptr;
}

// Under the lock.
uint32_t recent_peak() {
  return virtual_locals.peak > virtual_locals.last_peak ? virtual_locals.peak : virtual_locals.last_peak;
}

// Under the lock, the record unlinked: keeps it as a spare if there is room. Stores in unkept what
// the caller is to free and returns how many: the record when there is no room, and one spare
// beyond the room that fell with the recent peak, so that the spares shrink back as the load falls.
uint32_t keep_spare(virtual_record *record, virtual_record *unkept[2]) {
  uint32_t live = virtual_locals.live.load(std::memory_order_relaxed);
  uint32_t peak = recent_peak();
  uint32_t swing = peak > live ? peak - live : 0;
  uint32_t room = swing > SPARE_RECORDS ? swing : SPARE_RECORDS;
  if (virtual_locals.spare_count >= room) {
    uint32_t count = 0;
    if (virtual_locals.spare_count > room) unkept[count++] = virtual_locals.spares[--virtual_locals.spare_count];
    unkept[count++] = record;
    return count;
  }
  if (!make_room(virtual_locals.spares, virtual_locals.spare_capacity, virtual_locals.spare_count)) {
    unkept[0] = record;
    return 1;
  }
  virtual_locals.spares[virtual_locals.spare_count++] = record;
  return 0;
}

// A record unfiled (or never filed) by id: out of the table of records in use, and kept as a
// spare or freed, with its thread's reference.
void give_back(JNIEnv *jni, virtual_record *record) {
  virtual_record *unkept[2];
  uint32_t count;
  jweak thread;
  {
    agent_mutex_guard guard(virtual_locals.lock);
    thread = unlink(record);
    count = keep_spare(record, unkept);
  }
  if (thread != nullptr) jni->DeleteWeakGlobalRef(thread);
  for (uint32_t i = 0; i < count; ++i) free(unkept[i]);
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
    for (uint32_t index = 0; index < virtual_locals.live.load(std::memory_order_relaxed);) {
      virtual_slot slot = virtual_locals.slots[index];
      if (!thread_ended(jni, jvmti, slot.thread)) {
        ++index;
        continue;
      }
      slot.record->swept_thread = unlink(slot.record);  // the last record moved here: look again
      slot.record->swept_next = ended;
      ended = slot.record;
    }
    uint32_t peak = recent_peak();
    virtual_locals.last_peak = virtual_locals.peak;
    virtual_locals.peak = virtual_locals.live.load(std::memory_order_relaxed);
    virtual_locals.made_since_sweep.store(0, std::memory_order_relaxed);
    virtual_locals.sweep_after.store(peak * SWEEP_SHARE > SWEEP_INTERVAL ? peak * SWEEP_SHARE : SWEEP_INTERVAL,
                                     std::memory_order_relaxed);
  }
  for (virtual_record *record = ended, *next; record != nullptr; record = next) {
    next = record->swept_next;
    unfile_by_id(record);
    release(jni, record->locals.transaction_state);
    if (record->swept_thread != nullptr) jni->DeleteWeakGlobalRef(record->swept_thread);
    free(record);
  }
}

}  // namespace

void virtual_locals_initialise(JNIEnv *jni) {
  virtual_locals.jni_tells_virtual = jni->GetVersion() >= JNI_VERSION_WITH_VIRTUAL_THREADS;
  jclass thread_class = reflection_find_class(jni, "java/lang/Thread");
  if (!virtual_locals.jni_tells_virtual) {
    virtual_locals.thread_is_virtual = reflection_find_method(jni, thread_class, "isVirtual", "()Z");
  }
  if (virtual_locals.jni_tells_virtual || virtual_locals.thread_is_virtual != nullptr) {
    virtual_locals.thread_is_alive = reflection_find_method(jni, thread_class, "isAlive", "()Z");
    virtual_locals.thread_tid = reflection_find_field(jni, thread_class, "tid", "J");
    if (virtual_locals.thread_tid == nullptr) {
      virtual_locals.thread_id = reflection_find_method(jni, thread_class, "threadId", "()J");
    }
    if (jni->GetJavaVM(&virtual_locals.vm) != JNI_OK) virtual_locals.vm = nullptr;
  }
  if (thread_class != nullptr) jni->DeleteLocalRef(thread_class);
}

thread_locals *virtual_locals_get(JNIEnv *jni, virtual_locals_release release, virtual_locals_thread *kind) {
  *kind = virtual_locals_thread::platform;
  if (!virtual_locals.jni_tells_virtual && virtual_locals.thread_is_virtual == nullptr) return nullptr;
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
  jlong id = 0;
  if (*kind == virtual_locals_thread::platform && is_virtual == JNI_TRUE) {
    *kind = thread_id_of(jni, thread, &id) ? virtual_locals_thread::virtual_thread : virtual_locals_thread::unknown;
  }
  if (*kind == virtual_locals_thread::virtual_thread) {
    sweep(jni, jvmti, release);
    jweak weak = jni->NewWeakGlobalRef(thread);
    if (jni->ExceptionCheck()) jni->ExceptionClear();  // out of memory for the reference
    record = weak != nullptr ? take_record(weak) : nullptr;
    if (record != nullptr) {
      record->thread_id = id;
      // A thread that joins again without leaving keeps its record (looked for as the new one is
      // filed, so that the common join takes the id's lock once).
      if (virtual_record *filed = file_by_id(record)) {
        give_back(jni, record);
        record = filed;
      }
    } else if (weak != nullptr) {
      jni->DeleteWeakGlobalRef(weak);
    }
  }
  jni->DeleteLocalRef(thread);
  return record != nullptr ? &record->locals : nullptr;
}

thread_locals *virtual_locals_peek(JNIEnv *jni) {
  if (virtual_locals.live.load(std::memory_order_relaxed) == 0) return nullptr;
  virtual_record *record = current_record(jni);
  return record != nullptr ? &record->locals : nullptr;
}

void virtual_locals_free(JNIEnv *jni, thread_locals *locals) {
  virtual_record *record = record_of(locals);
  unfile_by_id(record);
  give_back(jni, record);
}

uint32_t virtual_locals_threads(JNIEnv *jni, jthread *threads, uint32_t max) {
  uint32_t count = 0;
  agent_mutex_guard guard(virtual_locals.lock);
  uint32_t live = virtual_locals.live.load(std::memory_order_relaxed);
  for (uint32_t index = 0; index < live && count < max; ++index) {
    jthread thread = jni->NewLocalRef(virtual_locals.slots[index].thread);
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
  virtual_record *record = current_record();
  return record != nullptr && record->locals.transaction_state.transaction != nullptr
             ? &record->locals.transaction_state
             : nullptr;
}
