// The Windows part of the agent mutex: recursive mutexes as critical sections, which a thread may
// enter again while it holds them.
#include <windows.h>

#include "platform/mutex.h"

static_assert(sizeof(CRITICAL_SECTION) <= AGENT_MUTEX_NATIVE_SIZE && alignof(CRITICAL_SECTION) <= 16,
              "a critical section fits the agent mutex's storage");

namespace {
CRITICAL_SECTION *native_section(void *native) { return static_cast<CRITICAL_SECTION *>(native); }
}  // namespace

// A short spin before sleeping: the agent's sections are held for a few instructions at a time.
void agent_mutex_os_init(void *native) { InitializeCriticalSectionAndSpinCount(native_section(native), 1000); }
void agent_mutex_os_lock(void *native) { EnterCriticalSection(native_section(native)); }
void agent_mutex_os_unlock(void *native) { LeaveCriticalSection(native_section(native)); }
void agent_mutex_os_destroy(void *native) { DeleteCriticalSection(native_section(native)); }
