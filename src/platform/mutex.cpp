#include "platform/mutex.h"

#include <thread>

namespace {

constexpr uint8_t MUTEX_NOT_MADE = 0;
constexpr uint8_t MUTEX_BEING_MADE = 1;
constexpr uint8_t MUTEX_READY = 2;

// The first thread makes the platform mutex; any other waits the moment that takes.
void agent_mutex_make(agent_mutex &mutex) {
  uint8_t expected = MUTEX_NOT_MADE;
  if (mutex.state.compare_exchange_strong(expected, MUTEX_BEING_MADE, std::memory_order_acq_rel)) {
    agent_mutex_os_init(mutex.native);
    mutex.state.store(MUTEX_READY, std::memory_order_release);
    return;
  }
  while (mutex.state.load(std::memory_order_acquire) != MUTEX_READY) std::this_thread::yield();
}

}  // namespace

void agent_mutex_init(agent_mutex &mutex) {
  if (mutex.state.load(std::memory_order_acquire) != MUTEX_READY) agent_mutex_make(mutex);
}

void agent_mutex_lock(agent_mutex &mutex) {
  if (mutex.state.load(std::memory_order_acquire) != MUTEX_READY) agent_mutex_make(mutex);
  agent_mutex_os_lock(mutex.native);
}

void agent_mutex_unlock(agent_mutex &mutex) { agent_mutex_os_unlock(mutex.native); }

void agent_mutex_destroy(agent_mutex &mutex) {
  if (mutex.state.load(std::memory_order_acquire) != MUTEX_READY) return;
  agent_mutex_os_destroy(mutex.native);
  mutex.state.store(MUTEX_NOT_MADE, std::memory_order_release);
}
