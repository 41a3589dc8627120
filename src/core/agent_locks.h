// Locks: the recursive mutexes that guard module state (platform/mutex.h), and JVMTI raw monitors
// for waiting threads.
#pragma once

#include <jvmti.h>

#include <cstdint>

#include "platform/mutex.h"

jrawMonitorID jvmti_monitor_create(jvmtiEnv *jvmti);
bool jvmti_monitor_enter(jvmtiEnv *jvmti, jrawMonitorID monitor);
bool jvmti_monitor_exit(jvmtiEnv *jvmti, jrawMonitorID monitor);
bool jvmti_monitor_wait(jvmtiEnv *jvmti, jrawMonitorID monitor, int64_t milliseconds);
bool jvmti_monitor_notify(jvmtiEnv *jvmti, jrawMonitorID monitor);
