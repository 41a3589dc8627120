// Allocation statistics: tags on followed instances, live counts per allocation point and generation.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

void stats_pre_initialise();
bool stats_find_init_classes(JNIEnv *jni);
void stats_object_free(jvmtiEnv *jvmti, uint64_t tag);
