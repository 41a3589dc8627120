// Blocker detection: called periodically by the Java half, it finds the owners of the monitors that
// transaction threads are waiting for, while they wait. Selection and merge hold the contention
// lock; the JVM is asked without it (GetObjectMonitorUsage stops the world for each reading, so one
// pass examines each contended monitor once, however many threads wait for it). A monitor without
// a platform owner is looked for among the virtual threads inside transactions.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "transactions/contention_internal.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "base/string_util.h"
#include "core/thread_info.h"

namespace {

std::atomic<contention_examination_hook> examination_hook{nullptr};

void release_usage_lists(JNIEnv *jni, jvmtiEnv *jvmti, jvmtiMonitorUsage *usage) {
  for (jint i = 0; i < usage->waiter_count; ++i) jni->DeleteLocalRef(usage->waiters[i]);
  for (jint i = 0; i < usage->notify_waiter_count; ++i) jni->DeleteLocalRef(usage->notify_waiters[i]);
  if (usage->waiters != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(usage->waiters));
  if (usage->notify_waiters != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char *>(usage->notify_waiters));
  usage->waiters = usage->notify_waiters = nullptr;
  usage->waiter_count = usage->notify_waiter_count = 0;
}

// The owner of monitor now (a local reference), or null with *status set to the failure kind.
jthread read_owner(JNIEnv *jni, jvmtiEnv *jvmti, jobject monitor, int32_t failure, int32_t *status) {
  jvmtiMonitorUsage usage;
  memset(&usage, 0, sizeof usage);
  if (!check_jvmti_error_no_exception(jni, jvmti, jvmti->GetObjectMonitorUsage(monitor, &usage),
                                      "Could not get thread contended monitor")) {
    *status = failure;
    return nullptr;
  }
  release_usage_lists(jni, jvmti, &usage);
  return usage.owner;
}

void examine(JNIEnv *jni, jvmtiEnv *jvmti, contention_detection_slot *slot) {
  jthread owner = read_owner(jni, jvmti, slot->monitor, CONTENTION_USAGE_FAILED, &slot->status);
  if (owner == nullptr) {
    if (slot->status < 0) slot->status = CONTENTION_NO_OWNER;
    return;
  }
  char *stack = static_cast<char *>(malloc(CONTENTION_STACK_BUFFER_SIZE));
  if (contention_examination_hook hook = examination_hook.load(std::memory_order_relaxed)) {
    hook(CONTENTION_HOOK_OWNER_FOUND);
  }
  // The owner may release the lock and end before its stack is taken: then it has none.
  if (stack != nullptr && thread_get_stack_trace(jvmti, owner, stack, CONTENTION_STACK_BUFFER_SIZE, jni, true)) {
    slot->owner_stack = string_reallocate(stack);
  } else {
    free(stack);
  }
  slot->owner_name = thread_get_name(jni, jvmti, owner);
  jthread again = read_owner(jni, jvmti, slot->monitor, CONTENTION_RECHECK_FAILED, &slot->status);
  if (slot->status < 0) {
    if (again != nullptr && jni->IsSameObject(again, owner)) {
      slot->owner = static_cast<jthread>(jni->NewGlobalRef(owner));
      slot->confirmed = slot->owner != nullptr ? 1 : 0;  // without the reference: no result
    } else {
      slot->status = CONTENTION_OWNER_CHANGED;
    }
  }
  if (again != nullptr) jni->DeleteLocalRef(again);
  jni->DeleteLocalRef(owner);
}

// Marks a slot whose monitor an earlier slot of this pass examines; it takes that slot's result.
void find_earlier_slot(JNIEnv *jni, contention_detection_slot *slots, uint32_t index) {
  slots[index].same_as = -1;
  for (uint32_t i = 0; i < index; ++i) {
    if (jni->IsSameObject(slots[i].monitor, slots[index].monitor)) {
      slots[index].same_as = (int32_t)i;
      return;
    }
  }
}

void copy_earlier_result(JNIEnv *jni, contention_detection_slot *slots, uint32_t index) {
  contention_detection_slot &slot = slots[index];
  const contention_detection_slot &earlier = slots[slot.same_as];
  slot.confirmed = earlier.confirmed;
  slot.status = earlier.status;
  slot.owner_name = earlier.owner_name != nullptr ? string_duplicate(earlier.owner_name) : nullptr;
  slot.owner_stack = earlier.owner_stack != nullptr ? string_duplicate(earlier.owner_stack) : nullptr;
  slot.owner = earlier.owner != nullptr ? static_cast<jthread>(jni->NewGlobalRef(earlier.owner)) : nullptr;
  if (slot.confirmed && (slot.owner_name == nullptr || slot.owner == nullptr)) {
    slot.confirmed = 0;  // out of memory: counted as no result
    slot.status = -1;
  }
}

}  // namespace

void contention_set_examination_hook_for_tests(contention_examination_hook hook) { examination_hook = hook; }

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_probes_contention_LockContentionNativeImpl_runBlockerDetection(
    JNIEnv *jni, jobject receiver) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->jvmti == nullptr) return;
  jvmtiEnv *jvmti = globals->jvmti;
  int64_t now = (int64_t)perfCounterCurrent();
  contention_detection_slot *slots = nullptr;
  uint32_t used = 0;
  {
    agent_mutex_guard guard(contention.lock);
    uint32_t wanted = contention.active_count < CONTENTION_MAX_SLOTS_PER_PASS ? contention.active_count
                                                                              : CONTENTION_MAX_SLOTS_PER_PASS;
    if (wanted == 0 || !contention.enabled.load(std::memory_order_relaxed) || !contention.blockers_supported) return;
    slots = static_cast<contention_detection_slot *>(calloc(wanted, sizeof(contention_detection_slot)));
    if (slots == nullptr) return;
    for (contention_list_link *link = contention.active.next; link != &contention.active && used < wanted;
         link = link->next) {
      contention_active_entry *entry = link->self;
      if (entry->monitor == nullptr || entry->blocker_name != nullptr) continue;
      int64_t projected = now - entry->start + contention.detection_lookahead;
      if (projected < contention.minimum_wait || projected < entry->threshold) continue;
      contention_detection_slot &slot = slots[used++];
      slot.status = -1;
      slot.entry = entry;
      slot.start = entry->start;
      slot.monitor = entry->monitor;
      entry->monitor = nullptr;
      entry->detection_slot = &slot;
      entry->detection_attempts += 1;
    }
  }
  for (uint32_t i = 0; i < used; ++i) {
    find_earlier_slot(jni, slots, i);
    if (slots[i].same_as < 0) examine(jni, jvmti, &slots[i]);
  }
  contention_find_virtual_owners(jni, jvmti, slots, used);
  for (uint32_t i = 0; i < used; ++i) {
    if (slots[i].same_as >= 0) copy_earlier_result(jni, slots, i);
  }
  if (contention_examination_hook hook = examination_hook.load(std::memory_order_relaxed)) {
    hook(CONTENTION_HOOK_BEFORE_MERGE);
  }
  {
    agent_mutex_guard guard(contention.lock);
    for (uint32_t i = 0; i < used; ++i) {
      contention_detection_slot &slot = slots[i];
      contention_active_entry *entry = slot.entry;
      if (entry == nullptr) {
        contention.missed_detections += 1;
        continue;
      }
      entry->monitor = slot.monitor;
      slot.monitor = nullptr;
      if (slot.confirmed) {
        entry->detections_confirmed += 1;
        free(entry->blocker_name);
        free(entry->blocker_stack);
        if (entry->blocker_thread != nullptr) jni->DeleteGlobalRef(entry->blocker_thread);
        entry->blocker_name = slot.owner_name;
        entry->blocker_stack = slot.owner_stack;
        entry->blocker_thread = slot.owner;
        slot.owner_name = nullptr;
        slot.owner_stack = nullptr;
        slot.owner = nullptr;
      } else if (slot.status >= 0 && slot.status < CONTENTION_FAILURE_KINDS) {
        entry->detection_failures[slot.status] += 1;
      }
      entry->detection_slot = nullptr;
      slot.entry = nullptr;
    }
  }
  for (uint32_t i = 0; i < used; ++i) {
    free(slots[i].owner_name);
    free(slots[i].owner_stack);
    if (slots[i].monitor != nullptr) jni->DeleteGlobalRef(slots[i].monitor);
    if (slots[i].owner != nullptr) jni->DeleteGlobalRef(slots[i].owner);
  }
  free(slots);
}
