// Operation timings of user transactions.
#pragma once

#include <jni.h>

bool timing_tracker_initialise(JNIEnv *jni);
