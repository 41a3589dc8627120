// The process exit monitor: a companion process that reports the JVM's end.
#pragma once

#include <jni.h>

void death_monitor_initialise(JNIEnv *jni, const char *crash_log_pattern);
// True when the JVM's end was reported or saved.
bool death_monitor_entry_point(char **arguments, int count);
