// OutOfMemoryError handling and the snapshot's lifecycle: which events are handled, the phases of
// one snapshot and the console banner. The dump phase's steps live beside it: the class listing
// and class sizes (oom_classes), the heap walk and tag restore (oom_walk), the other info file
// sections (oom_sections), the files (oom_writer) and the status notifications (oom_notify).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <cstdint>

#include "snapshot/oom_writer.h"

enum oom_event_type : int32_t {
  OOM_TYPE_HEAP = 0,
  OOM_TYPE_METASPACE = 1,
  OOM_TYPE_OTHER = 2,
  OOM_TYPE_PREEMPTIVE = 3,
};

void oom_pre_initialise();
void oom_configure(const char *host, int port, const char *details_location, bool send_notifications);
void oom_on_resource_exhausted(jvmtiEnv *jvmti, JNIEnv *jni, jint flags, const char *description);

int32_t oom_get_event_type(jint flags, const char *description, bool requested);
const char *get_oom_type_string(int32_t type);
void start_heap_dump(JNIEnv *jni, jint flags, const char *description, bool requested);
// A requested snapshot, as HeapDumpTrigger.triggerHeapDump takes it, with its directory copied to
// directory ("" when none was made). True when the snapshot was taken and is valid.
bool oom_request_snapshot(JNIEnv *jni, const char *description, char *directory, size_t size);

// The phases of one snapshot (the caller holds the OOM lock). False when OOM handling was not
// configured yet and nothing was attempted.
bool snapshot_process(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, int64_t start_time);

// The four lines of the console banner, each 80 characters and a newline, into out.
void oom_format_banner(const char *details_location, char *out, size_t size);

// Starts the uploader JVM: the configured JVM arguments, "-Xmx256m", "-DvorkelFork=1", "-jar",
// the agent jar, "forked_job", mode ("oom" or "all") and directory, with "VORKEL_HOME" set to
// the agent's home directory. The agent does not wait for it.
bool oom_start_fork(const char *mode, const char *directory);

// How often each event type was handled (for diagnostics and tests).
uint32_t oom_handled_count(int32_t type);
