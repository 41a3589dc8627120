// The sections of the snapshot's info file that do not list classes: metadata, allocation points,
// threads, class loaders and the summary.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "snapshot/oom_writer.h"

void dump_metadata(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, int64_t start_time);
void dump_allocation_point_info(snapshot_record *snapshot);
void dump_all_thread_info(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni);
void dump_classloader_info(snapshot_record *snapshot);

// Forgets the graph ids that the walk gave the class loaders: they belong to one snapshot.
void oom_sections_clear_classloader_ids();
// The Summary section and the closing "End" header.
void dump_summary(snapshot_record *snapshot);
