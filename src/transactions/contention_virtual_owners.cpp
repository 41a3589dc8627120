// Blocker detection for monitors that no platform thread owns. Since JDK 23 the JVM names no owner
// for a monitor that a virtual thread holds (GetObjectMonitorUsage reports platform owners only,
// mounted or not), and it offers no list of virtual threads; but the agent knows the virtual
// threads inside transactions, and the JVM lists the monitors each one owns (GetOwnedMonitorInfo,
// mounted or unmounted on JDK 25). A monitor held by a virtual thread outside every transaction
// stays a "no owner" failure.
#include <array>
#include <cstdlib>

#include "base/string_util.h"
#include "core/hires_time.h"
#include "core/thread_info.h"
#include "transactions/contention_internal.h"
#include "transactions/virtual_locals.h"

namespace {

// Virtual threads asked in one pass at most. Asking a mounted one is a handshake with it, in which
// the JVM also deoptimizes the scalar-replaced objects of its compiled frames; so only waits that
// lasted MIN_WAIT_MS are looked up (most shorter ones end before the answer comes).
constexpr uint32_t MAX_THREADS_PER_PASS = 128;
constexpr int64_t MIN_WAIT_MS = 5;
// The threads' references, and the monitors of the one thread asked at a time.
constexpr jint LOCAL_CAPACITY = (jint)MAX_THREADS_PER_PASS + 64;

// A slot whose own examination found no owner (the others have an owner or take an earlier
// slot's result), of a wait that started before since.
bool wants_virtual_owner(const contention_detection_slot &slot, int64_t since) {
  return slot.same_as < 0 && !slot.confirmed && slot.status == CONTENTION_NO_OWNER && slot.start <= since;
}

// Calls found(monitor) for each monitor that thread owns now; false when the JVM could not tell
// (the thread ended, or is not yet started).
template <typename Found>
bool owned_monitors(JNIEnv *jni, jvmtiEnv *jvmti, jthread thread, Found found) {
  jint count = 0;
  jobject *monitors = nullptr;
  if (jvmti->GetOwnedMonitorInfo(thread, &count, &monitors) != JVMTI_ERROR_NONE) return false;
  for (jint i = 0; i < count; ++i) {
    found(monitors[i]);
    jni->DeleteLocalRef(monitors[i]);
  }
  if (monitors != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(monitors));
  return true;
}

// The owner's name and stack, then a second reading of its monitors: confirmed when it still owns
// the slot's monitor.
void confirm(JNIEnv *jni, jvmtiEnv *jvmti, contention_detection_slot *slot, jthread owner) {
  char *stack = static_cast<char *>(malloc(CONTENTION_STACK_BUFFER_SIZE));
  if (stack != nullptr && thread_get_stack_trace(jvmti, owner, stack, CONTENTION_STACK_BUFFER_SIZE, jni, true)) {
    slot->owner_stack = string_reallocate(stack);
  } else {
    free(stack);
  }
  slot->owner_name = thread_get_name(jni, jvmti, owner);
  bool still = false;
  if (!owned_monitors(jni, jvmti, owner,
                      [&](jobject monitor) { still = still || jni->IsSameObject(monitor, slot->monitor); })) {
    slot->status = CONTENTION_RECHECK_FAILED;
  } else if (!still) {
    slot->status = CONTENTION_OWNER_CHANGED;
  } else {
    slot->status = -1;
    slot->owner = static_cast<jthread>(jni->NewGlobalRef(owner));
    slot->confirmed = slot->owner != nullptr ? 1 : 0;  // without the reference: no result
  }
}

}  // namespace

void contention_find_virtual_owners(JNIEnv *jni, jvmtiEnv *jvmti, contention_detection_slot *slots, uint32_t used) {
  if (!contention.virtual_owners_supported || virtual_locals_count() == 0) return;
  int64_t since = (int64_t)perfCounterCurrent() - ms_to_hires_duration(MIN_WAIT_MS);
  uint32_t wanted = 0;
  for (uint32_t i = 0; i < used; ++i) wanted += wants_virtual_owner(slots[i], since) ? 1 : 0;
  if (wanted == 0) return;
  if (jni->PushLocalFrame(LOCAL_CAPACITY) != JNI_OK) {
    jni->ExceptionClear();
    return;
  }
  std::array<jthread, MAX_THREADS_PER_PASS> threads{};
  uint32_t count = virtual_locals_threads(jni, threads.data(), MAX_THREADS_PER_PASS);
  std::array<int32_t, CONTENTION_MAX_SLOTS_PER_PASS> owner_of{};  // index into threads, or -1
  owner_of.fill(-1);
  for (uint32_t t = 0; t < count && wanted > 0; ++t) {
    owned_monitors(jni, jvmti, threads[t], [&](jobject monitor) {
      for (uint32_t i = 0; i < used; ++i) {
        if (owner_of[i] >= 0 || !wants_virtual_owner(slots[i], since) ||
            !jni->IsSameObject(monitor, slots[i].monitor)) {
          continue;
        }
        owner_of[i] = (int32_t)t;
        wanted -= 1;
      }
    });
  }
  for (uint32_t i = 0; i < used; ++i) {
    if (owner_of[i] >= 0) confirm(jni, jvmti, &slots[i], threads[owner_of[i]]);
  }
  jni->PopLocalFrame(nullptr);
}
