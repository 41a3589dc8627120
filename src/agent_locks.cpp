#include "agent_locks.h"

#include "agent_util.h"

void agent_mutex_init(agent_mutex &mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex.mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void agent_mutex_lock(agent_mutex &mutex) { pthread_mutex_lock(&mutex.mutex); }
void agent_mutex_unlock(agent_mutex &mutex) { pthread_mutex_unlock(&mutex.mutex); }

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
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorWait(monitor, milliseconds), "Cannot wait with raw monitor");
}

bool jvmti_monitor_notify(jvmtiEnv *jvmti, jrawMonitorID monitor) {
  return check_jvmti_error(nullptr, jvmti, jvmti->RawMonitorNotify(monitor), "Cannot notify with raw monitor");
}
