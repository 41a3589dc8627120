// The contention probe's module record and list helpers, shared by its three files: the probe
// itself (contention_monitor.cpp), its long-wait records (contention_records.cpp) and blocker
// detection (contention_blockers.cpp).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/agent_locks.h"
#include "transactions/contention_monitor.h"

struct hashmap;

struct contention_record {
  int64_t minimum_wait;         // 30 ms in ticks: a shorter wait is never recorded
  int64_t detection_lookahead;  // 120 ms in ticks: blocker detection looks this far ahead
  agent_mutex configure_lock;   // serialises configure; always taken before lock
  hashmap *excluded_methods;    // method hashes; null when none
  hashmap *excluded_classes;    // class hashes; null when none
  jclass summary_class;         // global reference
  jmethodID summary_constructor;
  jclass long_wait_class;  // global reference
  jmethodID long_wait_constructor;
  agent_mutex lock;  // everything below, and the links, blocker fields and slots of active entries
  uint8_t supported;
  uint8_t blockers_supported;
  uint8_t virtual_owners_supported;  // the JVM lists a thread's owned monitors (can_get_owned_monitor_info)
  uint8_t configured;
  std::atomic<uint8_t> enabled;  // also read without the lock as a fast exit
  uint32_t active_count;
  contention_list_link active;  // head of the circular list of waits in progress
  uint32_t missed_detections;
};

extern contention_record contention;

// Under contention.lock.
inline void contention_list_link_tail(contention_active_entry *entry) {
  contention_list_link *head = &contention.active;
  entry->link.self = entry;
  entry->link.next = head;
  entry->link.prev = head->prev;
  *head->prev = &entry->link;
  head->prev = &entry->link.next;
}

// Under contention.lock; entry must be linked.
inline void contention_list_unlink(contention_active_entry *entry) {
  *entry->link.prev = entry->link.next;
  entry->link.next->prev = entry->link.prev;  // the head is a link like any other
  entry->link.next = nullptr;
  entry->link.prev = nullptr;
}

// What an ended wait hands to its recording: taken out of the entry under the lock.
struct contention_wait_outcome {
  int64_t start;
  int64_t threshold;
  jobject monitor;  // global reference or null (a detection still holds it)
  char *blocker_name;
  char *blocker_stack;
  jthread blocker_thread;  // global reference or null
  uint16_t detection_attempts;
  uint16_t detections_confirmed;
  uint16_t detection_failures[CONTENTION_FAILURE_KINDS];
};

// Records one qualifying wait of the calling thread (the Entered handler's slow path); takes the
// blocker texts of outcome when it keeps them (and nulls them there).
void contention_record_long_wait(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jobject object,
                                 contention_locals *locals, int64_t duration_ms, contention_wait_outcome *outcome);
void contention_free_long_waits(contention_locals *locals);

// One wait examined by a blocker detection; the array of slots lives for one call.
struct contention_detection_slot {
  jobject monitor;  // the entry's monitor, lent for the call
  uint8_t confirmed;
  int32_t status;  // failure kind, or -1
  char *owner_name;
  char *owner_stack;
  jthread owner;                   // global reference to the confirmed owner
  contention_active_entry *entry;  // cleared by the waiting thread when its wait ends first
  int32_t same_as;                 // an earlier slot of the pass with the same monitor, or -1
  int64_t start;                   // the wait's start (clock ticks)
};

// Waits examined in one pass at most; the others wait for the next pass.
constexpr uint32_t CONTENTION_MAX_SLOTS_PER_PASS = 64;
constexpr size_t CONTENTION_STACK_BUFFER_SIZE = 32768;

// The second look of a detection pass, for the examined monitors that no platform thread owns
// (contention_virtual_owners.cpp): their owners among the virtual threads inside transactions.
void contention_find_virtual_owners(JNIEnv *jni, jvmtiEnv *jvmti, contention_detection_slot *slots, uint32_t used);

// Under contention.lock: ends the entry's wait (unlinked, its slot told) and moves what it held into
// outcome. The entry must be linked.
void contention_take_out_entry(contention_active_entry *entry, contention_wait_outcome *outcome);

// Tests only: called by blocker detection once a slot's owner was first read, and between the
// examination and the merge, so that an owner or a wait can be made to end meanwhile.
enum contention_hook_stage { CONTENTION_HOOK_OWNER_FOUND, CONTENTION_HOOK_BEFORE_MERGE };
using contention_examination_hook = void (*)(contention_hook_stage stage);
void contention_set_examination_hook_for_tests(contention_examination_hook hook);
// Tests only: called at the end of every MonitorContendedEntered of a thread in a transaction.
using contention_entered_hook = void (*)(JNIEnv *jni);
void contention_set_entered_hook_for_tests(contention_entered_hook hook);
