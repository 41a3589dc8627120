// Test kit natives of the heap snapshot: a memory source that runs dry after some reads, so that
// the snapshot's periodic memory check fails in the middle of a real heap walk.
#include <jni.h>
#include <jvmti.h>

#include <atomic>

#include "agent/agent_init.h"
#include "base/common.h"
#include "snapshot/snapshot_memory_tracker.h"
#include "probe_kit.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"

namespace {

std::atomic<int> reads_left;

uint64_t plenty_maximum() { return 64ULL << 30; }
uint64_t running_dry() { return reads_left.fetch_sub(1) > 0 ? (32ULL << 30) : (1ULL << 20); }
bool allocation_works(uint64_t) { return true; }

const memory_source drying{plenty_maximum, running_dry, allocation_works};

}  // namespace

// From now on the snapshot reads plenty of available memory that many times, then 1 MiB.
VORKEL_EXPORT void JNICALL Java_vorkel_test_SnapshotProbe_memoryRunsOutAfter(JNIEnv *, jclass, jint reads) {
  reads_left = reads;
  snapshot_memory_tracker_set_source(&drying);
}

VORKEL_EXPORT void JNICALL Java_vorkel_test_SnapshotProbe_systemMemory(JNIEnv *, jclass) {
  snapshot_memory_tracker_set_source(nullptr);
}

// At most that many pages of 131072 tags for the next snapshots' tag backups (0: no limit).
VORKEL_EXPORT void JNICALL Java_vorkel_test_SnapshotProbe_limitTagBackupPages(JNIEnv *, jclass, jint pages) {
  tag_backup_set_limits_for_tests(nullptr, pages);
}

// Objects of the heap that still carry a snapshot's temporary tag in the tagging environment.
VORKEL_EXPORT jlong JNICALL Java_vorkel_test_SnapshotProbe_temporaryTagCount(JNIEnv *, jclass) {
  return probe_count_tagged([](uint64_t tag) { return tag_is_temporary(tag); });
}
