#include "oom.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent_init.h"
#include "agent_locks.h"
#include "agent_util.h"
#include "class_size.h"
#include "classloader_tracker.h"
#include "execute.h"
#include "fileops.h"
#include "hashmap.h"
#include "hires_time.h"
#include "http_query.h"
#include "log.h"
#include "oom_classes_vm.h"
#include "snapshot_memory_tracker.h"
#include "statistics.h"
#include "string_util.h"
#include "tag_access.h"
#include "tag_backup.h"
#include "thread_info.h"
#include "vorkel_version.h"

namespace {

constexpr const char *SNAPSHOT_BUILD_NUMBER = VORKEL_BUILD_NUMBER;
constexpr uint64_t CLASS_MAP_INITIAL_ENTRIES = 1024;
constexpr uint64_t CLASS_MAP_ENTRY_SIZE = 72;
constexpr jint THREAD_DUMP_TRACE_SIZE = 32768;

struct {
  agent_mutex lock;
  uint32_t handled_count[4];
  int32_t configured;
  int32_t notifications_enabled;
  char notification_host[256];
  int32_t notification_port;
  char details_location[256];
  // Set while a snapshot runs; the OOM lock is recursive, so only the snapshot's own thread can
  // see it set (an OutOfMemoryError raised by the snapshot's own Java calls).
  uint8_t in_progress;
  // Start time of the last snapshot: the next one starts at least a millisecond later, so that two
  // snapshots never share a directory.
  int64_t last_start_time;
  // Thread stack texts are formatted here, one thread at a time.
  char trace_buffer[THREAD_DUMP_TRACE_SIZE];
} oom_global;

// The value of a class map entry.
struct class_info_entry {
  jclass klass;
  uint32_t base_size;
  uint32_t metadata_size;
  jmethodID *methods;
  int32_t method_count;
  char *signature;
  uint8_t written;
  uint8_t deferred;
};
static_assert(sizeof(class_info_entry) + 24 <= CLASS_MAP_ENTRY_SIZE, "class map entry size");

class_info_entry *class_entry(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<class_info_entry>(entry) : nullptr;
}

int64_t strings_length(const char *text) {
  if (text == nullptr) return 0;
  return (int64_t)((strlen(text) + 7) & ~(size_t)7);
}

uint64_t elapsed_ms(uint64_t start) { return (uint64_t)hires_duration_to_ms((int64_t)(perfCounterCurrent() - start)); }

bool print_section(snapshot_record *snapshot, const char *name) {
  return oom_text_print(snapshot, "--- %-15s ---------------------------------\n", name);
}

// ---------------------------------------------------------------------------------------------
// Running a function while the VM is stopped: the first reference of a heap walk calls it and
// ends the walk.

struct safepoint_call {
  void (*function)(void *);
  void *data;
  bool ran;
};

jint JNICALL safepoint_reference_callback(jvmtiHeapReferenceKind, const jvmtiHeapReferenceInfo *, jlong, jlong, jlong,
                                          jlong *, jlong *, jint, void *user_data) {
  auto *call = static_cast<safepoint_call *>(user_data);
  if (!call->ran) {
    call->ran = true;
    call->function(call->data);
  }
  return JVMTI_VISIT_ABORT;
}

bool run_at_safepoint(jvmtiEnv *jvmti, void (*function)(void *), void *data) {
  safepoint_call call{function, data, false};
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = safepoint_reference_callback;
  jvmtiError error = jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &call);
  check_jvmti_error_no_exception(nullptr, jvmti, error, "Failed to run at safepoint.");
  if (!call.ran) function(data);
  return error == JVMTI_ERROR_NONE;
}

// ---------------------------------------------------------------------------------------------
// Metadata and allocation points.

void dump_metadata(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, int64_t start_time) {
  agent_globals_record *globals = agent_globals;
  const char *class_size_type = globals->is_j9 ? "none" : has_full_hotspot_symbols() ? "full" : "partial";
  print_section(snapshot, "Metadata") && oom_text_print(snapshot, "Dump version: %s\n", SNAPSHOT_DUMP_VERSION) &&
      oom_text_print(snapshot, "Build number: %s\n", SNAPSHOT_BUILD_NUMBER) &&
      oom_text_print(snapshot, "Account ID: %s\n", globals->account_id) &&
      oom_text_print(snapshot, "JVM ID: %s\n", globals->jvm_id) &&
      oom_text_print(snapshot, "Session ID: %s\n", globals->session_id) &&
      oom_text_print(snapshot, "OOM timestamp: %lld\n", (long long)start_time) &&
      oom_text_print(snapshot, "OS type: %s\n", "-m64") &&
      oom_text_print(snapshot, "Current thread: %lld\n", (long long)thread_get_current_id(jni, jvmti)) &&
      oom_text_print(snapshot, "VM name: %s\n", globals->vm_name) &&
      oom_text_print(snapshot, "VM version: %s\n", globals->vm_version) &&
      oom_text_print(snapshot, "Hotspot symbols: %s\n", get_hotspot_symbols_status_text()) &&
      oom_text_print(snapshot, "Class size type: %s\n", class_size_type);
}

void dump_allocation_point_info(snapshot_record *snapshot) {
  if (!print_section(snapshot, "Allocation Points")) return;
  uint64_t count = 0;
  int64_t *ids = nullptr;
  stats_get_all_allocation_ids(&count, &ids);
  for (uint64_t i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
    const char *class_name = stats_get_class_name(ids[i]);
    const char *birthplace = stats_get_birthplace_string(ids[i]);
    oom_text_print(snapshot, "%13lld %30s @ %40s\n", (long long)ids[i], class_name != nullptr ? class_name : "(null)",
                   birthplace != nullptr ? birthplace : "(null)");
    ++snapshot->allocation_point_count;
    snapshot->allocation_point_strings_length += strings_length(class_name) + strings_length(birthplace);
  }
  free(ids);
}

// ---------------------------------------------------------------------------------------------
// Classes through JVMTI.

// Writes the class line, its fields and its methods. With defer set, a class that is not prepared
// yet is only marked (its entry is written after the walk).
void dump_class_info_via_jvmti(snapshot_record *snapshot, jvmtiEnv *jvmti, jclass klass, int64_t id,
                               class_info_entry *entry, bool defer) {
  jint field_count = 0;
  jvmti_memory<jfieldID> fields(jvmti);
  jvmtiError fields_error = jvmti->GetClassFields(klass, &field_count, fields.out());
  if (fields_error == JVMTI_ERROR_CLASS_NOT_PREPARED && entry != nullptr && defer) {
    ++snapshot->deferred_class_count;
    entry->deferred = 1;
    return;
  }
  jvmti_memory<char> signature(jvmti);
  if (jvmti->GetClassSignature(klass, signature.out(), nullptr) != JVMTI_ERROR_NONE) signature.reset();
  const char *name = signature ? signature.get() : "UNKNOWN_CLASS";
  oom_text_print(snapshot, "%13lld %s\n", (long long)id, name);
  snapshot->class_strings_length += strings_length(name);
  if (entry != nullptr) entry->written = 1;

  if (fields_error != JVMTI_ERROR_CLASS_NOT_PREPARED &&
      check_jvmti_error_no_exception(nullptr, jvmti, fields_error, "Failed to get fields for class")) {
    snapshot->field_count += field_count;
    for (jint i = 0; i < field_count && snapshot_in_valid_state(snapshot); ++i) {
      jvmti_memory<char> field_name(jvmti), field_signature(jvmti);
      if (!check_jvmti_error_no_exception(
              nullptr, jvmti, jvmti->GetFieldName(klass, fields[i], field_name.out(), field_signature.out(), nullptr),
              "Failed to get field name and signature")) {
        continue;
      }
      jint modifiers = 0;
      jvmtiError error = jvmti->GetFieldModifiers(klass, fields[i], &modifiers);
      if (error != JVMTI_ERROR_NONE) {
        char message[512];
        xsnprintf(message, sizeof message, "Failed to get field modifiers for %s", field_name.get());
        check_jvmti_error_no_exception(nullptr, jvmti, error, message);
      }
      oom_text_print(snapshot, "%13s  . %d %s %s\n", "", (int)modifiers, field_signature.get(), field_name.get());
      snapshot->field_strings_length += strings_length(field_name.get()) + strings_length(field_signature.get());
    }
  }

  jint method_count = 0;
  jvmti_memory<jmethodID> methods(jvmti);
  jvmtiError methods_error = jvmti->GetClassMethods(klass, &method_count, methods.out());
  if (methods_error == JVMTI_ERROR_CLASS_NOT_PREPARED ||
      !check_jvmti_error_no_exception(nullptr, jvmti, methods_error, "Failed to get fields for class")) {
    return;
  }
  snapshot->method_count += method_count;
  for (jint i = 0; i < method_count && snapshot_in_valid_state(snapshot); ++i) {
    jvmti_memory<char> method_name(jvmti), method_signature(jvmti);
    if (!check_jvmti_error_no_exception(
            nullptr, jvmti, jvmti->GetMethodName(methods[i], method_name.out(), method_signature.out(), nullptr),
            "Failed to get method name and signature")) {
      continue;
    }
    jint modifiers = 0;
    jvmtiError error = jvmti->GetMethodModifiers(methods[i], &modifiers);
    if (error != JVMTI_ERROR_NONE) {
      char message[512];
      xsnprintf(message, sizeof message, "Failed to get method modifiers for %s", method_name.get());
      check_jvmti_error_no_exception(nullptr, jvmti, error, message);
    }
    oom_text_print(snapshot, "%13s  #%lld %d %s %s\n", "", (long long)(intptr_t)methods[i], (int)modifiers,
                   method_signature.get(), method_name.get());
    snapshot->method_strings_length += strings_length(method_name.get()) + strings_length(method_signature.get());
  }
}

class_info_entry *create_class_info_entry(hashmap *class_map, int64_t id, jclass klass) {
  if (class_map == nullptr) return nullptr;
  hashmap_entry *entry = hashmapPut(class_map, (uint64_t)id, nullptr);
  if (entry == nullptr) {
    log_error_raw(nullptr, "Not enough memory to collect class size info for %d. (%s:%d)", (int)id,
                  "create_class_info_entry", 589);
    return nullptr;
  }
  class_info_entry *value = class_entry(entry);
  memset(value, 0, sizeof *value);
  value->klass = klass;
  return value;
}

// Full mode: the entry keeps what JVMTI knows of the class, the lines come from VM structures
// later; without an entry the class is written through JVMTI now, so that it is not lost.
void list_class(snapshot_record *snapshot, jvmtiEnv *jvmti, jclass klass, int64_t id, class_info_entry *entry,
                bool defer) {
  if (entry != nullptr && has_full_hotspot_symbols()) {
    oom_classes_vm_keep_details(jvmti, klass, &entry->signature, &entry->methods, &entry->method_count);
    return;
  }
  dump_class_info_via_jvmti(snapshot, jvmti, klass, id, entry, defer);
}

struct via_sa_context {
  snapshot_record *snapshot;
  hashmap *class_map;
};

bool dump_unwritten_class_via_sa(hashmap_entry *entry, void *data) {
  auto *context = static_cast<via_sa_context *>(data);
  class_info_entry *value = class_entry(entry);
  if (!value->written && snapshot_in_valid_state(context->snapshot)) {
    dump_class_via_sa(context->snapshot, (int64_t)entry->key, value->klass, value->signature, value->methods,
                      value->method_count);
    value->written = 1;
  }
  return snapshot_in_valid_state(context->snapshot);
}

// Writes every class map entry not written yet from VM structures (with the VM stopped).
void dump_classes_via_sa(void *data) {
  auto *context = static_cast<via_sa_context *>(data);
  if (context->class_map != nullptr) hashmapForEach(context->class_map, dump_unwritten_class_via_sa, context);
}

// The listing before the walk: every loaded class gets the next id as a temporary tag (its own
// tag kept in the backup), its entry, and its lines. Returns the id count (class ids plus one).
uint64_t dump_all_class_info(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, tag_backup *backup,
                             uint8_t **classloader_flags, jint *classloader_flag_count, hashmap *class_map) {
  uint64_t start = perfCounterCurrent();
  jint count = 0;
  jvmti_memory<jclass> classes(jvmti);
  jvmtiError error = jvmti->GetLoadedClasses(&count, classes.out());
  print_section(snapshot, "Classes");
  if (!check_jvmti_error_no_exception(nullptr, jvmti, error, "Cannot get loaded classes")) count = 0;
  if (classloader_flags != nullptr) {
    *classloader_flags = static_cast<uint8_t *>(calloc(count > 0 ? (size_t)count : 1, 1));
    *classloader_flag_count = *classloader_flags != nullptr ? count : 0;
    if (*classloader_flags == nullptr) {
      log_error_raw(nullptr, "%s (%s:%d)", "Could not allocate buffer for class types.", "dump_all_class_info", 814);
    }
  }
  for (jint i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
    jclass klass = classes[i];
    if (classloader_flags != nullptr && *classloader_flags != nullptr) {
      (*classloader_flags)[i] = stats_is_classloader(jni, klass) ? 1 : 0;
    }
    uint64_t tag = tag_access_get_tag(jvmti, klass);
    int64_t id = (int64_t)tag_backup_record(backup, tag) + 1;
    tag_access_set_tag(jvmti, klass, tag_make_temporary((uint64_t)id, TAG_KIND_TEMPORARY_CLASS_TAGGED));
    class_info_entry *entry = create_class_info_entry(class_map, id, klass);
    ++snapshot->class_count;
    if (id > snapshot->class_max_id) snapshot->class_max_id = id;
    list_class(snapshot, jvmti, klass, id, entry, true);
  }
  snapshot->class_dumping_time = elapsed_ms(start);
  return backup->record_count + 1;
}

struct deferred_context {
  snapshot_record *snapshot;
  jvmtiEnv *jvmti;
};

bool dump_deferred_class_info(hashmap_entry *entry, void *data) {
  auto *context = static_cast<deferred_context *>(data);
  class_info_entry *value = class_entry(entry);
  if (value->deferred && !value->written && snapshot_in_valid_state(context->snapshot)) {
    dump_class_info_via_jvmti(context->snapshot, context->jvmti, value->klass, (int64_t)entry->key,
                              value, false);
  }
  return snapshot_in_valid_state(context->snapshot);
}

// After the walk: the deferred classes, then the classes that the walk met but the first listing
// did not know (loaded in between).
void snapshot_dump_post_class_info(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, uint64_t id_count,
                                   hashmap *class_map) {
  if (snapshot->deferred_class_count > 0 && class_map != nullptr) {
    deferred_context context{snapshot, jvmti};
    hashmapForEach(class_map, dump_deferred_class_info, &context);
  }
  jint count = 0;
  jvmti_memory<jclass> classes(jvmti);
  if (!check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetLoadedClasses(&count, classes.out()),
                                      "Cannot get loaded classes")) {
    return;
  }
  for (jint i = 0; i < count; ++i) {
    jclass klass = classes[i];
    uint64_t tag = tag_access_get_tag(jvmti, klass);
    uint64_t id = tag_is_temporary(tag) ? tag_temporary_number(tag) : 0;
    if (id < id_count || !snapshot_in_valid_state(snapshot)) {
      jni->DeleteLocalRef(klass);
      continue;
    }
    class_info_entry *entry = create_class_info_entry(class_map, (int64_t)id, klass);
    ++snapshot->class_count;
    list_class(snapshot, jvmti, klass, (int64_t)id, entry, false);
    if (entry == nullptr) jni->DeleteLocalRef(klass);
  }
  if (has_full_hotspot_symbols() && snapshot_in_valid_state(snapshot)) {
    via_sa_context context{snapshot, class_map};
    run_at_safepoint(jvmti, dump_classes_via_sa, &context);
  }
}

// ---------------------------------------------------------------------------------------------
// Class sizes.

struct class_size_context {
  snapshot_record *snapshot;
  jvmtiEnv *jvmti;
  JNIEnv *jni;
  hashmap *class_map;
};

bool class_base_size(hashmap_entry *entry, void *data) {
  auto *context = static_cast<class_size_context *>(data);
  class_info_entry *value = class_entry(entry);
  if (agent_globals->is_j9) {
    value->base_size = 0;
  } else if (value->base_size == 0 && value->klass != nullptr) {
    jlong size = 0;
    if (check_jvmti_error_no_exception(nullptr, context->jvmti, context->jvmti->GetObjectSize(value->klass, &size),
                                       "Failed to get class base size.")) {
      value->base_size = (uint32_t)size;
    }
  }
  return true;
}

bool class_total_size_line(hashmap_entry *entry, void *data) {
  auto *context = static_cast<class_size_context *>(data);
  class_info_entry *value = class_entry(entry);
  if (agent_globals->is_hotspot && value->klass != nullptr) value->metadata_size = get_class_size(value->klass);
  oom_text_print(context->snapshot, "%13lld %d\n", (long long)entry->key,
                 (int32_t)(value->base_size + value->metadata_size));
  return snapshot_in_valid_state(context->snapshot);
}

void dump_class_total_sizes(void *data) {
  auto *context = static_cast<class_size_context *>(data);
  if (!print_section(context->snapshot, "Class Sizes")) return;
  if (context->class_map != nullptr) hashmapForEach(context->class_map, class_total_size_line, context);
}

// Gives back what an entry holds: JVMTI memory and the class's local reference.
bool release_class_entry(hashmap_entry *entry, void *data) {
  auto *context = static_cast<class_size_context *>(data);
  class_info_entry *value = class_entry(entry);
  if (value->methods != nullptr) context->jvmti->Deallocate(reinterpret_cast<unsigned char *>(value->methods));
  if (value->signature != nullptr) context->jvmti->Deallocate(reinterpret_cast<unsigned char *>(value->signature));
  if (value->klass != nullptr) context->jni->DeleteLocalRef(value->klass);
  value->methods = nullptr;
  value->signature = nullptr;
  value->klass = nullptr;
  return true;
}

void snapshot_dump_class_sizes(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, hashmap *class_map) {
  class_size_context context{snapshot, jvmti, jni, class_map};
  if (class_map != nullptr) hashmapForEach(class_map, class_base_size, &context);
  uint64_t start = perfCounterCurrent();
  run_at_safepoint(jvmti, dump_class_total_sizes, &context);
  snapshot->class_size_stw_time = elapsed_ms(start);
  if (class_map != nullptr) hashmapForEach(class_map, release_class_entry, &context);
}

// ---------------------------------------------------------------------------------------------
// Threads and class loaders.

void dump_all_thread_info(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni) {
  uint64_t start = perfCounterCurrent();
  if (!print_section(snapshot, "Threads")) return;
  thread_dump dump;
  if (thread_dump_init(jvmti, &dump)) {
    snapshot->thread_count = dump.thread_count;
    for (jint i = 0; i < dump.thread_count && snapshot_in_valid_state(snapshot); ++i) {
      const jvmtiStackInfo &info = dump.stack_info[i];
      uint64_t tag = tag_access_get_tag(jvmti, info.thread);
      int64_t object_id = tag_is_temporary(tag) ? (int64_t)tag_temporary_number(tag) : 0;
      char *name = thread_get_name(jni, jvmti, info.thread);
      oom_text_print(snapshot, "%16lld %10lld %8d %s\n", (long long)thread_get_id(jni, info.thread),
                     (long long)object_id, (int)info.state, name != nullptr ? name : "Unknown");
      snapshot->thread_names_length += strings_length(name);
      free(name);
      thread_dump_format_stack_trace(jvmti, &dump, i, oom_global.trace_buffer, sizeof oom_global.trace_buffer);
      oom_text_print(snapshot, "%s", oom_global.trace_buffer);
      snapshot->thread_traces_length += strings_length(oom_global.trace_buffer);
    }
    thread_dump_close(jvmti, &dump);
  }
  snapshot->thread_dumping_time = elapsed_ms(start);
}

bool dump_classloader_line(hashmap_entry *entry, void *data) {
  auto *snapshot = static_cast<snapshot_record *>(data);
  const cltracker_loader_info *loader = hashmap_value<cltracker_loader_info>(entry);
  if (snapshot_in_valid_state(snapshot)) {
    // The loader's graph id: the number in the temporary tag the walk gave it, 0 when not reached.
    uint64_t id = tag_is_temporary(loader->temporary_tag) ? tag_temporary_number(loader->temporary_tag) : 0;
    oom_text_print(snapshot, "%13lld %lld\n", (long long)id, (long long)loader->first_seen);
    ++snapshot->classloader_count;
  }
  return true;
}

// Graph ids are only meaningful for one snapshot.
bool clear_classloader_id(hashmap_entry *entry, void *) {
  hashmap_value<cltracker_loader_info>(entry)->temporary_tag = 0;
  return true;
}

void dump_classloader_info(snapshot_record *snapshot) {
  if (print_section(snapshot, "Classloaders")) cltracker_enumerate(dump_classloader_line, snapshot);
}

void dump_summary(snapshot_record *snapshot) {
  struct {
    const char *name;
    long long value;
  } lines[] = {
      {"Object count", snapshot->object_count},
      {"Reference count", snapshot->reference_count},
      {"Local reference count", snapshot->local_reference_count},
      {"Class reference count", snapshot->class_reference_count},
      {"Class count", snapshot->class_count},
      {"Class max ID", snapshot->class_max_id},
      {"Class strings length", snapshot->class_strings_length},
      {"Method count", snapshot->method_count},
      {"Method strings length", snapshot->method_strings_length},
      {"Field count", snapshot->field_count},
      {"Field strings length", snapshot->field_strings_length},
      {"Thread count", snapshot->thread_count},
      {"Thread names length", snapshot->thread_names_length},
      {"Thread traces length", snapshot->thread_traces_length},
      {"Allocation point count", snapshot->allocation_point_count},
      {"Allocation point strings count", snapshot->allocation_point_strings_length},
      {"Classloader count", snapshot->classloader_count},
      {"Dumping total time", (long long)snapshot->dumping_total_time},
      {"Class dumping time", (long long)snapshot->class_dumping_time},
      {"Thread dumping time", (long long)snapshot->thread_dumping_time},
      {"Dump STW time", (long long)snapshot->dump_stw_time},
      {"Restore STW time", (long long)snapshot->restore_stw_time},
      {"Class size STW time", (long long)snapshot->class_size_stw_time},
      {"Class info STW time", (long long)snapshot->class_info_stw_time},
  };
  if (!print_section(snapshot, "Summary")) return;
  for (const auto &line : lines) {
    if (!oom_text_print(snapshot, "%s: %lld\n", line.name, line.value)) return;
  }
  print_section(snapshot, "End");
}

// ---------------------------------------------------------------------------------------------
// The object graph.

struct walk_context {
  snapshot_record *snapshot;
  tag_backup *backup;
  uint8_t *class_flags;        // per class id: 1 object record written, 2 a JNI local reference skipped
  const uint8_t *classloader_flags;  // per listing position (class id - 1): a class loader class
  uint64_t classloader_flag_count;
  uint64_t id_count;
  hashmap *class_map;
  memory_tracker *tracker;
  bool is_hotspot;
};

constexpr uint8_t CLASS_RECORDED = 1;
constexpr uint8_t CLASS_LOCAL_SKIPPED = 2;

// Objects whose class is known not to be a class loader need not be offered to the tracker.
void offer_to_classloader_tracker(const walk_context *walk, uint64_t previous_tag, uint64_t class_id,
                                  uint64_t temporary_tag) {
  if (previous_tag == 0) return;  // the tracker keys loaders by their (non-zero) tags
  if (walk->classloader_flags != nullptr && class_id >= 1 && class_id <= walk->classloader_flag_count &&
      walk->classloader_flags[class_id - 1] == 0) {
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
  if (!snapshot->classes_listed_in_walk) {
    // With the VM stopped here, the classes listed before the walk are written from VM structures.
    snapshot->classes_listed_in_walk = 1;
    if (has_full_hotspot_symbols()) {
      uint64_t start = perfCounterCurrent();
      via_sa_context context{snapshot, walk->class_map};
      dump_classes_via_sa(&context);
      snapshot->class_info_stw_time = elapsed_ms(start);
    }
  }

  uint64_t referrer_tag = referrer_tag_ptr != nullptr ? (uint64_t)*referrer_tag_ptr : 0;
  if (kind == JVMTI_HEAP_REFERENCE_CLASS) {
    if ((referrer_tag & 0xFFF80000ULL) != 0x280000ULL) return JVMTI_VISIT_OBJECTS;
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
  uint64_t referrer_id = tag_is_temporary(referrer_tag) ? tag_temporary_number(referrer_tag) : 0;
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
  uint64_t class_id = tag_is_temporary((uint64_t)class_tag) ? tag_temporary_number((uint64_t)class_tag) : 0;
  if (new_object) {
    length += oom_graph_encode_object(record + length, tag, class_id, (uint64_t)size);
    oom_graph_append(snapshot, record, length);
    uint64_t temporary =
        tag_make_temporary(id, class_id != 0 ? TAG_KIND_TEMPORARY_CLASS_TAGGED : TAG_KIND_TEMPORARY_CLASS_UNTAGGED);
    offer_to_classloader_tracker(walk, tag, class_id, temporary);
    *tag_ptr = (jlong)temporary;
    snapshot_memory_tracker_tagged(walk->tracker, 1);
    return JVMTI_VISIT_OBJECTS;
  }
  if (class_record) {
    class_info_entry *entry = walk->class_map != nullptr ? class_entry(hashmapGet(walk->class_map, id)) : nullptr;
    if (entry != nullptr) entry->base_size = (uint32_t)size;
    walk->class_flags[id] |= CLASS_RECORDED;
    uint64_t previous = tag_backup_get_original(walk->backup, id - 1, 0);
    length += oom_graph_encode_object(record + length, previous, class_id, walk->is_hotspot ? 0 : (uint64_t)size);
    oom_graph_append(snapshot, record, length);
    offer_to_classloader_tracker(walk, previous, class_id, (uint64_t)*tag_ptr);
    return JVMTI_VISIT_OBJECTS;
  }
  oom_graph_append(snapshot, record, length);
  return JVMTI_VISIT_OBJECTS;
}

void dump_object_graph(snapshot_record *snapshot, jvmtiEnv *jvmti, tag_backup *backup, uint64_t id_count,
                       const uint8_t *classloader_flags, uint64_t classloader_flag_count, hashmap *class_map,
                       memory_tracker *tracker) {
  uint64_t start = perfCounterCurrent();
  walk_context walk{};
  walk.snapshot = snapshot;
  walk.backup = backup;
  walk.class_flags = static_cast<uint8_t *>(calloc(id_count > 0 ? id_count : 1, 1));
  walk.classloader_flags = classloader_flags;
  walk.classloader_flag_count = classloader_flag_count;
  walk.id_count = id_count;
  walk.class_map = class_map;
  walk.tracker = tracker;
  walk.is_hotspot = agent_globals->is_hotspot != 0;
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = follow_references_callback;
  check_jvmti_error_no_exception(nullptr, jvmti, jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &walk),
                                 "Failed to follow references.");
  snapshot->object_count = (int64_t)backup->record_count + 1;
  free(walk.class_flags);
  snapshot->dump_stw_time = elapsed_ms(start);
}

void snapshot_dump_object_graph(snapshot_record *snapshot, jvmtiEnv *jvmti, tag_backup *backup, uint64_t id_count,
                                const uint8_t *classloader_flags, uint64_t classloader_flag_count, hashmap *class_map,
                                memory_tracker *tracker) {
  if (!oom_graph_open(snapshot)) return;
  dump_object_graph(snapshot, jvmti, backup, id_count, classloader_flags, classloader_flag_count, class_map, tracker);
  if (snapshot_in_valid_state(snapshot)) {
    int32_t failure = backup->failure;
    if (failure == TAG_BACKUP_TOO_MANY_TAGS) {
      log_error_raw(nullptr, "Too many objects to attach temporary tags to them all.");
      oom_send_status_notification(snapshot, "error", "tag_overflow");
      snapshot->error_reported = 1;
    } else if (failure == TAG_BACKUP_OUT_OF_MEMORY || tracker->failed) {
      log_error_raw(nullptr, "Not enough memory to safely complete the memory snapshot.");
      oom_send_status_notification(snapshot, "error", "memory_limit_reached");
      snapshot->error_reported = 1;
    }
  }
  oom_graph_close(snapshot);
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

void restore_object_tags(snapshot_record *snapshot, jvmtiEnv *jvmti, tag_backup *backup) {
  uint64_t start = perfCounterCurrent();
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_iteration_callback = restore_tags_callback;
  check_jvmti_error_no_exception(nullptr, jvmti,
                                 jvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &callbacks, backup),
                                 "Failed to restore object tags.");
  snapshot->restore_stw_time = elapsed_ms(start);
}

// ---------------------------------------------------------------------------------------------
// The phases.

bool snapshot_dump_phase(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, memory_tracker *tracker) {
  tag_backup *backup = tag_backup_setup();
  if (backup == nullptr) {
    log_error_raw(nullptr, "Too little native memory left to send reference and class data.");
    snapshot_set_fatal_error(snapshot, SNAPSHOT_ERROR_TAG_BACKUP);
    return false;
  }
  hashmap *class_map = hashmapCreateDefault(CLASS_MAP_INITIAL_ENTRIES, CLASS_MAP_ENTRY_SIZE);
  if (class_map == nullptr) {
    log_error_raw(nullptr, "Not enough memory to create class sizes map.");
    oom_send_status_notification(snapshot, "error", "class_size_map_oom");
  }

  tag_access_lock_operations();
  tag_access_register_backup(backup, 0);
  uint8_t *classloader_flags = nullptr;
  jint classloader_flag_count = 0;
  uint64_t id_count = 0;
  bool result = false;
  do {
    if (!snapshot_in_valid_state(snapshot)) break;
    id_count = dump_all_class_info(snapshot, jvmti, jni, backup, &classloader_flags, &classloader_flag_count, class_map);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_memory_tracker_tagged(tracker, id_count);
    snapshot_dump_object_graph(snapshot, jvmti, backup, id_count, classloader_flags, (uint64_t)classloader_flag_count,
                               class_map, tracker);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_dump_post_class_info(snapshot, jvmti, jni, id_count, class_map);
    if (!snapshot_in_valid_state(snapshot)) break;
    snapshot_dump_class_sizes(snapshot, jvmti, jni, class_map);
    if (!snapshot_in_valid_state(snapshot)) break;
    dump_all_thread_info(snapshot, jvmti, jni);
    if (!snapshot_in_valid_state(snapshot)) break;
    dump_classloader_info(snapshot);
    result = snapshot_in_valid_state(snapshot);
  } while (false);

  restore_object_tags(snapshot, jvmti, backup);
  cltracker_enumerate(clear_classloader_id, nullptr);
  tag_access_deregister_backup();
  tag_access_unlock_operations();
  tag_backup_release(backup);
  free(classloader_flags);
  if (class_map != nullptr) {
    class_size_context context{snapshot, jvmti, jni, class_map};
    hashmapForEach(class_map, release_class_entry, &context);
    hashmapFree(class_map);
  }
  return result;
}

void snapshot_release_lock(snapshot_record *snapshot) {
  free_locked_file(snapshot->lock_handle);
  snapshot->lock_handle = INVALID_LOCKED_FILE;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void oom_pre_initialise() { agent_mutex_init(oom_global.lock); }

void oom_configure(const char *host, int port, const char *details_location, bool send_notifications) {
  agent_mutex_guard guard(oom_global.lock);
  xsnprintf(oom_global.notification_host, sizeof oom_global.notification_host, "%s", host);
  xsnprintf(oom_global.details_location, sizeof oom_global.details_location, "%s", details_location);
  oom_global.notification_port = port;
  oom_global.notifications_enabled = send_notifications ? 1 : 0;
  oom_global.configured = 1;
}

uint32_t oom_handled_count(int32_t type) {
  return type >= 0 && type < 4 ? oom_global.handled_count[type] : 0;
}

int32_t oom_get_event_type(jint flags, const char *description, bool requested) {
  if (requested) return OOM_TYPE_PREEMPTIVE;
  if (description != nullptr && (strstr(description, "PermGen") != nullptr || strstr(description, "Metaspace") != nullptr)) {
    return OOM_TYPE_METASPACE;
  }
  return (flags & JVMTI_RESOURCE_EXHAUSTED_JAVA_HEAP) != 0 ? OOM_TYPE_HEAP : OOM_TYPE_OTHER;
}

const char *get_oom_type_string(int32_t type) {
  switch (type) {
    case OOM_TYPE_HEAP: return "heap";
    case OOM_TYPE_METASPACE: return "metaspace";
    case OOM_TYPE_PREEMPTIVE: return "preemptive";
    default: return "other";
  }
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

void oom_send_status_notification(snapshot_record *snapshot, const char *level, const char *message) {
  if (strcmp(level, "error") == 0 || strcmp(level, "fatal") == 0) {
    log_error_raw(nullptr, "Sending snapshot processing error (level %s): %s", level, message);
  } else {
    log_debug(nullptr, "Sending processing message %s: %s", level, message);
  }
  if (!oom_global.notifications_enabled) return;
  agent_globals_record *globals = agent_globals;
  char port[16], start_time[32];
  xsnprintf(port, sizeof port, "%d", (int)oom_global.notification_port);
  xsnprintf(start_time, sizeof start_time, "%lld", (long long)snapshot->start_time);
  char *const arguments[] = {const_cast<char *>("notify"),
                             oom_global.notification_host,
                             port,
                             const_cast<char *>(SNAPSHOT_DUMP_VERSION),
                             globals->account_id,
                             globals->jvm_id,
                             globals->session_id,
                             snapshot->description,
                             start_time,
                             const_cast<char *>(level),
                             const_cast<char *>(message),
                             nullptr};
  const char *reason = "";
  if (!execute_self(arguments, &reason, nullptr)) {
    log_error_raw(nullptr, "Starting notification sender process failed: %s", reason);
  }
}

bool oom_save_parameters(snapshot_record *snapshot) {
  agent_globals_record *globals = agent_globals;
  char timestamp[32];
  xsnprintf(timestamp, sizeof timestamp, "%lld", (long long)snapshot->start_time);
  const http_field fields[] = {{"version", SNAPSHOT_DUMP_VERSION},
                               {"accountId", globals->account_id},
                               {"jvmId", globals->jvm_id},
                               {"sessionId", globals->session_id},
                               {"description", snapshot->description},
                               {"timestamp", timestamp},
                               {nullptr, nullptr}};
  return http_save_parameters(snapshot->parameters_path, fields);
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

  if (!snapshot_build_paths(snapshot, globals->work_dir) || !create_directory(snapshot->dump_directory)) {
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
    snapshot->dumping_total_time = elapsed_ms(dumping_start);
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
  xsnprintf(snapshot->description, sizeof snapshot->description, "{\"type\":\"%s\",\"flags\":%d,\"description\":\"%s\"}",
            get_oom_type_string(type), (int)flags, description != nullptr ? description : "");
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
