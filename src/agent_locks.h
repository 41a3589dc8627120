// Locks: the recursive mutexes that guard module state, and JVMTI raw monitors for waiting threads.
#pragma once

#include <jvmti.h>
#include <pthread.h>

#include <cstdint>

// A recursive mutex, usable from static storage before it is explicitly initialised.
struct agent_mutex {
#ifdef _WIN32
  pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER;
#else
  pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
#endif
};

void agent_mutex_init(agent_mutex &mutex);
void agent_mutex_lock(agent_mutex &mutex);
void agent_mutex_unlock(agent_mutex &mutex);

class agent_mutex_guard {
 public:
  explicit agent_mutex_guard(agent_mutex &mutex) : mutex_(mutex) { agent_mutex_lock(mutex_); }
  ~agent_mutex_guard() { agent_mutex_unlock(mutex_); }
  agent_mutex_guard(const agent_mutex_guard &) = delete;
  agent_mutex_guard &operator=(const agent_mutex_guard &) = delete;

 private:
  agent_mutex &mutex_;
};

jrawMonitorID jvmti_monitor_create(jvmtiEnv *jvmti);
bool jvmti_monitor_enter(jvmtiEnv *jvmti, jrawMonitorID monitor);
bool jvmti_monitor_exit(jvmtiEnv *jvmti, jrawMonitorID monitor);
bool jvmti_monitor_wait(jvmtiEnv *jvmti, jrawMonitorID monitor, int64_t milliseconds);
bool jvmti_monitor_notify(jvmtiEnv *jvmti, jrawMonitorID monitor);
