#include "snapshot/oom_walk.h"

#include <cstdlib>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "statistics/classloader_tracker.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "snapshot/oom_classes.h"
#include "snapshot/oom_dump.h"
#include "snapshot/oom_notify.h"
#include "snapshot/snapshot_memory_tracker.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"

namespace {

// What every callback of one walk reads: the dump's record and the walk's own class flags.
struct walk_context {
  snapshot_dump *dump;
  snapshot_record *snapshot;
  tag_backup *backup;
  memory_tracker *tracker;
  uint8_t *class_flags;  // per class id: CLASS_RECORDED, CLASS_LOCAL_SKIPPED; null when none could be had
  uint64_t id_count;
  bool is_hotspot;
};

constexpr uint8_t CLASS_RECORDED = 1;       // the class object's record is written
constexpr uint8_t CLASS_LOCAL_SKIPPED = 2;  // the listing's own local reference to it was skipped

// Objects whose class is known not to be a class loader need not be offered to the tracker.
void offer_to_classloader_tracker(const snapshot_dump *dump, uint64_t previous_tag, uint64_t class_id,
                                  uint64_t temporary_tag) {
  if (previous_tag == 0) return;  // the tracker keys loaders by their (non-zero) tags
  if (dump->classloader_flags != nullptr && class_id >= 1 && class_id <= dump->classloader_flag_count &&
      dump->classloader_flags[class_id - 1] == 0) {
    return;
  }
  cltracker_store_temporary_tag(previous_tag, temporary_tag);
}

jint JNICALL follow_references_callback(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo *info,
                                        jlong class_tag, jlong referrer_class_tag, jlong size, jlong *tag_ptr,
                                        jlong *referrer_tag_ptr, jint array_length, void *user_data) {
  auto *walk = static_cast<walk_context *>(user_data);
  snapshot_record *snapshot = walk->snapshot;
  if (!snapshot_memory_tracker_visit(walk->tracker) || !snapshot_in_valid_state(snapshot)) return JVMTI_VISIT_ABORT;
  if (!snapshot->classes_listed_in_walk) oom_classes_at_walk_start(walk->dump);

  uint64_t referrer_tag = referrer_tag_ptr != nullptr ? (uint64_t)*referrer_tag_ptr : 0;
  if (kind == JVMTI_HEAP_REFERENCE_CLASS) {
    // Only objects whose class had no tag when they were recorded name their class this way.
    if (!tag_has_kind(referrer_tag, TAG_KIND_TEMPORARY_CLASS_UNTAGGED)) return JVMTI_VISIT_OBJECTS;
    ++snapshot->class_reference_count;
  } else if (kind == JVMTI_HEAP_REFERENCE_INTERFACE && referrer_tag_ptr != nullptr) {
    if (referrer_tag_ptr == tag_ptr || (*tag_ptr != 0 && (uint64_t)*tag_ptr == referrer_tag)) {
      return JVMTI_VISIT_OBJECTS;
    }
  }

  uint64_t tag = (uint64_t)*tag_ptr;
  uint64_t id;
  bool new_object = false;
  bool class_record = false;
  if (!tag_is_temporary(tag)) {
    new_object = true;
    id = tag_backup_record(walk->backup, tag) + 1;
  } else {
    id = tag_temporary_number(tag);
    if (id < walk->id_count && walk->class_flags != nullptr) {
      uint8_t &flags = walk->class_flags[id];
      if (kind == JVMTI_HEAP_REFERENCE_JNI_LOCAL && (flags & CLASS_LOCAL_SKIPPED) == 0) {
        flags |= CLASS_LOCAL_SKIPPED;  // the snapshot's own reference from the class listing
        return 0;
      }
      class_record = (flags & CLASS_RECORDED) == 0;
    }
  }
  uint64_t referrer_id = tag_graph_id(referrer_tag);
  bool object_follows = new_object || class_record;

  uint8_t record[GRAPH_STACK_LOCAL_MAX + GRAPH_OBJECT_MAX];
  size_t length;
  if (kind == JVMTI_HEAP_REFERENCE_STACK_LOCAL) {
    const jvmtiHeapReferenceInfoStackLocal &local = info->stack_local;
    length = oom_graph_encode_stack_local(record, (uint64_t)(uintptr_t)local.method, local.slot, (int32_t)local.depth,
                                          (uint64_t)local.thread_id, referrer_id, id, object_follows);
    ++snapshot->local_reference_count;
  } else {
    uint32_t index = 0;
    if (kind == JVMTI_HEAP_REFERENCE_FIELD || kind == JVMTI_HEAP_REFERENCE_STATIC_FIELD) {
      index = (uint32_t)info->field.index;
    } else if (kind == JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT) {
      index = (uint32_t)info->array.index;
    }
    length = oom_graph_encode_reference(record, (unsigned)kind, index, referrer_id, id, object_follows);
  }
  ++snapshot->reference_count;

  // The class id an object record names: the temporary id of the class's tag, when it has one.
  uint64_t class_id = tag_graph_id((uint64_t)class_tag);
  if (new_object) {
    length += oom_graph_encode_object(record + length, tag, class_id, (uint64_t)size);
    oom_graph_append(snapshot, record, length);
    uint64_t temporary =
        tag_make_temporary(id, class_id != 0 ? TAG_KIND_TEMPORARY_CLASS_TAGGED : TAG_KIND_TEMPORARY_CLASS_UNTAGGED);
    offer_to_classloader_tracker(walk->dump, tag, class_id, temporary);
    *tag_ptr = (jlong)temporary;
    snapshot_memory_tracker_tagged(walk->tracker, 1);
    return JVMTI_VISIT_OBJECTS;
  }
  if (class_record) {
    oom_classes_set_base_size(walk->dump, id, size);
    walk->class_flags[id] |= CLASS_RECORDED;
    uint64_t previous = tag_backup_get_original(walk->backup, id - 1, 0);
    length += oom_graph_encode_object(record + length, previous, class_id, walk->is_hotspot ? 0 : (uint64_t)size);
    oom_graph_append(snapshot, record, length);
    offer_to_classloader_tracker(walk->dump, previous, class_id, (uint64_t)*tag_ptr);
    return JVMTI_VISIT_OBJECTS;
  }
  oom_graph_append(snapshot, record, length);
  return JVMTI_VISIT_OBJECTS;
}

jint JNICALL restore_tags_callback(jlong class_tag, jlong size, jlong *tag_ptr, jint length, void *user_data) {
  uint64_t tag = (uint64_t)*tag_ptr;
  if (tag_is_temporary(tag)) {
    auto *backup = static_cast<tag_backup *>(user_data);
    uint64_t original = tag_backup_get_original(backup, tag_temporary_number(tag) - 1, tag);
    // A tag that the backup could not keep is lost; a stale temporary tag would be taken for an
    // already recorded object by the next snapshot, so the object ends untagged.
    *tag_ptr = (jlong)(original == tag ? 0 : original);
  }
  return 0;
}

}  // namespace

void dump_object_graph(snapshot_dump *dump) {
  uint64_t start = perfCounterCurrent();
  walk_context walk{};
  walk.dump = dump;
  walk.snapshot = dump->snapshot;
  walk.backup = dump->backup;
  walk.tracker = dump->tracker;
  walk.class_flags = static_cast<uint8_t *>(calloc(dump->id_count > 0 ? dump->id_count : 1, 1));
  walk.id_count = dump->id_count;
  walk.is_hotspot = agent_globals->is_hotspot != 0;
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = follow_references_callback;
  check_jvmti_error_no_exception(nullptr, dump->jvmti,
                                 dump->jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &walk),
                                 "Failed to follow references.");
  dump->snapshot->object_count = (int64_t)dump->backup->record_count + 1;
  free(walk.class_flags);
  dump->snapshot->dump_stw_time = hires_elapsed_ms(start);
}

void snapshot_dump_object_graph(snapshot_dump *dump) {
  snapshot_record *snapshot = dump->snapshot;
  if (!oom_graph_open(snapshot)) return;
  dump_object_graph(dump);
  if (snapshot_in_valid_state(snapshot)) {
    int32_t failure = dump->backup->failure;
    if (failure == TAG_BACKUP_TOO_MANY_TAGS) {
      log_error_raw(nullptr, "Too many objects to attach temporary tags to them all.");
      oom_send_status_notification(snapshot, "error", "tag_overflow");
      snapshot->error_reported = 1;
    } else if (failure == TAG_BACKUP_OUT_OF_MEMORY || dump->tracker->failed) {
      log_error_raw(nullptr, "Not enough memory to safely complete the memory snapshot.");
      oom_send_status_notification(snapshot, "error", "memory_limit_reached");
      snapshot->error_reported = 1;
    }
  }
  oom_graph_close(snapshot);
}

void restore_object_tags(snapshot_dump *dump) {
  uint64_t start = perfCounterCurrent();
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_iteration_callback = restore_tags_callback;
  check_jvmti_error_no_exception(
      nullptr, dump->jvmti,
      dump->jvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, dump->backup),
      "Failed to restore object tags.");
  dump->snapshot->restore_stw_time = hires_elapsed_ms(start);
}
