// The file stream tracker's module record: the lookups of the streams' hooked methods, the bind
// handler, switching the hooks on and off, and the registry of open files.
#include "transactions/file_streams.h"

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_locks.h"
#include "core/agent_util.h"
#include "base/common.h"
#include "transactions/file_streams_internal.h"
#include "core/hashmap.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "core/reflection.h"
#include "base/string_util.h"
#include "core/thread_info.h"
#include "transactions/file_descriptors.h"

file_streams_hook file_streams_hooks[HOOK_COUNT];
file_streams_fields file_streams_field_ids;

namespace {

constexpr uint64_t REGISTRY_CAPACITY = 1000;
constexpr uint64_t REGISTRY_ENTRY_SIZE = 40;

struct registry_value {
  char *path;  // owned
  int32_t fd;  // the descriptor the file is open on, -1 before it is known
};
static_assert(hashmap_entry_size<registry_value>() == REGISTRY_ENTRY_SIZE, "registry entry size");

struct {
  agent_mutex lock;
  uint8_t enabled;
  uint8_t initialised;
  uint8_t channels_found;  // the channels' natives are looked up at the first enable
  jclass string_class;
  // RecurringStreamOperationSummary and its constructor, found at the first join.
  reflection_lazy_class summary;
  // The hook table: the classes whose natives are hooked (global references), the method ids
  // and saved JDK functions are in file_streams_hooks.
  jclass input_class;
  jclass output_class;
  jclass descriptor_class;
  jclass random_access_class;
  // The streams' own "path" fields, for streams opened before the agent came (adopted).
  jfieldID input_path_field;
  jfieldID output_path_field;
  jfieldID random_access_path_field;
  std::atomic<uint8_t> adopt_unregistered;
  uint64_t next_stream_key;
  int64_t stack_interval;
  hashmap *streams;
  std::atomic<file_streams_allocator> allocator;
  std::atomic<file_streams_stack_source> stack_source;
} file_streams;

void registry_free_entry(hashmap_entry *entry) {
  registry_value *value = hashmap_value<registry_value>(entry);
  free(value->path);
  value->path = nullptr;
}

jclass global_class(JNIEnv *jni, const char *name) { return file_streams_global_class(jni, name); }

jmethodID hook_method(JNIEnv *jni, file_streams_hook_id hook, jclass klass, const char *class_name, const char *name,
                      const char *fallback, const char *signature) {
  return file_streams_find_hook(jni, hook, klass, class_name, name, fallback, signature, false);
}

template <typename T>
const void *either(T first, T second) {
  return first != nullptr ? (const void *)first : (const void *)second;
}

jfieldID descriptor_field(JNIEnv *jni, jclass klass) {
  return reflection_find_field(jni, klass, "fd", "Ljava/io/FileDescriptor;");
}

void find_input_stream(JNIEnv *jni) {
  jclass klass = file_streams.input_class = global_class(jni, "java/io/FileInputStream");
  file_streams_field_ids.input_fd = descriptor_field(jni, klass);
  file_streams_hook *h = file_streams_hooks;
  const char *name = "FileInputStream";
  hook_method(jni, HOOK_FIS_READ0, klass, name, "read0", "read", "()I");
  hook_method(jni, HOOK_FIS_READBYTES, klass, name, "readBytes", nullptr, "([BII)I");
  hook_method(jni, HOOK_FIS_OPEN0, klass, name, "open0", "open", "(Ljava/lang/String;)V");
  hook_method(jni, HOOK_FIS_CLOSE0, klass, name, "close0", nullptr, "()V");
  if (!check_non_nulls(jni, "Could not find FileInputStream method: #%d",
                       {klass, h[HOOK_FIS_READ0].method, h[HOOK_FIS_READBYTES].method, h[HOOK_FIS_OPEN0].method})) {
    log_error_raw(jni, "FileInputStream monitoring may not work correctly.");
  }
}

void find_output_stream(JNIEnv *jni) {
  jclass klass = file_streams.output_class = global_class(jni, "java/io/FileOutputStream");
  file_streams_field_ids.output_fd = descriptor_field(jni, klass);
  file_streams_hook *h = file_streams_hooks;
  const char *name = "FileOutputStream";
  hook_method(jni, HOOK_FOS_WRITE, klass, name, "write", nullptr, "(IZ)V");
  hook_method(jni, HOOK_FOS_WRITEBYTES, klass, name, "writeBytes", nullptr, "([BIIZ)V");
  hook_method(jni, HOOK_FOS_JDK6_WRITE, klass, name, "write", nullptr, "(I)V");
  hook_method(jni, HOOK_FOS_JDK6_WRITEBYTES, klass, name, "writeBytes", nullptr, "([BII)V");
  hook_method(jni, HOOK_FOS_OPEN0, klass, name, "open0", "open", "(Ljava/lang/String;Z)V");
  hook_method(jni, HOOK_FOS_CLOSE0, klass, name, "close0", nullptr, "()V");
  hook_method(jni, HOOK_FOS_JDK6_OPEN, klass, name, "open", nullptr, "(Ljava/lang/String;)V");
  hook_method(jni, HOOK_FOS_JDK6_OPENAPPEND, klass, name, "openAppend", nullptr, "(Ljava/lang/String;)V");
  jmethodID open_either = h[HOOK_FOS_OPEN0].method;
  if (!check_non_nulls(jni, "Could not find FileOutputStream method: #%d",
                       {klass, either(h[HOOK_FOS_WRITE].method, h[HOOK_FOS_JDK6_WRITE].method),
                        either(h[HOOK_FOS_WRITEBYTES].method, h[HOOK_FOS_JDK6_WRITEBYTES].method),
                        either(h[HOOK_FOS_JDK6_OPEN].method, open_either),
                        either(h[HOOK_FOS_JDK6_OPENAPPEND].method, open_either)})) {
    log_error_raw(jni, "FileOutputStream monitoring may not work correctly.");
  }
}

// Streams of class libraries that have no close0 of their own close through their descriptor,
// which names its owner in "parent"; so do file channels. The descriptor's number is the index of
// the descriptor table.
void find_descriptor(JNIEnv *jni) {
  file_streams_hook *h = file_streams_hooks;
  jclass klass = file_streams.descriptor_class = global_class(jni, "java/io/FileDescriptor");
  file_streams_field_ids.number = reflection_find_field(jni, klass, "fd", "I");
  hook_method(jni, HOOK_FD_CLOSE0, klass, "FileDescriptor", "close0", nullptr, "()V");
  jfieldID parent = reflection_find_field(jni, klass, "parent", "Ljava/io/Closeable;");
  if (h[HOOK_FIS_CLOSE0].method != nullptr && h[HOOK_FOS_CLOSE0].method != nullptr) {
    file_streams_field_ids.parent = parent;
    return;
  }
  if (!check_non_nulls(jni, "Could not find FileDescriptor method: #%d", {klass, h[HOOK_FD_CLOSE0].method, parent})) {
    log_error_raw(jni, "FileInput/OutputStream close cannot be tracked, cleanup will be performed only on GC.");
    h[HOOK_FD_CLOSE0].method = nullptr;
    parent = nullptr;
  }
  file_streams_field_ids.parent = parent;
}

// RandomAccessFile counts with the same operation kinds; its natives gained a "0" in later class
// libraries, whose methods of the old names are plain Java.
void find_random_access_file(JNIEnv *jni) {
  jclass klass = file_streams.random_access_class = global_class(jni, "java/io/RandomAccessFile");
  file_streams_field_ids.random_fd = descriptor_field(jni, klass);
  file_streams_hook *h = file_streams_hooks;
  const char *name = "RandomAccessFile";
  hook_method(jni, HOOK_RAF_OPEN0, klass, name, "open0", nullptr, "(Ljava/lang/String;I)V");
  hook_method(jni, HOOK_RAF_READ0, klass, name, "read0", nullptr, "()I");
  hook_method(jni, HOOK_RAF_READBYTES, klass, name, "readBytes0", "readBytes", "([BII)I");
  hook_method(jni, HOOK_RAF_WRITE0, klass, name, "write0", nullptr, "(I)V");
  hook_method(jni, HOOK_RAF_WRITEBYTES, klass, name, "writeBytes0", "writeBytes", "([BII)V");
  if (!check_non_nulls(jni, "Could not find RandomAccessFile method: #%d",
                       {klass, h[HOOK_RAF_OPEN0].method, h[HOOK_RAF_READ0].method, h[HOOK_RAF_READBYTES].method,
                        h[HOOK_RAF_WRITE0].method, h[HOOK_RAF_WRITEBYTES].method})) {
    log_error_raw(jni, "RandomAccessFile monitoring may not work correctly.");
  }
}

// The path of a stream that was opened before the hooks were there is read from the stream itself.
void find_path_fields(JNIEnv *jni) {
  constexpr const char *STRING = "Ljava/lang/String;";
  file_streams.input_path_field = reflection_find_field(jni, file_streams.input_class, "path", STRING);
  file_streams.output_path_field = reflection_find_field(jni, file_streams.output_class, "path", STRING);
  file_streams.random_access_path_field = reflection_find_field(jni, file_streams.random_access_class, "path", STRING);
}

void unregister(JNIEnv *jni, jclass klass, const char *name) {
  if (klass == nullptr) return;
  jint result = jni->UnregisterNatives(klass);
  if (jni->ExceptionCheck()) jni->ExceptionClear();
  if (result != JNI_OK) {
    log_error_raw(nullptr, "Could not unregister the natives of %s: %d (%s:%d)", name, (int)result,
                  "file_streams_set_enabled", __LINE__);
  }
}

// Makes the JVM bind the natives of the hooked classes afresh at their next call.
void unregister_natives(JNIEnv *jni) {
  unregister(jni, file_streams.input_class, "FileInputStream");
  unregister(jni, file_streams.output_class, "FileOutputStream");
  unregister(jni, file_streams.random_access_class, "RandomAccessFile");
  if (file_streams_hooks[HOOK_FD_CLOSE0].method != nullptr) {
    unregister(jni, file_streams.descriptor_class, "FileDescriptor");
  }
  for (size_t i = 0; i < file_channels_class_count(); ++i) {
    unregister(jni, file_channels_class(i), file_channels_class_name(i));
  }
}

void forget_key(uint64_t key) { hashmapRemove(file_streams.streams, key); }

bool channels_already_found() {
  agent_mutex_guard guard(file_streams.lock);
  return file_streams.channels_found != 0;
}

}  // namespace

jclass file_streams_global_class(JNIEnv *jni, const char *name) {
  jclass local = reflection_find_class(jni, name);
  if (local == nullptr) return nullptr;
  auto global = static_cast<jclass>(reflection_global(jni, local));
  jni->DeleteLocalRef(local);
  return global;
}

jmethodID file_streams_find_hook(JNIEnv *jni, file_streams_hook_id hook, jclass klass, const char *class_name,
                                 const char *name, const char *fallback, const char *signature, bool is_static) {
  auto find = is_static ? reflection_find_static_method : reflection_find_method;
  file_streams_hook &entry = file_streams_hooks[hook];
  jmethodID method = find(jni, klass, name, signature);
  const char *found = name;
  if (method == nullptr && fallback != nullptr) {
    method = find(jni, klass, fallback, signature);
    if (method != nullptr) found = fallback;
  }
  entry.method = method;
  xsnprintf(entry.name, sizeof entry.name, "%s.%s%s", class_name, found, signature);
  return method;
}

bool file_streams_pre_initialise() {
  agent_mutex_init(file_streams.lock);
  file_streams.enabled = 0;
  file_streams.stack_interval = ms_to_hires_duration(FILE_STREAMS_STACK_INTERVAL_MS);
  if (file_streams.streams == nullptr) {
    file_streams.streams = hashmapCreateDefaultWithFree(REGISTRY_CAPACITY, REGISTRY_ENTRY_SIZE, registry_free_entry);
  }
  return file_streams.streams != nullptr;
}

bool file_streams_initialise(JNIEnv *jni) {
  if (file_streams.initialised) return true;
  file_streams.string_class = global_class(jni, "java/lang/String");
  if (!check_non_nulls(jni, "Could not find String: #%d", {file_streams.string_class})) return false;
  agent_mutex_guard guard(file_streams.lock);
  find_input_stream(jni);
  find_output_stream(jni);
  find_descriptor(jni);
  find_random_access_file(jni);
  find_path_fields(jni);
  file_streams.initialised = 1;
  return true;
}

void file_streams_native_method_bind(jvmtiEnv *, JNIEnv *, jthread, jmethodID method, void *address,
                                     void **new_address) {
  if (method == nullptr || address == nullptr || new_address == nullptr) return;
  agent_mutex_guard guard(file_streams.lock);
  for (int i = 0; i < HOOK_COUNT; ++i) {
    if (file_streams_hooks[i].method != method) continue;
    file_streams_hooks[i].binds.fetch_add(1, std::memory_order_relaxed);
    if (!file_streams.enabled) return;
    // A function that is already ours (another agent handing it back) must never be called by
    // the hook as the JDK's.
    void *hook = file_streams_hook_function(i);
    if (address != hook) {
      file_streams_hooks[i].jdk_function.store(address, std::memory_order_release);
      *new_address = hook;
    }
    return;
  }
}

void file_streams_set_enabled(JNIEnv *jni, bool enabled) {
  agent_globals_record *globals = agent_globals;
  if (enabled && (globals == nullptr || !globals->enabled)) {
    log_warn(jni, "The native agent is switched off, file stream tracking stays off.");
    return;
  }
  if (enabled && !file_streams.initialised) {
    log_warn(jni, "The native agent was not started, file stream tracking stays off.");
    return;
  }
  // The channels' classes are loaded only for a tracker that is used: at start-up they would cost
  // every JVM a few milliseconds of class loading.
  bool find_channels = enabled && jni != nullptr && !channels_already_found();
  if (find_channels) file_channels_load(jni);
  {
    agent_mutex_guard guard(file_streams.lock);
    if (find_channels && !file_streams.channels_found) {
      file_channels_find(jni);
      file_streams.channels_found = 1;
    }
    if ((file_streams.enabled != 0) == enabled) return;
    file_streams.enabled = enabled ? 1 : 0;
    if (jni != nullptr) unregister_natives(jni);
    // Closes are not seen while the hooks are off: the files open now are forgotten, and count
    // in the timing counters only once the tracker is on again.
    if (!enabled) file_descriptors_clear_all(forget_key);
  }
  log_info(jni, "File stream tracking %s.", enabled ? "enabled" : "disabled");
}

bool file_streams_enabled() {
  agent_mutex_guard guard(file_streams.lock);
  return file_streams.enabled != 0;
}

size_t file_streams_hook_count() { return HOOK_COUNT; }

const char *file_streams_hook_name(size_t hook) {
  return hook < HOOK_COUNT && file_streams_hooks[hook].name[0] != '\0' ? file_streams_hooks[hook].name : nullptr;
}

bool file_streams_hook_present(size_t hook) { return hook < HOOK_COUNT && file_streams_hooks[hook].method != nullptr; }

uint32_t file_streams_hook_binds(size_t hook) {
  return hook < HOOK_COUNT ? file_streams_hooks[hook].binds.load(std::memory_order_relaxed) : 0;
}

VORKEL_EXPORT void JNICALL Java_vorkel_runtime_agent_feature_io_file_FileStreamTrackerNativeImpl_setEnabled(
    JNIEnv *jni, jobject receiver, jboolean enable) {
  file_streams_set_enabled(jni, enable == JNI_TRUE);
}

// ---------------------------------------------------------------------------
// The registry.

uint64_t file_streams_registry_add(const char *path) {
  if (path == nullptr || file_streams.streams == nullptr) return 0;
  agent_mutex_guard guard(file_streams.lock);
  uint64_t key = ++file_streams.next_stream_key;
  hashmap_entry *entry = hashmapPut(file_streams.streams, key, nullptr);
  char *copy = entry != nullptr ? file_streams_copy_text(path) : nullptr;
  if (copy == nullptr) {
    if (entry != nullptr) hashmapRemove(file_streams.streams, key);
    log_error_raw(nullptr, "Could not register file stream %s: out of memory. (%s:%d)", path,
                  "file_streams_register_stream", __LINE__);
    return 0;
  }
  registry_value *value = hashmap_value<registry_value>(entry);
  free(value->path);
  value->path = copy;
  value->fd = -1;
  return key;
}

void file_streams_registry_remove(uint64_t key) {
  if (key == 0 || file_streams.streams == nullptr) return;
  agent_mutex_guard guard(file_streams.lock);
  hashmap_entry *entry = hashmapGet(file_streams.streams, key);
  if (entry == nullptr) return;
  file_descriptors_clear_key(hashmap_value<registry_value>(entry)->fd, key);
  hashmapRemove(file_streams.streams, key);
}

// A key still on the descriptor is of a file that was closed where no hook saw it (the number
// could not be opened again otherwise): it goes.
bool file_streams_registry_attach(uint64_t key, int fd) {
  if (key == 0 || fd < 0 || file_streams.streams == nullptr) return false;
  agent_mutex_guard guard(file_streams.lock);
  hashmap_entry *entry = hashmapGet(file_streams.streams, key);
  const uint64_t stale = file_descriptors_key(fd);
  if (entry == nullptr || !file_descriptors_set(fd, key)) return false;
  hashmap_value<registry_value>(entry)->fd = fd;
  if (stale != 0 && stale != key) hashmapRemove(file_streams.streams, stale);
  return true;
}

uint64_t file_streams_open_descriptor(const char *path, int fd) {
  uint64_t key = file_streams_registry_add(path);
  return file_streams_registry_attach_or_remove(key, fd) ? key : 0;
}

void file_streams_close_descriptor(int fd) {
  uint64_t key = file_descriptors_clear(fd);
  if (key != 0) file_streams_registry_remove(key);
}

uint64_t file_streams_register_stream(JNIEnv *jni, jobject stream, jstring path) {
  if (jni == nullptr || file_streams_main_env() == nullptr || stream == nullptr || path == nullptr) return 0;
  jni_utf_chars characters(jni, path);
  return characters ? file_streams_registry_add(characters.get()) : 0;
}

// The key goes on the descriptor table, not on the stream as a JVMTI tag: the stream's operations
// find it by the descriptor, its close and the cleaner's close of a stream dropped open clear it,
// and a tag (a lock and a weak handle in the JVM) cost a microsecond at the open and at the close.
bool file_streams_registry_attach_or_remove(uint64_t key, int fd) {
  if (key == 0) return false;
  if (file_streams_registry_attach(key, fd)) return true;
  file_streams_registry_remove(key);  // a descriptor beyond the table: its operations count in the timings only
  return false;
}

void file_streams_adopt_unregistered(bool adopt) {
  file_streams.adopt_unregistered.store(adopt ? 1 : 0, std::memory_order_relaxed);
}

uint64_t file_streams_adopt_stream(JNIEnv *jni, jobject stream, int fd) {
  if (file_streams.adopt_unregistered.load(std::memory_order_relaxed) == 0 || jni == nullptr || stream == nullptr ||
      fd < 0) {
    return 0;
  }
  const struct {
    jclass klass;
    jfieldID path;
  } kinds[] = {{file_streams.input_class, file_streams.input_path_field},
               {file_streams.output_class, file_streams.output_path_field},
               {file_streams.random_access_class, file_streams.random_access_path_field}};
  for (const auto &kind : kinds) {
    if (kind.klass == nullptr || kind.path == nullptr || !jni->IsInstanceOf(stream, kind.klass)) continue;
    auto path = static_cast<jstring>(reflection_read_object_field(jni, stream, kind.path));
    if (path == nullptr) return 0;  // a stream made on a descriptor has no path: it counts in the timings only
    uint64_t key = file_streams_register_stream(jni, stream, path);
    jni->DeleteLocalRef(path);
    return file_streams_registry_attach_or_remove(key, fd) ? key : 0;
  }
  return 0;
}

void JNICALL file_streams_object_free(jvmtiEnv *, jlong tag) { file_streams_registry_remove((uint64_t)tag); }

uint64_t file_streams_registry_size() {
  if (file_streams.streams == nullptr) return 0;
  agent_mutex_guard guard(file_streams.lock);
  return hashmapSize(file_streams.streams);
}

char *file_streams_registry_copy_path(uint64_t key) {
  if (file_streams.streams == nullptr) return nullptr;
  agent_mutex_guard guard(file_streams.lock);
  hashmap_entry *entry = hashmapGet(file_streams.streams, key);
  return entry != nullptr ? file_streams_copy_text(hashmap_value<registry_value>(entry)->path) : nullptr;
}

// ---------------------------------------------------------------------------
// Shared with the hooks and the transaction table.

jvmtiEnv *file_streams_main_env() {
  agent_globals_record *globals = agent_globals;
  return globals != nullptr ? globals->jvmti : nullptr;
}

void file_streams_find_classes(JNIEnv *jni) {
  if (reflection_lazy_find(jni, file_streams.summary,
                           "vorkel/runtime/agent/probes/ut/natives/RecurringStreamOperationSummary", "<init>",
                           "(II[J[Ljava/lang/String;[Ljava/lang/String;)V") == nullptr &&
      !file_streams.summary.reported.exchange(true)) {
    log_error_raw(jni, "%s (%s:%d)", "Could not find RecurringStreamOperationSummary/<init>.",
                  "file_streams_find_classes", __LINE__);
  }
}

jclass file_streams_summary_class() { return file_streams.summary.klass.load(std::memory_order_acquire); }
jclass file_streams_string_class() { return file_streams.string_class; }
jmethodID file_streams_summary_constructor() { return file_streams.summary.method.load(std::memory_order_relaxed); }
int64_t file_streams_stack_interval() { return file_streams.stack_interval; }

void *file_streams_allocate(size_t size) {
  file_streams_allocator allocator = file_streams.allocator.load(std::memory_order_relaxed);
  return allocator != nullptr ? allocator(size) : malloc(size);
}

char *file_streams_copy_text(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  auto *copy = static_cast<char *>(file_streams_allocate(length + 1));
  if (copy != nullptr) memcpy(copy, text, length + 1);
  return copy;
}

bool file_streams_take_stack(JNIEnv *jni, char *storage, size_t size) {
  file_streams_stack_source source = file_streams.stack_source.load(std::memory_order_relaxed);
  if (source != nullptr) return source(storage, size);
  jvmtiEnv *jvmti = file_streams_main_env();
  return jvmti != nullptr && thread_get_stack_trace(jvmti, nullptr, storage, size, jni);
}

void file_streams_set_allocator_for_tests(file_streams_allocator allocator) {
  file_streams.allocator.store(allocator, std::memory_order_relaxed);
}

void file_streams_set_stack_interval_for_tests(int64_t ticks) { file_streams.stack_interval = ticks; }

void file_streams_set_stack_source_for_tests(file_streams_stack_source source) {
  file_streams.stack_source.store(source, std::memory_order_relaxed);
}
