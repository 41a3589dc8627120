// The dump phase of one snapshot: the record that the class listing, the heap walk, the class
// sizes and the tag restore share.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "snapshot/oom_writer.h"

struct hashmap;
struct memory_tracker;
struct tag_backup;

// Made by the dump phase (oom.cpp) and handed to every step of it.
struct snapshot_dump {
  snapshot_record *snapshot;
  jvmtiEnv *jvmti;  // the tagging environment
  JNIEnv *jni;
  tag_backup *backup;
  hashmap *class_map;  // class id -> class_info_entry; null when it could not be made
  memory_tracker *tracker;
  // Set by the class listing before the walk: the number of class ids plus one (a temporary id
  // below it names a class) and, per listing position, 1 for class loader classes.
  uint64_t id_count;
  uint8_t *classloader_flags;  // null when it could not be had
  uint64_t classloader_flag_count;
};
