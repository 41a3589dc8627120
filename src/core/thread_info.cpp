#include "core/thread_info.h"

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "core/hashmap.h"
#include "core/log.h"
#include "core/reflection.h"
#include "base/string_util.h"

namespace {

constexpr jvmtiError ERROR_MUST_POSSESS_CAPABILITY = JVMTI_ERROR_MUST_POSSESS_CAPABILITY;  // 99
constexpr jvmtiError ERROR_ABSENT_INFORMATION = JVMTI_ERROR_ABSENT_INFORMATION;            // 101
constexpr jvmtiError ERROR_NATIVE_METHOD = JVMTI_ERROR_NATIVE_METHOD;                      // 104
constexpr uint64_t METHOD_CACHE_INITIAL_ENTRIES = 200;

static_assert(sizeof(hashmap_entry) + sizeof(thread_dump_method) == 56, "method cache entry size");

struct {
  jfieldID thread_id_field;
} thread_info;

// Errors that only say that a method has no line numbers: no message for them.
bool quiet_line_number_error(jvmtiError error) {
  return error == ERROR_MUST_POSSESS_CAPABILITY || error == ERROR_ABSENT_INFORMATION || error == ERROR_NATIVE_METHOD;
}

void deallocate(jvmtiEnv *jvmti, void *memory) {
  if (memory != nullptr) jvmti->Deallocate(static_cast<unsigned char *>(memory));
}

void delete_local(JNIEnv *jni, jobject reference) {
  if (jni != nullptr && reference != nullptr) jni->DeleteLocalRef(reference);
}

const char *shown(const char *text) { return text != nullptr ? text : "(null)"; }

// A text that ran out of room is cut just after its last newline, so that it ends with a whole line.
void keep_whole_lines(appendable *buffer) {
  if (buffer->state == APPENDABLE_GOOD) return;
  char *newline = strrchr(buffer->buffer, '\n');
  buffer->state = APPENDABLE_GOOD;
  appendable_truncate(buffer, newline != nullptr ? newline + 1 : buffer->buffer);
}

void thread_dump_fill_method(jvmtiEnv *jvmti, JNIEnv *jni, jmethodID method, thread_dump_method *facts) {
  check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetMethodName(method, &facts->method_name, nullptr, nullptr),
                                 "Failed to get method name for thread dump.");
  jclass declaring = nullptr;
  if (check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetMethodDeclaringClass(method, &declaring),
                                     "Failed to get method declaring class for thread dump.")) {
    check_jvmti_error_no_exception(nullptr, jvmti,
                                   jvmti->GetClassSignature(declaring, &facts->class_signature, nullptr),
                                   "Failed to get class name for thread dump.");
    delete_local(jni, declaring);
  }
  jint count = 0;
  jvmtiLineNumberEntry *table = nullptr;
  jvmtiError error = jvmti->GetLineNumberTable(method, &count, &table);
  if (error != JVMTI_ERROR_NONE) {
    if (!quiet_line_number_error(error)) {
      check_jvmti_error_no_exception(nullptr, jvmti, error, "Failed to get line numbers for thread dump.");
    }
    count = 0;
    table = nullptr;
  }
  facts->line_count = count;
  facts->line_table = table;
}

void thread_dump_release_method(jvmtiEnv *jvmti, thread_dump_method *facts) {
  deallocate(jvmti, facts->class_signature);
  deallocate(jvmti, facts->method_name);
  deallocate(jvmti, facts->line_table);
  memset(facts, 0, sizeof *facts);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Thread facts

void thread_info_init(JNIEnv *jni, jvmtiEnv *jvmti) {
  jclass thread_class = reflection_find_class(jni, "java/lang/Thread");
  jfieldID field = nullptr;
  if (thread_class == nullptr) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to cache index record fields - java.lang.Thread class not found.",
                  "thread_info_init", 123);
  } else {
    field = reflection_find_field(jni, thread_class, "tid", "J");
    if (field == nullptr) field = reflection_find_field(jni, thread_class, "uniqueId", "J");
    if (field == nullptr) {
      log_error_raw(jni, "%s (%s:%d)",
                    "Failed to cache index record fields - java.lang.Thread tid/uniqueId field not found.",
                    "thread_info_init", 118);
    }
    jni->DeleteLocalRef(thread_class);
  }
  thread_info.thread_id_field = field;
}

int64_t thread_get_id(JNIEnv *jni, jthread thread) {
  jfieldID field = thread_info.thread_id_field;
  if (field == nullptr || jni == nullptr || thread == nullptr) return 0;
  return (int64_t)jni->GetLongField(thread, field);
}

int64_t thread_get_current_id(JNIEnv *jni, jvmtiEnv *jvmti) {
  jthread thread = nullptr;
  if (!check_jvmti_error_no_exception(jni, jvmti, jvmti->GetCurrentThread(&thread), "Failed to get current thread.")) {
    return 0;
  }
  int64_t id = thread_get_id(jni, thread);
  delete_local(jni, thread);
  return id;
}

jint thread_get_state(jvmtiEnv *jvmti, jthread thread) {
  jint state = 0;
  if (!check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetThreadState(thread, &state),
                                      "Failed to get thread state.")) {
    return 0;
  }
  return state;
}

char *thread_get_name(JNIEnv *jni, jvmtiEnv *jvmti, jthread thread) {
  jvmtiThreadInfo info;
  memset(&info, 0, sizeof info);
  if (!check_jvmti_error_no_exception(jni, jvmti, jvmti->GetThreadInfo(thread, &info),
                                      "Failed to get thread info when trying to determine thread name.")) {
    return string_duplicate("Unknown");
  }
  char *name = string_duplicate(info.name != nullptr ? info.name : "Unknown");
  deallocate(jvmti, info.name);
  delete_local(jni, info.thread_group);
  delete_local(jni, info.context_class_loader);
  return name;
}

jint thread_line_table_walk(const jvmtiLineNumberEntry *table, jint count, jlocation location) {
  if (table == nullptr || count <= 0) return -1;
  jint answer = table[0].line_number;
  for (jint i = 0; i < count; ++i) {
    if (table[i].start_location > location) break;
    answer = table[i].line_number;
  }
  return answer;
}

jint thread_line_table_search(const jvmtiLineNumberEntry *table, jint count, jlocation location) {
  if (table == nullptr || count <= 0) return -1;
  jint low = 0;
  jint high = count - 1;
  while (high > low) {
    jint middle = low + (high - low + 1) / 2;
    if (table[middle].start_location > location) {
      high = middle - 1;
    } else {
      low = middle;
    }
  }
  return table[low].start_location > location ? -1 : table[low].line_number;
}

jint thread_get_line_number(jvmtiEnv *jvmti, jmethodID method, jlocation location) {
  jint count = 0;
  jvmtiLineNumberEntry *table = nullptr;
  jvmtiError error = jvmti->GetLineNumberTable(method, &count, &table);
  if (error != JVMTI_ERROR_NONE) {
    if (!quiet_line_number_error(error))
      check_jvmti_error_no_exception(nullptr, jvmti, error, "Failed to get line numbers.");
    return -1;
  }
  jint line = thread_line_table_walk(table, count, location);
  deallocate(jvmti, table);
  return line;
}

// ---------------------------------------------------------------------------------------------
// Stack texts

void thread_add_stack_line(jvmtiEnv *jvmti, const jvmtiFrameInfo *frame, appendable *buffer) {
  char *method_name = nullptr;
  char *class_signature = nullptr;
  check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetMethodName(frame->method, &method_name, nullptr, nullptr),
                                 "Failed to get method name for stack trace.");
  jclass declaring = nullptr;
  if (check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetMethodDeclaringClass(frame->method, &declaring),
                                     "Failed to get method declaring class for stack trace.")) {
    check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetClassSignature(declaring, &class_signature, nullptr),
                                   "Failed to get class name for stack trace.");
  }
  jint line = thread_get_line_number(jvmti, frame->method, frame->location);
  appendable_write(buffer, THREAD_STACK_LINE_FORMAT, shown(class_signature), shown(method_name), (int)line,
                   (int)(int32_t)frame->location);
  deallocate(jvmti, method_name);
  deallocate(jvmti, class_signature);
}

bool thread_get_stack_trace(jvmtiEnv *jvmti, jthread thread, char *storage, size_t size, JNIEnv *jni,
                            bool quiet_if_ended) {
  if (storage == nullptr || size == 0) return false;
  if (jni != nullptr && jni->PushLocalFrame(THREAD_MAX_FRAMES + 16) == JNI_OK) {
    bool done = thread_get_stack_trace(jvmti, thread, storage, size, nullptr, quiet_if_ended);
    jni->PopLocalFrame(nullptr);
    return done;
  }
  if (jni != nullptr && jni->ExceptionCheck()) jni->ExceptionClear();
  appendable buffer;
  appendable_init(&buffer, storage, size);
  if (thread != nullptr) {
    jvmtiStackInfo *info = nullptr;
    jvmtiError error = jvmti->GetThreadListStackTraces(1, &thread, THREAD_MAX_FRAMES, &info);
    if (error == JVMTI_ERROR_THREAD_NOT_ALIVE && quiet_if_ended) return false;
    if (!check_jvmti_error_no_exception(nullptr, jvmti, error, "GetThreadListStackTraces failed.")) return false;
    for (jint i = 0; i < info[0].frame_count && buffer.state == APPENDABLE_GOOD; ++i) {
      thread_add_stack_line(jvmti, &info[0].frame_buffer[i], &buffer);
    }
    deallocate(jvmti, info);
  } else {
    jvmtiFrameInfo frames[THREAD_MAX_FRAMES];
    jint count = 0;
    if (!check_jvmti_error_no_exception(nullptr, jvmti,
                                        jvmti->GetStackTrace(nullptr, 0, THREAD_MAX_FRAMES, frames, &count),
                                        "GetStackTrace failed.")) {
      return false;
    }
    for (jint i = 0; i < count && buffer.state == APPENDABLE_GOOD; ++i)
      thread_add_stack_line(jvmti, &frames[i], &buffer);
  }
  keep_whole_lines(&buffer);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Thread dump

bool thread_dump_method_free(hashmap_entry *entry, void *jvmti) {
  thread_dump_release_method(static_cast<jvmtiEnv *>(jvmti), hashmap_value<thread_dump_method>(entry));
  return true;
}

bool thread_dump_init(jvmtiEnv *jvmti, thread_dump *dump, JNIEnv *jni) {
  memset(dump, 0, sizeof *dump);
  dump->jni = jni;
  dump->methods = hashmapCreateDefault(METHOD_CACHE_INITIAL_ENTRIES, hashmap_entry_size<thread_dump_method>());
  if (dump->methods == nullptr) {
    log_error_raw(nullptr, "%s (%s:%d)", "Failed to create the method cache for the thread dump.", "thread_dump_init",
                  __LINE__);
    return false;
  }
  jint count = 0;
  if (!check_jvmti_error_no_exception(nullptr, jvmti,
                                      jvmti->GetAllStackTraces(THREAD_MAX_FRAMES, &dump->stack_info, &count),
                                      "GetAllStackTraces failed.")) {
    thread_dump_close(jvmti, dump);
    return false;
  }
  dump->thread_count = count;
  if (jni != nullptr && jni->EnsureLocalCapacity(count + 16) != 0 && jni->ExceptionCheck()) jni->ExceptionClear();
  return true;
}

bool thread_dump_format_stack_trace(jvmtiEnv *jvmti, thread_dump *dump, int32_t thread_index, char *storage,
                                    size_t size) {
  if (storage == nullptr || size == 0) return false;
  storage[0] = '\0';
  if (dump->stack_info == nullptr || thread_index < 0 || thread_index >= dump->thread_count) return false;
  const jvmtiStackInfo &stack = dump->stack_info[thread_index];
  size_t length = 0;
  for (jint i = 0; i < stack.frame_count; ++i) {
    const jvmtiFrameInfo &frame = stack.frame_buffer[i];
    int created = 0;
    hashmap_entry *entry =
        dump->methods != nullptr ? hashmapPut(dump->methods, (uint64_t)(uintptr_t)frame.method, &created) : nullptr;
    thread_dump_method temporary{};
    thread_dump_method *facts = entry != nullptr ? hashmap_value<thread_dump_method>(entry) : &temporary;
    if (entry == nullptr || created) thread_dump_fill_method(jvmti, dump->jni, frame.method, facts);
    jint line = thread_line_table_search(facts->line_table, facts->line_count, frame.location);
    size_t room = size - length;
    int written = xsnprintf(storage + length, room, THREAD_STACK_LINE_FORMAT, shown(facts->class_signature),
                            shown(facts->method_name), (int)line, (int)(int32_t)frame.location);
    if (entry == nullptr) thread_dump_release_method(jvmti, &temporary);
    if (written < 0 || (size_t)written >= room) {
      storage[length] = '\0';  // the line does not fit: the text ends with the last whole line
      break;
    }
    length += (size_t)written;
  }
  return true;
}

void thread_dump_close(jvmtiEnv *jvmti, thread_dump *dump) {
  if (dump->jni != nullptr && dump->stack_info != nullptr) {
    for (int32_t i = 0; i < dump->thread_count; ++i) delete_local(dump->jni, dump->stack_info[i].thread);
  }
  deallocate(jvmti, dump->stack_info);
  if (dump->methods != nullptr) {
    hashmapForEach(dump->methods, thread_dump_method_free, jvmti);
    hashmapFree(dump->methods);
  }
  memset(dump, 0, sizeof *dump);
}
