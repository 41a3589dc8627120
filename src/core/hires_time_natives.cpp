// The natives of VorkelClockNativeImpl: the anchored clock for the Java half.
#include <jni.h>

#include "base/common.h"
#include "core/hires_time.h"

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_tools_timings_VorkelClockNativeImpl_initNativeTime(
    JNIEnv *jni, jclass self, jlong epoch_millis) {
  hires_anchor_clock(epoch_millis);
}

VORKEL_EXPORT jlong JNICALL
Java_vorkel_runtime_agent_tools_timings_VorkelClockNativeImpl_getMillisFromPerfCounter(JNIEnv *jni, jclass self) {
  return currentTimeMillis();
}
