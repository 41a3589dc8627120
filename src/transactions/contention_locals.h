// The contention probe's part of a transaction: the wait in progress, with its place in the
// process-wide list that blocker detection reads, and the recorded long waits.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

struct contention_detection_slot;
struct contention_active_entry;

// Detection failure kinds (index into detection_failures).
enum contention_detection_failure : int32_t {
  CONTENTION_USAGE_FAILED = 0,    // the first GetObjectMonitorUsage failed
  CONTENTION_NO_OWNER = 1,        // the monitor had no owner (or, on JDK 23 and later, a virtual one)
  CONTENTION_RECHECK_FAILED = 2,  // the second GetObjectMonitorUsage failed
  CONTENTION_OWNER_CHANGED = 3,   // the two readings named different owners
};
constexpr int CONTENTION_FAILURE_KINDS = 4;

// Links of the process-wide circular list of waits in progress. prev points at the previous
// element's next field; next is null while the entry is not linked; self leads back to the entry
// (null in the list head).
struct contention_list_link {
  contention_list_link *next;
  contention_list_link **prev;
  contention_active_entry *self;
};

// The wait in progress of one thread; all zero when there is none. While linked, monitor, the
// blocker texts, the counters and detection_slot are guarded by the contention lock.
struct contention_active_entry {
  int64_t start;      // clock ticks
  int64_t threshold;  // the transaction's contributor threshold at the wait's start, ticks
  jobject monitor;    // global reference, lent to a running blocker detection (null meanwhile)
  char *blocker_name;
  char *blocker_stack;
  jthread blocker_thread;  // global reference to the confirmed owner, to tell the waiter itself apart
  uint16_t detection_attempts;
  uint16_t detections_confirmed;
  uint16_t detection_failures[CONTENTION_FAILURE_KINDS];
  contention_detection_slot *detection_slot;
  contention_list_link link;
};

// One recorded long wait; texts are owned.
struct contention_long_wait {
  char *lock_class;  // class signature of the contended object
  char *thread_name;
  char *declaring_class;  // signature of the class of the method the thread waited in
  char *method_name;
  int64_t duration_ms;
  int64_t start_ms;  // epoch milliseconds
  char *stack;
  char *blocker_name;  // null when no blocker was confirmed
  char *blocker_stack;
  uint16_t detection_attempts;
  uint16_t detections_confirmed;
  uint16_t detection_failures[CONTENTION_FAILURE_KINDS];
  contention_long_wait *next;  // the next older record
};

// The probe's part of a thread's transaction state.
struct contention_locals {
  uint32_t thread_number;
  contention_active_entry active;
  uint8_t flushing;                  // the long-wait list is being turned into Java objects
  uint32_t long_wait_count;          // at most CONTENTION_MAX_LONG_WAITS
  contention_long_wait *long_waits;  // newest first
  uint8_t root_cause_found;          // a long wait was recorded in this transaction
};

constexpr uint32_t CONTENTION_MAX_LONG_WAITS = 1000;
