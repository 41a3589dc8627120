#include "snapshot/oom_classes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "vmstructs/class_size.h"
#include "core/hashmap.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "snapshot/oom_classes_vm.h"
#include "snapshot/oom_dump.h"
#include "snapshot/oom_safepoint.h"
#include "statistics/statistics.h"
#include "vmstructs/safe_read_pages.h"
#include "base/string_util.h"
#include "core/tag_access.h"
#include "core/tag_backup.h"

static_assert(sizeof(class_info_entry) + 24 <= CLASS_MAP_ENTRY_SIZE, "class map entry size");

namespace {

class_info_entry *class_entry(hashmap_entry *entry) {
  return entry != nullptr ? hashmap_value<class_info_entry>(entry) : nullptr;
}

void dump_field_lines(snapshot_record *snapshot, jvmtiEnv *jvmti, jclass klass, const jfieldID *fields, jint count) {
  snapshot->field_count += count;
  for (jint i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
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
    oom_text_print_field_line(snapshot, (int)modifiers, field_signature.get(), field_name.get());
  }
}

void dump_method_lines(snapshot_record *snapshot, jvmtiEnv *jvmti, const jmethodID *methods, jint count) {
  snapshot->method_count += count;
  for (jint i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
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
    oom_text_print_method_line(snapshot, methods[i], (int)modifiers, method_signature.get(), method_name.get());
  }
}

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
  snapshot->class_strings_length += oom_text_strings_length(name);
  if (entry != nullptr) entry->written = 1;

  if (fields_error != JVMTI_ERROR_CLASS_NOT_PREPARED &&
      check_jvmti_error_no_exception(nullptr, jvmti, fields_error, "Failed to get fields for class")) {
    dump_field_lines(snapshot, jvmti, klass, fields.get(), field_count);
  }

  jint method_count = 0;
  jvmti_memory<jmethodID> methods(jvmti);
  jvmtiError methods_error = jvmti->GetClassMethods(klass, &method_count, methods.out());
  if (methods_error == JVMTI_ERROR_CLASS_NOT_PREPARED ||
      !check_jvmti_error_no_exception(nullptr, jvmti, methods_error, "Failed to get fields for class")) {
    return;
  }
  dump_method_lines(snapshot, jvmti, methods.get(), method_count);
}

// Full mode: the entry keeps what JVMTI knows of the class, the lines come from VM structures
// later; without an entry the class is written through JVMTI now, so that it is not lost.
void list_class(snapshot_dump *dump, jclass klass, int64_t id, class_info_entry *entry, bool defer) {
  if (entry != nullptr && has_full_hotspot_symbols()) {
    oom_classes_vm_keep_details(dump->jvmti, klass, &entry->signature, &entry->methods, &entry->method_count);
    return;
  }
  dump_class_info_via_jvmti(dump->snapshot, dump->jvmti, klass, id, entry, defer);
}

bool dump_unwritten_class_via_sa(hashmap_entry *entry, void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  class_info_entry *value = class_entry(entry);
  if (!value->written && snapshot_in_valid_state(dump->snapshot)) {
    dump_class_via_sa(dump->snapshot, (int64_t)entry->key, value->klass, value->signature, value->methods,
                      value->method_count);
    value->written = 1;
  }
  return snapshot_in_valid_state(dump->snapshot);
}

// Writes every class map entry not written yet from VM structures (with the VM stopped).
void dump_classes_via_sa(void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  safe_read_stopped_vm_scope stopped;
  if (dump->class_map != nullptr) hashmapForEach(dump->class_map, dump_unwritten_class_via_sa, dump);
}

bool dump_deferred_class_info(hashmap_entry *entry, void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  class_info_entry *value = class_entry(entry);
  if (value->deferred && !value->written && snapshot_in_valid_state(dump->snapshot)) {
    dump_class_info_via_jvmti(dump->snapshot, dump->jvmti, value->klass, (int64_t)entry->key, value, false);
  }
  return snapshot_in_valid_state(dump->snapshot);
}

bool class_base_size(hashmap_entry *entry, void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  class_info_entry *value = class_entry(entry);
  if (agent_globals->is_j9) {
    value->base_size = 0;
  } else if (value->base_size == 0 && value->klass != nullptr) {
    jlong size = 0;
    if (check_jvmti_error_no_exception(nullptr, dump->jvmti, dump->jvmti->GetObjectSize(value->klass, &size),
                                       "Failed to get class base size.")) {
      value->base_size = (uint32_t)size;
    }
  }
  return true;
}

bool class_total_size_line(hashmap_entry *entry, void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  class_info_entry *value = class_entry(entry);
  if (agent_globals->is_hotspot && value->klass != nullptr &&
      oom_classes_vm_size_record(dump->snapshot, (int64_t)entry->key, value->klass, value->base_size,
                                 &value->metadata_size)) {
    return snapshot_in_valid_state(dump->snapshot);
  }
  if (agent_globals->is_hotspot && value->klass != nullptr) value->metadata_size = get_class_size(value->klass);
  oom_text_print(dump->snapshot, "%13lld %d\n", (long long)entry->key,
                 (int32_t)(value->base_size + value->metadata_size));
  return snapshot_in_valid_state(dump->snapshot);
}

void dump_class_total_sizes(void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  safe_read_stopped_vm_scope stopped;
  if (!oom_text_print_header(dump->snapshot, "Class Sizes")) return;
  if (dump->class_map != nullptr) hashmapForEach(dump->class_map, class_total_size_line, dump);
}

// The class map keeps one local reference per listed class until the class sizes are written:
// the thread's local frame is told to hold that many more, beside those it holds already (held:
// the map's from an earlier listing) and a few the listing makes on the way (a JVM that checks
// JNI use warns of every reference beyond what was asked for).
void reserve_class_references(JNIEnv *jni, jint count, uint64_t held) {
  if (jni == nullptr || count <= 0) return;
  const int64_t wanted = (int64_t)count + (int64_t)held + 32;
  if (jni->EnsureLocalCapacity(wanted > INT32_MAX ? INT32_MAX : (jint)wanted) == JNI_OK) return;
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  log_warn(nullptr, "Could not reserve %d local references for the class listing.", (int)count);
}

// Gives back what an entry holds: JVMTI memory and the class's local reference.
bool release_class_entry(hashmap_entry *entry, void *data) {
  auto *dump = static_cast<snapshot_dump *>(data);
  class_info_entry *value = class_entry(entry);
  if (value->methods != nullptr) dump->jvmti->Deallocate(reinterpret_cast<unsigned char *>(value->methods));
  if (value->signature != nullptr) dump->jvmti->Deallocate(reinterpret_cast<unsigned char *>(value->signature));
  if (value->klass != nullptr) dump->jni->DeleteLocalRef(value->klass);
  value->methods = nullptr;
  value->signature = nullptr;
  value->klass = nullptr;
  return true;
}

}  // namespace

const char *oom_classes_size_type() {
  if (agent_globals->is_j9) return "none";
  return has_full_hotspot_symbols() ? "full" : "partial";
}

hashmap *oom_classes_map_create() {
  hashmap *class_map = hashmapCreateDefault(CLASS_MAP_INITIAL_ENTRIES, CLASS_MAP_ENTRY_SIZE);
  if (class_map == nullptr) log_error_raw(nullptr, "Not enough memory to create class sizes map.");
  return class_map;
}

void oom_classes_map_release(snapshot_dump *dump) {
  if (dump->class_map == nullptr) return;
  hashmapForEach(dump->class_map, release_class_entry, dump);
  hashmapFree(dump->class_map);
  dump->class_map = nullptr;
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

uint64_t dump_all_class_info(snapshot_dump *dump) {
  snapshot_record *snapshot = dump->snapshot;
  jvmtiEnv *jvmti = dump->jvmti;
  uint64_t start = perfCounterCurrent();
  jint count = 0;
  jvmti_memory<jclass> classes(jvmti);
  jvmtiError error = jvmti->GetLoadedClasses(&count, classes.out());
  oom_text_print_header(snapshot, "Classes");
  if (!check_jvmti_error_no_exception(nullptr, jvmti, error, "Cannot get loaded classes")) count = 0;
  reserve_class_references(dump->jni, count, 0);
  dump->classloader_flags = static_cast<uint8_t *>(calloc(count > 0 ? (size_t)count : 1, 1));
  dump->classloader_flag_count = dump->classloader_flags != nullptr ? (uint64_t)count : 0;
  if (dump->classloader_flags == nullptr) {
    log_error_raw(nullptr, "%s (%s:%d)", "Could not allocate buffer for class types.", "dump_all_class_info", 814);
  }
  for (jint i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
    jclass klass = classes[i];
    if (dump->classloader_flags != nullptr) dump->classloader_flags[i] = stats_is_classloader(dump->jni, klass) ? 1 : 0;
    uint64_t tag = tag_access_get_tag(jvmti, klass);
    int64_t id = (int64_t)tag_backup_record(dump->backup, tag) + 1;
    tag_access_set_tag(jvmti, klass, tag_make_temporary((uint64_t)id, TAG_KIND_TEMPORARY_CLASS_TAGGED));
    class_info_entry *entry = create_class_info_entry(dump->class_map, id, klass);
    ++snapshot->class_count;
    if (id > snapshot->class_max_id) snapshot->class_max_id = id;
    // Full mode keeps the signature and methods in the entry here and writes the lines from
    // oom_classes_at_walk_start; the JVMTI listing writes them now.
    list_class(dump, klass, id, entry, true);
  }
  snapshot->class_dumping_time = hires_elapsed_ms(start);
  dump->id_count = dump->backup->record_count + 1;
  return dump->id_count;
}

void oom_classes_at_walk_start(snapshot_dump *dump) {
  // The JVMTI listing wrote every class before the walk; the listing from VM structures writes its
  // lines here, where the VM is stopped, and times them as "Class info STW time".
  dump->snapshot->classes_listed_in_walk = 1;
  if (!has_full_hotspot_symbols()) return;
  uint64_t start = perfCounterCurrent();
  dump_classes_via_sa(dump);
  dump->snapshot->class_info_stw_time = hires_elapsed_ms(start);
}

void oom_classes_set_base_size(snapshot_dump *dump, uint64_t id, jlong size) {
  class_info_entry *entry = dump->class_map != nullptr ? class_entry(hashmapGet(dump->class_map, id)) : nullptr;
  if (entry != nullptr) entry->base_size = (uint32_t)size;
}

void snapshot_dump_post_class_info(snapshot_dump *dump) {
  snapshot_record *snapshot = dump->snapshot;
  jvmtiEnv *jvmti = dump->jvmti;
  if (snapshot->deferred_class_count > 0 && dump->class_map != nullptr) {
    hashmapForEach(dump->class_map, dump_deferred_class_info, dump);
  }
  jint count = 0;
  jvmti_memory<jclass> classes(jvmti);
  if (!check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetLoadedClasses(&count, classes.out()),
                                      "Cannot get loaded classes")) {
    return;
  }
  reserve_class_references(dump->jni, count, (uint64_t)snapshot->class_count);
  for (jint i = 0; i < count; ++i) {
    jclass klass = classes[i];
    uint64_t id = tag_graph_id(tag_access_get_tag(jvmti, klass));
    if (id < dump->id_count || !snapshot_in_valid_state(snapshot)) {
      dump->jni->DeleteLocalRef(klass);
      continue;
    }
    class_info_entry *entry = create_class_info_entry(dump->class_map, (int64_t)id, klass);
    ++snapshot->class_count;
    list_class(dump, klass, (int64_t)id, entry, false);
    if (entry == nullptr) dump->jni->DeleteLocalRef(klass);
  }
  // Full mode: the classes added here (and any the walk did not write) from VM structures.
  if (has_full_hotspot_symbols() && snapshot_in_valid_state(snapshot)) {
    run_at_safepoint(jvmti, dump_classes_via_sa, dump);
  }
}

void snapshot_dump_class_sizes(snapshot_dump *dump) {
  if (dump->class_map != nullptr) hashmapForEach(dump->class_map, class_base_size, dump);
  uint64_t start = perfCounterCurrent();
  run_at_safepoint(dump->jvmti, dump_class_total_sizes, dump);
  dump->snapshot->class_size_stw_time = hires_elapsed_ms(start);
  if (dump->class_map != nullptr) hashmapForEach(dump->class_map, release_class_entry, dump);
}
