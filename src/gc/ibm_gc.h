// Verbose-GC subscriber of the IBM J9 JVM: collection records parsed from the VM's XML output,
// queued by the subscriber and handed to the Java half by the GC reporter thread.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <cstdint>

#include "gc/ibm_gc_xml.h"

constexpr size_t IBM_GC_QUEUE_SIZE = 128;
constexpr size_t IBM_GC_REPORT_BATCH = 8;
constexpr size_t IBM_GC_MAX_COLLECTORS = 8;

struct ibm_gc_record {
  uint8_t valid;                // a gc-start with its memory list is open
  char type[IBM_GC_TYPE_SIZE];  // gc-end's "type", cut to 31 characters
  int64_t duration_ms;          // gc-end's "durationms", fraction dropped
  int64_t timestamp_ms;         // wall clock when the gc-end was read
  uint8_t in_allocation_failure;
  ibm_gc_memory_list before;
  ibm_gc_memory_list after;
};

void ibm_gc_pre_initialise();
// Registers the subscriber through the "com.ibm.RegisterVerboseGCSubscriber" extension; tried
// once per process, later calls return the first outcome.
bool ibm_gc_enable(jvmtiEnv *jvmti, JNIEnv *jni);
// The subscriber the VM calls with each verbose-GC record. Always returns JVMTI_ERROR_NONE.
jvmtiError JNICALL ibm_gc_subscriber(jvmtiEnv *jvmti, const char *record, jlong length, void *user_data);
// Hands up to IBM_GC_REPORT_BATCH queued records to target's reportJ9Collections (method).
void ibm_gc_report(JNIEnv *jni, jobject target, jmethodID method);

// Moves up to max records from the front of the queue into records; returns how many.
size_t ibm_gc_take_records(ibm_gc_record *records, size_t max);
