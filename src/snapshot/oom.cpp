#include "snapshot/oom.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "platform/fileops.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "snapshot/oom_classes.h"
#include "snapshot/oom_dump.h"
#include "snapshot/oom_notify.h"
#include "snapshot/oom_sections.h"
#include "snapshot/oom_walk.h"
#include "platform/proc_info.h"
#include "snapshot/snapshot_memory_tracker.h"
#include "base/string_util.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"

namespace {

struct {
  agent_mutex lock;
  uint32_t handled_count[4];
  int32_t configured;
  char details_location[256];
  // Set while a snapshot runs; the OOM lock is recursive, so only the snapshot's own thread can
  // see it set (an OutOfMemoryError raised by the snapshot's own Java calls).
  uint8_t in_progress;
  // Start time of the last snapshot: the next one starts at least a millisecond later, so that two
  // snapshots never share a directory.
  int64_t last_start_time;
} oom_global;

// The class listing, the walk, the classes after it, class sizes, threads and class loaders,
// inside the tag-operations lock; the tags are restored whatever happened. False as soon as one
// step leaves the snapshot invalid.
bool snapshot_dump_phase(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, memory_tracker *tracker) {
  tag_backup *backup = tag_backup_setup();
  if (backup == nullptr) {
    log_error_raw(nullptr, "Too little native memory left to send reference and class data.");
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_TAG_BACKUP);
    return false;
  }
  snapshot_dump dump{};
  dump.snapshot = snapshot;
  dump.jvmti = jvmti;
  dump.jni = jni;
  dump.backup = backup;
  dump.tracker = tracker;
  dump.class_map = oom_classes_map_create();
  if (dump.class_map == nullptr) oom_send_status_notification(snapshot, "error", "class_size_map_oom");

  tag_access_register_backup(backup);
  bool result = false;
  do {
    if (!snapshot_in_valid_state(snapshot)) break;
    dump_all_class_info(&dump);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_memory_tracker_tagged(tracker, dump.id_count);
    snapshot_dump_object_graph(&dump);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_dump_post_class_info(&dump);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_dump_class_sizes(&dump);
    if (!snapshot_in_valid_state(snapshot)) break;
    dump_all_thread_info(snapshot, jvmti, jni);
    if (!snapshot_in_valid_state(snapshot)) break;
    dump_classloader_info(snapshot);
    result = snapshot_in_valid_state(snapshot);
  } while (false);

  restore_object_tags(&dump);
  oom_sections_clear_classloader_ids();
  tag_access_deregister_backup();
  tag_backup_release(backup);
  free(dump.classloader_flags);
  oom_classes_map_release(&dump);
  return result;
}

// The snapshot's directory. A work directory that was removed while the JVM ran (a clean-up of
// temporary files, say) is made again, so that the snapshot is not lost for it; its parent is not.
bool snapshot_create_directory(const snapshot_record *snapshot, const char *work_dir) {
  if (create_directory(snapshot->dump_directory)) return true;
  int error = errno;
  if (error == ENOENT && create_directory(work_dir)) {
    log_warn(nullptr, "The work directory %s was missing and is made again.", work_dir);
    if (create_directory(snapshot->dump_directory)) return true;
    error = errno;
  }
  log_error_raw(nullptr, "Creating %s failed: %s (error %d).", snapshot->dump_directory, strerror(error), error);
  return false;
}

void snapshot_release_lock(snapshot_record *snapshot) {
  free_locked_file(snapshot->lock_handle);
  snapshot->lock_handle = INVALID_LOCKED_FILE;
}

}  // namespace

bool oom_start_fork(const char *mode, const char *directory) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->java_executable[0] == '\0' || mode == nullptr || directory == nullptr) {
    log_error_raw(nullptr, "Uploader fork not started: the agent is not configured.");
    return false;
  }
  // Process creation here hands the list over as the whole argument vector, so the launcher's
  // path goes first as argv[0] and every entry after it reaches the JVM as an argument.
  uint64_t jvm_count = globals->jvm_arguments != nullptr ? globals->jvm_argument_count : 0;
  char **arguments = static_cast<char **>(calloc(jvm_count + 9, sizeof(char *)));
  if (arguments == nullptr) {
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to allocate buffer for fork arguments.", "oom_start_fork", 1132);
    return false;
  }
  size_t at = 0;
  arguments[at++] = globals->java_executable;
  for (uint64_t i = 0; i < jvm_count; ++i) arguments[at++] = globals->jvm_arguments[i];
  arguments[at++] = const_cast<char *>("-Xmx256m");
  arguments[at++] = const_cast<char *>("-DvorkelFork=1");
  arguments[at++] = const_cast<char *>("-jar");
  arguments[at++] = globals->agent_jar;
  arguments[at++] = const_cast<char *>("forked_job");
  arguments[at++] = const_cast<char *>(mode);
  arguments[at++] = const_cast<char *>(directory);
  arguments[at] = nullptr;

  char home[sizeof "VORKEL_HOME=" + sizeof globals->home_dir];
  xsnprintf(home, sizeof home, "VORKEL_HOME=%s", globals->home_dir);
  const char *variables[] = {home, nullptr};
  bool started = create_process(globals->java_executable, arguments, nullptr, variables);
  free(arguments);
  return started;
}

void oom_pre_initialise() { agent_mutex_init(oom_global.lock); }

void oom_configure(const char *host, int port, const char *details_location, bool send_notifications) {
  agent_mutex_guard guard(oom_global.lock);
  oom_notify_configure(host, port, send_notifications);
  xsnprintf(oom_global.details_location, sizeof oom_global.details_location, "%s", details_location);
  oom_global.configured = 1;
}

uint32_t oom_handled_count(int32_t type) { return type >= 0 && type < 4 ? oom_global.handled_count[type] : 0; }

int32_t oom_get_event_type(jint flags, const char *description, bool requested) {
  if (requested) return OOM_TYPE_PREEMPTIVE;
  if (description != nullptr &&
      (strstr(description, "PermGen") != nullptr || strstr(description, "Metaspace") != nullptr)) {
    return OOM_TYPE_METASPACE;
  }
  return (flags & JVMTI_RESOURCE_EXHAUSTED_JAVA_HEAP) != 0 ? OOM_TYPE_HEAP : OOM_TYPE_OTHER;
}

const char *get_oom_type_string(int32_t type) {
  static const char *const names[] = {"heap", "metaspace", "other", "preemptive"};  // by oom_event_type
  static_assert(OOM_TYPE_HEAP == 0 && OOM_TYPE_METASPACE == 1 && OOM_TYPE_OTHER == 2 && OOM_TYPE_PREEMPTIVE == 3);
  return string_table_name(names, type, "other");
}

void oom_on_resource_exhausted(jvmtiEnv *jvmti, JNIEnv *jni, jint flags, const char *description) {
  if ((flags & JVMTI_RESOURCE_EXHAUSTED_OOM_ERROR) == 0) return;
  start_heap_dump(jni, flags, description, false);
}

void oom_format_banner(const char *details_location, char *out, size_t size) {
  char stars[81];
  memset(stars, '*', 80);
  stars[80] = '\0';
  size_t location_length = strlen(details_location);
  size_t padding = location_length < 54 ? 54 - location_length : 0;
  char spaces[65] = "";
  if (padding > 0) xsnprintf(spaces, padding + 1, "%64s", "");
  xsnprintf(out, size,
            "%s\n* Vorkel has detected an OutOfMemoryError thrown by the JVM.                   *\n"
            "* See %s to find more info.%s*\n%s\n",
            stars, details_location, spaces, stars);
}

bool snapshot_process(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, int64_t start_time) {
  if (!oom_global.configured) {
    log_error_raw(nullptr, "OOM handling not configured yet.");
    return false;
  }
  agent_globals_record *globals = agent_globals;
  oom_send_status_notification(snapshot, "start", "");
  memory_tracker tracker;
  snapshot_memory_tracker_initialise(&tracker);

  if (!snapshot_build_paths(snapshot, globals->work_dir) || !snapshot_create_directory(snapshot, globals->work_dir)) {
    log_error_raw(nullptr, "Failed to create directory %s for OOM processing.", snapshot->dump_directory);
    oom_send_status_notification(snapshot, "fatal", "context_init");
    return true;
  }
  char lock_path[1100];
  xsnprintf(lock_path, sizeof lock_path, "%s/context.lock", snapshot->dump_directory);
  if (!create_locked_file(lock_path, &snapshot->lock_handle)) {
    log_error_raw(nullptr, "Failed to create lock file %s.", lock_path);
    oom_send_status_notification(snapshot, "fatal", "context_init");
    return true;
  }
  // From here on every exit gives the lock file back (before the helper process starts, so that
  // the helper cannot hold the lock for a moment while it starts).
  const char *failure = nullptr;
  if (!snapshot_in_valid_state(snapshot)) {
    failure = snapshot_get_fatal_error(snapshot);
  } else if (!snapshot_memory_tracker_initial_check(&tracker)) {
    failure = "memory_limit_reached";
  } else if (!oom_save_parameters(snapshot)) {
    failure = "save_parameters";
  } else if (!oom_text_open(snapshot)) {
    failure = "text_open";
  }
  if (failure != nullptr) {
    snapshot_release_lock(snapshot);
    oom_send_status_notification(snapshot, "fatal", failure);
    return true;
  }

  oom_write_status_file(snapshot, "dumping");
  uint64_t dumping_start = perfCounterCurrent();
  dump_metadata(snapshot, jvmti, jni, start_time);
  if (snapshot_in_valid_state(snapshot)) dump_allocation_point_info(snapshot);

  if (snapshot_in_valid_state(snapshot) && snapshot_dump_phase(snapshot, jvmti, jni, &tracker)) {
    if (globals->vm_dead) {
      oom_send_status_notification(snapshot, "error", "vm_died_while_dumping");
      snapshot->error_reported = 1;
    }
    snapshot->dumping_total_time = hires_elapsed_ms(dumping_start);
    if (snapshot_in_valid_state(snapshot)) dump_summary(snapshot);
  }
  oom_text_close(snapshot);

  bool valid = snapshot_in_valid_state(snapshot);
  if (!valid) {
    oom_write_status_file(snapshot, "cleanup 0");
    const char *code = snapshot_get_fatal_error(snapshot);
    if (code == nullptr) code = "unknown error";
    log_error_raw(nullptr,
                  "Dumping was interrupted with a fatal error: %s. Deleting graph and info files, the rest of the OOM "
                  "directory will be cleaned up by Java agent on next launch.",
                  code);
    file_delete(snapshot->graph_path);
    file_delete(snapshot->info_path);
    snapshot_release_lock(snapshot);
    oom_send_status_notification(snapshot, "fatal", code);
    return true;
  }
  if (!snapshot->error_reported) oom_write_status_file(snapshot, "compressing 0");
  snapshot_release_lock(snapshot);
  if (!oom_start_fork("oom", snapshot->dump_directory)) {
    oom_send_status_notification(snapshot, "error", "uploader_fork");
  }
  return true;
}

void start_heap_dump(JNIEnv *jni, jint flags, const char *description, bool requested) {
  int32_t type = oom_get_event_type(flags, description, requested);
  agent_mutex_guard guard(oom_global.lock);
  if (oom_global.in_progress) {
    log_debug(nullptr, "Received an OOM of type %d while a snapshot is being taken, not handling it.", (int)type);
    return;
  }
  if (type < OOM_TYPE_PREEMPTIVE && oom_global.handled_count[type] != 0) {
    log_debug(nullptr, "Received an OOM of already handled type %d, not handling again.", (int)type);
    return;
  }
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->tag_jvmti == nullptr) return;

  int64_t start_time = currentTimeMillis();
  if (start_time <= oom_global.last_start_time) start_time = oom_global.last_start_time + 1;
  oom_global.last_start_time = start_time;
  snapshot_record *snapshot = &snapshot_current;
  snapshot_reset(snapshot);
  snapshot->start_time = start_time;
  xsnprintf(snapshot->description, sizeof snapshot->description,
            "{\"type\":\"%s\",\"flags\":%d,\"description\":\"%s\"}", get_oom_type_string(type), (int)flags,
            description != nullptr ? description : "");
  log_debug(nullptr, "Beginning to process snapshot %s of type %d (started at %lld).", snapshot->description, (int)type,
            (long long)start_time);

  oom_global.in_progress = 1;
  bool attempted = snapshot_process(snapshot, globals->tag_jvmti, jni, start_time);
  oom_global.in_progress = 0;

  if (!requested) {
    char banner[512];
    oom_format_banner(oom_global.details_location, banner, sizeof banner);
    fputs(banner, stdout);
    fflush(stdout);
  }
  log_debug(nullptr, "Snapshot processing finished.");
  // An event that came before the configuration was not handled: the type stays open, so the
  // first OutOfMemoryError after configuration still gets its snapshot.
  if (attempted) ++oom_global.handled_count[type];
}

bool oom_request_snapshot(JNIEnv *jni, const char *description, char *directory, size_t size) {
  if (size > 0) directory[0] = '\0';
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->vm_dead) return false;
  // The lock is recursive: held across the snapshot, the directory read is this snapshot's.
  agent_mutex_guard guard(oom_global.lock);
  uint32_t before = oom_global.handled_count[OOM_TYPE_PREEMPTIVE];
  start_heap_dump(jni, 0, description, true);
  if (oom_global.handled_count[OOM_TYPE_PREEMPTIVE] == before) return false;  // not attempted
  xsnprintf(directory, size, "%s", snapshot_current.dump_directory);
  return snapshot_in_valid_state(&snapshot_current);
}

VORKEL_EXPORT jboolean JNICALL Java_vorkel_runtime_agent_oom_HeapDumpTrigger_triggerHeapDump(JNIEnv *jni, jclass,
                                                                                             jstring description) {
  agent_globals_record *globals = agent_globals;
  if (globals == nullptr || globals->vm_dead) return JNI_FALSE;
  log_debug(nullptr, "Starting collecting heap dump");
  jni_utf_chars text(jni, description);
  start_heap_dump(jni, 0, text ? text.get() : "", true);
  log_debug(nullptr, "Finished collecting heap dump");
  return JNI_TRUE;
}
