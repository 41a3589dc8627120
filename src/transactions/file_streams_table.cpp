// The per-transaction table of the file stream tracker: one entry per (open file, kind), at most
// 50, the rest merged into an aggregate row; stack samples; the flush into a summary object. Times
// are ticks of the fast counter, converted at the flush.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "transactions/file_streams.h"
#include "transactions/file_streams_internal.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "platform/fast_clock.h"
#include "transactions/timing_tracker.h"

namespace {

constexpr int ROW_LONGS = 6;
constexpr int ROW_TEXTS = 2;

void clear_entry(file_streams_entry *entry, uint64_t key, int32_t kind) {
  memset(entry, 0, sizeof *entry);
  entry->key = key;
  entry->kind = kind;
}

void save_stack(file_streams_locals *locals, char *stack) {
  if (stack == nullptr) return;
  if (locals->saved_stack_count < FILE_STREAMS_MAX_SAVED_STACKS) {
    locals->saved_stacks[locals->saved_stack_count++] = stack;
  } else {
    free(stack);
  }
}

// The victim's totals go into the aggregate, its stack among the saved ones.
void evict(file_streams_locals *locals, file_streams_entry *victim) {
  save_stack(locals, victim->stack);
  free(victim->path);
  file_streams_entry &aggregate = locals->aggregate;
  if (aggregate.count == 0) {
    aggregate.first_start = victim->first_start;
    aggregate.last_end = victim->last_end;
  } else {
    if (victim->first_start < aggregate.first_start) aggregate.first_start = victim->first_start;
    if (victim->last_end > aggregate.last_end) aggregate.last_end = victim->last_end;
  }
  aggregate.count += victim->count;
  aggregate.duration += victim->duration;
  aggregate.bytes += victim->bytes;
  locals->evicted_count += 1;
}

file_streams_entry *new_entry(file_streams_entry *entry, uint64_t key, int32_t kind) {
  clear_entry(entry, key, kind);
  entry->path = file_streams_registry_copy_path(key);
  return entry;
}

file_streams_entry *choose_entry(file_streams_locals *locals, uint64_t key, int32_t kind) {
  file_streams_entry *last = locals->last_entry;
  if (last != nullptr && last->key == key && last->kind == kind) return last;
  const auto signed_key = (int64_t)key;
  if (signed_key > locals->max_key && locals->entry_count < FILE_STREAMS_MAX_ENTRIES) {
    locals->max_key = signed_key;
    return new_entry(&locals->entries[locals->entry_count++], key, kind);
  }
  if (locals->entry_count == 0) {
    locals->entry_count = 1;
    return new_entry(&locals->entries[0], key, kind);
  }
  file_streams_entry *victim = nullptr;
  for (uint64_t i = 0; i < locals->entry_count; ++i) {
    file_streams_entry *entry = &locals->entries[i];
    if (entry->key == key && entry->kind == kind) return entry;
    if (victim == nullptr || entry->duration <= victim->duration) victim = entry;
  }
  if (signed_key > locals->max_key) locals->max_key = signed_key;
  if (locals->entry_count < FILE_STREAMS_MAX_ENTRIES) {
    return new_entry(&locals->entries[locals->entry_count++], key, kind);
  }
  evict(locals, victim);
  return new_entry(victim, key, kind);
}

// After a read or write that failed, its exception is pending: no JNI call but through JVMTI then.
void sample_stack(JNIEnv *jni, file_streams_locals *locals, file_streams_entry *entry) {
  auto *storage = static_cast<char *>(file_streams_allocate(FILE_STREAMS_STACK_BUFFER));
  if (storage != nullptr) {
    storage[0] = '\0';
    JNIEnv *frames = jni != nullptr && !jni->ExceptionCheck() ? jni : nullptr;
    if (file_streams_take_stack(frames, storage, FILE_STREAMS_STACK_BUFFER)) {
      entry->stack = file_streams_copy_text(storage);
    }
    free(storage);
  }
  locals->next_stack_time =
      file_streams_now() + fast_clock_from_counter_duration(file_streams_stack_interval(), fast_clock_rate());
}

void report(const char *message, const char *location, int line) {
  log_error_raw(nullptr, "%s (%s:%d)", message, location, line);
}

void set_text(JNIEnv *jni, jobjectArray array, jsize index, const char *text) {
  if (text == nullptr) return;
  jstring string = jni->NewStringUTF(text);
  if (string == nullptr) return;  // the pending exception is seen after the fill
  jni->SetObjectArrayElement(array, index, string);
  jni->DeleteLocalRef(string);
}

jobjectArray saved_stack_array(JNIEnv *jni, const file_streams_locals *locals) {
  if (locals->saved_stack_count == 0) return nullptr;
  jobjectArray stacks = jni->NewObjectArray((jsize)locals->saved_stack_count, file_streams_string_class(), nullptr);
  if (stacks == nullptr) {
    jni->ExceptionClear();
    report("Failed to create arrays for flushing file stream transaction stack traces.",
           "file_streams_flush_transaction_stack_traces", __LINE__);
    return nullptr;
  }
  for (uint64_t i = 0; i < locals->saved_stack_count && !jni->ExceptionCheck(); ++i) {
    set_text(jni, stacks, (jsize)i, locals->saved_stacks[i]);
  }
  if (jni->ExceptionCheck()) {
    jni->ExceptionClear();
    report("Failed to fill in file stream transaction stack trace array.",
           "file_streams_flush_transaction_stack_traces", __LINE__);
    jni->DeleteLocalRef(stacks);
    return nullptr;
  }
  return stacks;
}

void write_row(jlong *row, const file_streams_entry &entry, double rate, const fast_clock_reading &now) {
  row[0] = entry.kind;
  row[1] = (jlong)entry.count;
  row[2] = hires_duration_to_ms(fast_clock_to_counter_duration(entry.duration, rate));
  row[3] = entry.bytes;
  row[4] = hires_time_to_epoch_time(fast_clock_to_counter((uint64_t)entry.first_start, rate, now));
  row[5] = hires_time_to_epoch_time(fast_clock_to_counter((uint64_t)entry.last_end, rate, now));
}

jobject flush_inner(JNIEnv *jni, const file_streams_locals *locals) {
  jclass summary_class = file_streams_summary_class();
  if (summary_class == nullptr) return nullptr;
  const bool with_aggregate = locals->aggregate.count != 0;
  const auto rows = (jsize)(locals->entry_count + (with_aggregate ? 1 : 0));
  jobjectArray texts = jni->NewObjectArray(rows * ROW_TEXTS, file_streams_string_class(), nullptr);
  jlongArray values = texts != nullptr ? jni->NewLongArray(rows * ROW_LONGS) : nullptr;
  if (texts == nullptr || values == nullptr) {
    jni->ExceptionClear();
    report("Failed to create arrays for flushing file stream transaction info.", "file_streams_flush_transaction_inner",
           __LINE__);
    return nullptr;
  }
  auto *buffer = static_cast<jlong *>(file_streams_allocate(sizeof(jlong) * ROW_LONGS * (size_t)rows));
  if (buffer == nullptr) {
    report("Failed to allocate buffer for flushing file stream transaction info.",
           "file_streams_flush_transaction_inner", __LINE__);
    return nullptr;
  }
  memset(buffer, 0, sizeof(jlong) * ROW_LONGS * (size_t)rows);
  const double rate = fast_clock_rate();
  const fast_clock_reading now = fast_clock_read_both();
  for (jsize row = 0; row < rows; ++row) {
    const file_streams_entry &entry = (uint64_t)row < locals->entry_count ? locals->entries[row] : locals->aggregate;
    write_row(buffer + (size_t)row * ROW_LONGS, entry, rate, now);
    if (!jni->ExceptionCheck()) set_text(jni, texts, row * ROW_TEXTS, entry.path);
    if (!jni->ExceptionCheck()) set_text(jni, texts, row * ROW_TEXTS + 1, entry.stack);
  }
  if (!jni->ExceptionCheck()) jni->SetLongArrayRegion(values, 0, rows * ROW_LONGS, buffer);
  free(buffer);
  if (jni->ExceptionCheck()) {
    jni->ExceptionClear();
    report("Failed to fill in file stream transaction arrays.", "file_streams_flush_transaction_inner", __LINE__);
    return nullptr;
  }
  jobjectArray stacks = saved_stack_array(jni, locals);
  jobject summary = jni->NewObject(summary_class, file_streams_summary_constructor(), (jint)rows,
                                   (jint)locals->evicted_count, values, texts, stacks);
  if (summary == nullptr) {
    jni->ExceptionClear();
    report("Failed to create file stream summary object.", "file_streams_flush_transaction_inner", __LINE__);
  }
  jni->DeleteLocalRef(values);
  jni->DeleteLocalRef(texts);
  if (stacks != nullptr) jni->DeleteLocalRef(stacks);
  return summary;
}

}  // namespace

int64_t file_streams_now() { return (int64_t)fast_clock_ticks(); }

void file_streams_locals_init(file_streams_locals *locals) {
  locals->next_stack_time =
      file_streams_now() + fast_clock_from_counter_duration(file_streams_stack_interval(), fast_clock_rate());
  locals->last_entry = nullptr;
  locals->max_key = INT64_MIN;
  locals->entry_count = 0;
  locals->evicted_count = 0;
  locals->saved_stack_count = 0;
  clear_entry(&locals->aggregate, 0, FILE_STREAMS_AGGREGATE);
}

void file_streams_locals_free(file_streams_locals *locals) {
  for (uint64_t i = 0; i < locals->entry_count && i < FILE_STREAMS_MAX_ENTRIES; ++i) {
    free(locals->entries[i].path);
    free(locals->entries[i].stack);
    locals->entries[i].path = nullptr;
    locals->entries[i].stack = nullptr;
  }
  for (uint64_t i = 0; i < locals->saved_stack_count && i < FILE_STREAMS_MAX_SAVED_STACKS; ++i) {
    free(locals->saved_stacks[i]);
    locals->saved_stacks[i] = nullptr;
  }
  locals->entry_count = 0;
  locals->saved_stack_count = 0;
  locals->last_entry = nullptr;
}

void file_streams_account(file_streams_locals *locals, uint64_t key, int32_t kind, int64_t bytes, int64_t start,
                          int64_t now, JNIEnv *jni) {
  file_streams_entry *entry = choose_entry(locals, key, kind);
  locals->last_entry = entry;
  if (entry->count == 0) entry->first_start = start;
  entry->count += 1;
  entry->duration += now - start;
  entry->bytes += bytes;
  entry->last_end = now;
  if (entry->stack == nullptr && now >= locals->next_stack_time) sample_stack(jni, locals, entry);
}

jobject file_streams_flush_transaction(JNIEnv *jni, file_streams_locals *locals) {
  if (locals == nullptr) return nullptr;
  jobject summary = locals->entry_count != 0 && jni != nullptr ? flush_inner(jni, locals) : nullptr;
  file_streams_locals_free(locals);
  file_streams_locals_init(locals);
  return summary;
}
