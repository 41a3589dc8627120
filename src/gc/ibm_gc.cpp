#include "gc/ibm_gc.h"

#include <cstring>
#include <string_view>

#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "core/reflection.h"

namespace {

constexpr const char *EXTENSION_ID = "com.ibm.RegisterVerboseGCSubscriber";
constexpr size_t RECORD_LONGS = 4;    // type index, timestamp, duration, allocation failure
constexpr size_t LONGS_PER_POOL = 2;  // used, total

struct {
  agent_mutex enable_lock;
  uint8_t enable_attempted;
  uint8_t registered;
  ibm_gc_record current;  // the subscriber's alone
  agent_mutex queue_lock;
  uint64_t queue_start;
  uint64_t queue_count;
  ibm_gc_record queue[IBM_GC_QUEUE_SIZE];
  agent_mutex names_lock;
  uint64_t pool_name_count;
  jobjectArray pool_names;
  char collector_names[IBM_GC_MAX_COLLECTORS][IBM_GC_TYPE_SIZE];
  int32_t collector_name_count;
  jobjectArray collector_names_array;
} ibm_gc;

// The extension's subscriber and alarm types, and the extension itself as J9 declares it.
using ibm_gc_subscriber_function = jvmtiError(JNICALL *)(jvmtiEnv *, const char *, jlong, void *);
using ibm_gc_alarm_function = void(JNICALL *)(jvmtiEnv *, void *, void *);

void ibm_gc_deallocate(jvmtiEnv *jvmti, void *memory) {
  if (memory != nullptr) jvmti->Deallocate(static_cast<unsigned char *>(memory));
}

// Gives back everything GetExtensionFunctions allocated: names, descriptions, parameter lists.
void ibm_gc_free_extensions(jvmtiEnv *jvmti, jvmtiExtensionFunctionInfo *extensions, jint count) {
  for (jint i = 0; i < count; ++i) {
    jvmtiExtensionFunctionInfo &info = extensions[i];
    ibm_gc_deallocate(jvmti, info.id);
    ibm_gc_deallocate(jvmti, info.short_description);
    if (info.params != nullptr) {
      for (jint p = 0; p < info.param_count; ++p) ibm_gc_deallocate(jvmti, info.params[p].name);
    }
    ibm_gc_deallocate(jvmti, info.params);
    ibm_gc_deallocate(jvmti, info.errors);
  }
  ibm_gc_deallocate(jvmti, extensions);
}

bool ibm_gc_starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void ibm_gc_queue_append(const ibm_gc_record &record) {
  agent_mutex_guard guard(ibm_gc.queue_lock);
  if (ibm_gc.queue_count == IBM_GC_QUEUE_SIZE) {
    ibm_gc.queue[ibm_gc.queue_start] = record;  // the oldest gives way
    ibm_gc.queue_start = (ibm_gc.queue_start + 1) % IBM_GC_QUEUE_SIZE;
    return;
  }
  ibm_gc.queue[(ibm_gc.queue_start + ibm_gc.queue_count) % IBM_GC_QUEUE_SIZE] = record;
  ++ibm_gc.queue_count;
}

void ibm_gc_read_gc_start(ibm_xml_text text) {
  ibm_gc_record &current = ibm_gc.current;
  memset(&current.before, 0, sizeof current.before);
  current.valid = 0;
  static const char *const no_names[] = {nullptr};
  if (ibm_xml_consume_element(text, "<gc-start ", no_names, nullptr) && ibm_xml_process_gc_mems(text, current.before)) {
    current.valid = 1;
  }
}

// A gc-end (or a heap-resize, which closes the open collection without a record).
void ibm_gc_read_gc_end(ibm_xml_text text) {
  ibm_gc_record &current = ibm_gc.current;
  if (!current.valid) return;
  current.valid = 0;
  memset(&current.after, 0, sizeof current.after);
  static const char *const names[] = {"type", "durationms", nullptr};
  ibm_xml_value values[2];
  if (!ibm_xml_consume_element(text, "<gc-end ", names, values)) return;
  memcpy(current.type, values[0], sizeof current.type);
  current.duration_ms = ibm_xml_parse_long(values[1]);
  if (!ibm_xml_process_gc_mems(text, current.after)) return;
  current.timestamp_ms = currentTimeMillis();
  ibm_gc_queue_append(current);
  current.in_allocation_failure = 0;
}

// Texts handed to NewStringUTF must be well-formed (modified) UTF-8: names cut inside a
// multi-byte character, control characters and stray bytes become '?'.
void ibm_gc_java_safe_text(const char *text, char *safe, size_t size) {
  size_t out = 0;
  for (size_t i = 0; text[i] != '\0' && out + 1 < size;) {
    unsigned char c = (unsigned char)text[i];
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    bool well_formed = length != 0 && (length > 1 || c >= 0x20) && out + length < size;
    for (size_t k = 1; well_formed && k < length; ++k) {
      well_formed = ((unsigned char)text[i + k] & 0xC0) == 0x80;
    }
    if (length == 2 && c < 0xC2) well_formed = false;  // overlong
    if (!well_formed) {
      safe[out++] = '?';
      ++i;
      continue;
    }
    memcpy(safe + out, text + i, length);
    out += length;
    i += length;
  }
  safe[out] = '\0';
}

void ibm_gc_set_string_array_slot(JNIEnv *jni, jobjectArray array, jsize index, const char *name) {
  char safe[IBM_GC_TYPE_SIZE];
  ibm_gc_java_safe_text(name, safe, sizeof safe);
  jstring string = jni->NewStringUTF(safe);
  if (string == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Could not create string for string array. (%s:%d)", "ibm_gc_set_string_array_slot", 412);
    return;
  }
  jni->SetObjectArrayElement(array, index, string);
  jni->DeleteLocalRef(string);
}

// Null (with the array deleted) when filling it left an exception.
jobjectArray ibm_gc_string_array_check_success(JNIEnv *jni, jobjectArray array) {
  if (!jni->ExceptionCheck()) return array;
  jni->ExceptionClear();
  log_error_raw(jni, "Could not fill string array. (%s:%d)", "ibm_gc_string_array_check_success", 431);
  jni->DeleteLocalRef(array);
  return nullptr;
}

// A global reference to a String array of the names (each `stride` bytes apart), or null.
jobjectArray ibm_gc_create_string_array(JNIEnv *jni, const char *names, size_t stride, size_t count) {
  jclass string_class = reflection_find_class(jni, "java/lang/String");
  if (string_class == nullptr) {
    log_error_raw(jni, "Could not find string class. (%s:%d)", "ibm_gc_create_string_array", 389);
    return nullptr;
  }
  jobjectArray array = jni->NewObjectArray((jsize)count, string_class, nullptr);
  jni->DeleteLocalRef(string_class);
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Could not create string array. (%s:%d)", "ibm_gc_create_string_array", 396);
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) ibm_gc_set_string_array_slot(jni, array, (jsize)i, names + i * stride);
  array = ibm_gc_string_array_check_success(jni, array);
  if (array == nullptr) return nullptr;
  auto global = static_cast<jobjectArray>(reflection_global(jni, array));
  jni->DeleteLocalRef(array);
  return global;
}

// Position of the type among the collector names, appended while there is room; 0 when full.
size_t ibm_gc_collector_index(const char *type) {
  for (int32_t i = 0; i < ibm_gc.collector_name_count; ++i) {
    if (strcmp(ibm_gc.collector_names[i], type) == 0) return (size_t)i;
  }
  if (ibm_gc.collector_name_count == (int32_t)IBM_GC_MAX_COLLECTORS) return 0;
  char *slot = ibm_gc.collector_names[ibm_gc.collector_name_count];
  size_t length = strnlen(type, IBM_GC_TYPE_SIZE - 1);
  memcpy(slot, type, length);
  slot[length] = '\0';
  return (size_t)ibm_gc.collector_name_count++;
}

// The records as the long array of reportJ9Collections, or null after a logged failure.
jlongArray ibm_gc_build_gc_info_array(JNIEnv *jni, const ibm_gc_record *records, const size_t *type_indexes,
                                      size_t count, size_t pools) {
  size_t stride = RECORD_LONGS + 2 * LONGS_PER_POOL * pools;
  jlongArray array = jni->NewLongArray((jsize)(count * stride));
  if (array == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Could not create long array for GC info. (%s:%d)", "ibm_gc_build_gc_info_array", 462);
    return nullptr;
  }
  jlong *data = jni->GetLongArrayElements(array, nullptr);
  if (data == nullptr) {
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    log_error_raw(jni, "Could not get long array elements. (%s:%d)", "ibm_gc_build_gc_info_array", 468);
    jni->DeleteLocalRef(array);
    return nullptr;
  }
  for (size_t r = 0; r < count; ++r) {
    const ibm_gc_record &record = records[r];
    jlong *out = data + r * stride;
    out[0] = (jlong)type_indexes[r];
    out[1] = record.timestamp_ms;
    out[2] = record.duration_ms;
    out[3] = record.in_allocation_failure ? 1 : 0;
    const ibm_gc_memory_list *lists[] = {&record.before, &record.after};
    for (size_t l = 0; l < 2; ++l) {
      jlong *pool_out = out + RECORD_LONGS + l * LONGS_PER_POOL * pools;
      for (size_t j = 0; j < pools; ++j) {
        bool present = j < lists[l]->pool_count;
        pool_out[2 * j] = present ? lists[l]->pools[j].used : 0;
        pool_out[2 * j + 1] = present ? lists[l]->pools[j].total : 0;
      }
    }
  }
  jni->ReleaseLongArrayElements(array, data, 0);
  return array;
}

}  // namespace

void ibm_gc_pre_initialise() {
  agent_mutex_init(ibm_gc.enable_lock);
  agent_mutex_init(ibm_gc.queue_lock);
  agent_mutex_init(ibm_gc.names_lock);
}

bool ibm_gc_enable(jvmtiEnv *jvmti, JNIEnv *jni) {
  agent_mutex_guard guard(ibm_gc.enable_lock);
  if (ibm_gc.enable_attempted) return ibm_gc.registered;
  ibm_gc.enable_attempted = 1;
  jint count = 0;
  jvmtiExtensionFunctionInfo *extensions = nullptr;
  if (jvmti == nullptr || !check_jvmti_error_no_exception(jni, jvmti, jvmti->GetExtensionFunctions(&count, &extensions),
                                                          "ibm_gc_enable: Cannot list the JVMTI extension functions")) {
    ibm_gc.registered = 0;
    return false;
  }
  bool called = false;
  for (jint i = 0; i < count; ++i) {
    if (extensions[i].id == nullptr || extensions[i].func == nullptr || strcmp(extensions[i].id, EXTENSION_ID) != 0) {
      continue;
    }
    void *subscription = nullptr;
    extensions[i].func(jvmti, "vorkelgc", static_cast<ibm_gc_subscriber_function>(ibm_gc_subscriber),
                       static_cast<ibm_gc_alarm_function>(nullptr), static_cast<void *>(nullptr), &subscription);
    called = true;
  }
  ibm_gc_free_extensions(jvmti, extensions, count);
  ibm_gc.registered = called ? 1 : 0;
  if (called) log_info(jni, "Registered the verbose GC subscriber.");
  return called;
}

jvmtiError JNICALL ibm_gc_subscriber(jvmtiEnv *jvmti, const char *record, jlong length, void *user_data) {
  if (record == nullptr) return JVMTI_ERROR_NONE;
  // The record is a NUL-terminated text; its length, when given, bounds it as well.
  size_t size = length > 0 ? strnlen(record, (size_t)length) : strlen(record);
  std::string_view text(record, size);
  ibm_xml_text rest{record, record + size};
  if (ibm_gc_starts_with(text, "<gc-start ")) {
    ibm_gc_read_gc_start(rest);
  } else if (ibm_gc_starts_with(text, "<gc-end ") || ibm_gc_starts_with(text, "<heap-resize ")) {
    ibm_gc_read_gc_end(rest);
  } else if (ibm_gc_starts_with(text, "<af-start ")) {
    ibm_gc.current.in_allocation_failure = 1;
  } else if (ibm_gc_starts_with(text, "<af-end ")) {
    ibm_gc.current.in_allocation_failure = 0;
  }
  return JVMTI_ERROR_NONE;
}

size_t ibm_gc_take_records(ibm_gc_record *records, size_t max) {
  agent_mutex_guard guard(ibm_gc.queue_lock);
  size_t taken = 0;
  while (taken < max && ibm_gc.queue_count > 0) {
    records[taken++] = ibm_gc.queue[ibm_gc.queue_start];
    ibm_gc.queue_start = (ibm_gc.queue_start + 1) % IBM_GC_QUEUE_SIZE;
    --ibm_gc.queue_count;
  }
  return taken;
}

void ibm_gc_report(JNIEnv *jni, jobject target, jmethodID method) {
  ibm_gc_record records[IBM_GC_REPORT_BATCH];
  size_t count = ibm_gc_take_records(records, IBM_GC_REPORT_BATCH);
  if (count == 0) return;

  size_t type_indexes[IBM_GC_REPORT_BATCH];
  size_t pools = 0;
  jobjectArray pool_names = nullptr;
  jobjectArray collectors = nullptr;
  {
    agent_mutex_guard guard(ibm_gc.names_lock);
    if (ibm_gc.pool_names == nullptr) {
      const ibm_gc_memory_list &first = records[0].before;
      ibm_gc.pool_name_count = first.pool_count;
      ibm_gc.pool_names =
          ibm_gc_create_string_array(jni, first.pools[0].pool_name, sizeof(ibm_gc_pool), first.pool_count);
    }
    int32_t known = ibm_gc.collector_name_count;
    for (size_t r = 0; r < count; ++r) type_indexes[r] = ibm_gc_collector_index(records[r].type);
    if (known != ibm_gc.collector_name_count || ibm_gc.collector_names_array == nullptr) {
      reflection_delete_global(jni, ibm_gc.collector_names_array);
      ibm_gc.collector_names_array = ibm_gc_create_string_array(jni, ibm_gc.collector_names[0], IBM_GC_TYPE_SIZE,
                                                                (size_t)ibm_gc.collector_name_count);
    }
    pools = ibm_gc.pool_name_count;
    pool_names = ibm_gc.pool_names;
    if (ibm_gc.collector_names_array != nullptr) {
      collectors = static_cast<jobjectArray>(jni->NewLocalRef(ibm_gc.collector_names_array));
    }
  }
  if (pool_names == nullptr || collectors == nullptr) {
    if (collectors != nullptr) jni->DeleteLocalRef(collectors);
    return;
  }
  jlongArray data = ibm_gc_build_gc_info_array(jni, records, type_indexes, count, pools);
  if (data != nullptr) {
    jni->CallVoidMethod(target, method, pool_names, collectors, (jint)count, data);
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    jni->DeleteLocalRef(data);
  }
  jni->DeleteLocalRef(collectors);
}
