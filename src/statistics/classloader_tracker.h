// Class loader tracker: every class loader that defined a class, keyed by its permanent object tag,
// with the time its first class was prepared; forgotten when the loader is freed. Also forwards
// class loads to the Java half (onClassLinked) once it has attached, and the class-loading natives.
//
// The tracker's lock is a leaf: no tag lock is taken while it is held, and no JNI or JVMTI call is
// made under it.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "core/hashmap.h"

// The value of a tracked loader's entry.
struct cltracker_loader_info {
  uint64_t temporary_tag;  // the loader's temporary tag during a snapshot, else 0
  uint64_t first_seen;     // high-resolution counter when its first class was prepared
};

constexpr uint64_t CLTRACKER_INITIAL_ENTRIES = 512;

void cltracker_pre_initialise();
bool cltracker_initialise(JNIEnv *jni);
void JNICALL cltracker_class_load_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass);
void JNICALL cltracker_class_prepare_event(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jclass klass);
void cltracker_object_free(jvmtiEnv *jvmti, uint64_t tag);
// The loader's tag changed from old_tag to new_tag (statistics re-tagged it).
void cltracker_update_tag(uint64_t old_tag, uint64_t new_tag);
void cltracker_store_temporary_tag(uint64_t permanent_tag, uint64_t temporary_tag);
// Visits every tracked loader under the tracker's lock; entries hold cltracker_loader_info.
void cltracker_enumerate(hashmap_visitor visitor, void *context);
