// The POSIX part of the agent mutex: recursive mutexes as pthread mutexes of the recursive type.
#include <pthread.h>

#include "platform/mutex.h"

static_assert(sizeof(pthread_mutex_t) <= AGENT_MUTEX_NATIVE_SIZE && alignof(pthread_mutex_t) <= 16,
              "a pthread mutex fits the agent mutex's storage");

namespace {
pthread_mutex_t *native_mutex(void *native) { return static_cast<pthread_mutex_t *>(native); }
}  // namespace

void agent_mutex_os_init(void *native) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(native_mutex(native), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void agent_mutex_os_lock(void *native) { pthread_mutex_lock(native_mutex(native)); }
void agent_mutex_os_unlock(void *native) { pthread_mutex_unlock(native_mutex(native)); }
void agent_mutex_os_destroy(void *native) { pthread_mutex_destroy(native_mutex(native)); }
