#include "core/tag_access.h"

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "core/log.h"
#include "core/tag_backup.h"

namespace {

struct {
  agent_mutex tag_backup_lock;
  tag_backup *active_backup;
} tags;

bool vm_is_dead() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr && globals->vm_dead;
}

}  // namespace

// The lock is made on its first use; ObjectFree may already run on other
// threads when the agent is loaded late, so they are not made again here.
void tag_access_pre_initialise() {}

bool tag_access_set_tag(jvmtiEnv *jvmti, jobject object, uint64_t tag) {
  if (vm_is_dead()) return false;
  return check_jvmti_error_no_exception(nullptr, jvmti, jvmti->SetTag(object, (jlong)tag), "SetTag failed.");
}

uint64_t tag_access_get_tag(jvmtiEnv *jvmti, jobject object) {
  if (vm_is_dead()) return 0;
  jlong tag = 0;
  if (!check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetTag(object, &tag), "GetTag failed.")) return 0;
  return (uint64_t)tag;
}

uint64_t tag_access_get_permanent_tag(uint64_t tag) {
  if (!tag_is_temporary(tag)) return tag;
  uint64_t answer = 0;
  agent_mutex_lock(tags.tag_backup_lock);
  if (tags.active_backup == nullptr) {
    log_error_raw(nullptr, "%s (%s:%d)", "Could not get original tag from temporary tag.",
                  "tag_access_get_permanent_tag", 87);
  } else {
    // Number 0 (index -1) is beyond every backup and ends as "no match".
    uint64_t original = tag_backup_get_original(tags.active_backup, tag_temporary_number(tag) - 1, tag);
    if (original == tag) {
      log_error_raw(nullptr, "%s (%s:%d)", "Could not get original tag from temporary tag - no match.",
                    "tag_access_get_permanent_tag", 99);
    } else {
      answer = original;
    }
  }
  agent_mutex_unlock(tags.tag_backup_lock);
  return answer;
}

void tag_access_register_backup(tag_backup *backup) {
  agent_mutex_guard guard(tags.tag_backup_lock);
  tags.active_backup = backup;
}

void tag_access_deregister_backup() {
  agent_mutex_guard guard(tags.tag_backup_lock);
  tags.active_backup = nullptr;
}
