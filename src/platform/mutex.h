// Recursive mutexes that guard module state: a pthread mutex or a critical section in storage of
// the mutex's own, usable from zero-filled static storage.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Room for the platform's recursive mutex (a pthread mutex, a critical section), so that this
// header needs no platform header.
constexpr size_t AGENT_MUTEX_NATIVE_SIZE = 64;

// A recursive mutex, usable from static (zero-filled) storage before anything initialised it:
// the platform mutex is made by agent_mutex_init or, at the latest, by the first lock, and given
// back by agent_mutex_destroy.
struct agent_mutex {
  std::atomic<uint8_t> state{0};  // 0 not made, 1 being made, 2 ready
  alignas(16) unsigned char native[AGENT_MUTEX_NATIVE_SIZE]{};
};

// Makes the platform mutex unless it exists already; a mutex in use is left as it is.
void agent_mutex_init(agent_mutex &mutex);
void agent_mutex_lock(agent_mutex &mutex);
void agent_mutex_unlock(agent_mutex &mutex);
// Gives the platform mutex back (nobody may hold or wait for it); a later lock makes it afresh.
void agent_mutex_destroy(agent_mutex &mutex);

// The operating system's part (platform/unix/mutex_os.cpp, platform/win/mutex_os.cpp), on the
// native storage.
void agent_mutex_os_init(void *native);
void agent_mutex_os_lock(void *native);
void agent_mutex_os_unlock(void *native);
void agent_mutex_os_destroy(void *native);

class agent_mutex_guard {
 public:
  explicit agent_mutex_guard(agent_mutex &mutex) : mutex_(mutex) { agent_mutex_lock(mutex_); }
  ~agent_mutex_guard() { agent_mutex_unlock(mutex_); }
  agent_mutex_guard(const agent_mutex_guard &) = delete;
  agent_mutex_guard &operator=(const agent_mutex_guard &) = delete;

 private:
  agent_mutex &mutex_;
};
