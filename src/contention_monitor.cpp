// Stand-in until the lock contention probe is built: it remembers what the JVM supports and
// ignores contended monitor entries.
#include "contention_monitor.h"

#include <atomic>

namespace {
struct {
  std::atomic<bool> supported;
  std::atomic<bool> blockers_supported;
} contention;
}  // namespace

void contention_pre_initialise() {}
void contention_set_supported() { contention.supported = true; }
void contention_set_blockers_supported() { contention.blockers_supported = true; }
bool contention_supported() { return contention.supported; }
bool contention_blockers_supported() { return contention.blockers_supported; }
void JNICALL contention_active_thread_enter(jvmtiEnv *, JNIEnv *, jthread, jobject) {}
void JNICALL contention_active_thread_entered(jvmtiEnv *, JNIEnv *, jthread, jobject) {}
