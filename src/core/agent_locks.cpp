#include "core/agent_locks.h"

#include "core/agent_util.h"

jrawMonitorID jvmti_monitor_create(jvmtiEnv *jvmti) {
  jrawMonitorID monitor = nullptr;
  if (!check_jvmti_error(nullptr, jvmti, jvmti->CreateRawMonitor("vorkelNativeAgent", &monitor),
                         "jvmti_monitor_create: Cannot create raw monitor")) {
    return nullptr;
  }
  return monitor;
}

bool jvmti_monitor_enter(jvmtiEnv *jvmti, jrawMonitorID monitor) {
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorEnter(monitor), "Cannot enter with raw monitor");
}

bool jvmti_monitor_exit(jvmtiEnv *jvmti, jrawMonitorID monitor) {
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorExit(monitor), "Cannot exit with raw monitor");
}

bool jvmti_monitor_wait(jvmtiEnv *jvmti, jrawMonitorID monitor, int64_t milliseconds) {
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorWait(monitor, milliseconds),
                           "Cannot wait with raw monitor");
}

bool jvmti_monitor_notify(jvmtiEnv *jvmti, jrawMonitorID monitor) {
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorNotify(monitor), "Cannot notify with raw monitor");
}
