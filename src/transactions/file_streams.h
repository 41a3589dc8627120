// File stream tracker: the JDK's file natives (those of FileInputStream, FileOutputStream,
// RandomAccessFile, FileDescriptor.close0, and the file channels' of sun.nio) are replaced by hooks
// when the JVM binds them while the tracker is enabled. The hooks call the JDK's own function and
// account for the call: every read and write in the timing counters of the thread's transaction,
// and per (open file, kind) in the transaction's table, with the file's path from the process-wide
// registry. An open file is found by its descriptor number (file_descriptors.h); a stream object
// also carries its registry key as its tag in the main JVMTI environment.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <cstdint>

#include "transactions/file_streams_locals.h"
#include "transactions/timing_tracker.h"
#include "transactions/transaction_state.h"

bool file_streams_pre_initialise();
bool file_streams_initialise(JNIEnv *jni);
// Looks up the summary class once, at a thread's first join (user_transaction.cpp says why then).
void file_streams_find_classes(JNIEnv *jni);
void JNICALL file_streams_object_free(jvmtiEnv *jvmti, jlong tag);
void file_streams_native_method_bind(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread, jmethodID method, void *address,
                                     void **new_address);
// Installs (true) or removes (false) the hooks: the JVM binds the natives again at their next
// call. Once the agent is switched off, the tracker cannot be enabled again.
void file_streams_set_enabled(JNIEnv *jni, bool enabled);
bool file_streams_enabled();
// The hooked methods, for diagnostics: the method looked up ("FileInputStream.read0()I", null
// before the lookups), whether the class library has it, and how often the JVM bound it so far,
// with the hook or without.
size_t file_streams_hook_count();
const char *file_streams_hook_name(size_t hook);
bool file_streams_hook_present(size_t hook);
uint32_t file_streams_hook_binds(size_t hook);

void file_streams_locals_init(file_streams_locals *locals);
void file_streams_locals_free(file_streams_locals *locals);
// The table of the record's transaction as a RecurringStreamOperationSummary (a local reference),
// null when it is empty or cannot be made; the table is emptied either way.
jobject file_streams_flush_transaction(JNIEnv *jni, file_streams_locals *locals);

// The registry. register gives a new key for the stream's path (0 when it could not be
// registered); once the JDK opened the file, the key is attached to the descriptor the file is
// open on (file_streams_registry_attach_or_remove), which the stream's operations and its close
// (its own, or the cleaner's for a stream dropped open) find it by.
uint64_t file_streams_register_stream(JNIEnv *jni, jobject stream, jstring path);
// Streams that were opened before the hooks came (an agent loaded into a running JVM) are not
// registered; with adoption on, such a stream is registered with its own path at its first
// operation inside a transaction. adopt_stream gives its new key, 0 when adoption is off or the
// stream has no path (made on a descriptor); the key is attached to the stream's descriptor fd.
void file_streams_adopt_unregistered(bool adopt);
uint64_t file_streams_adopt_stream(JNIEnv *jni, jobject stream, int fd);
uint64_t file_streams_registry_size();
// A new key for path (0 when memory is short) and its removal, with the path freed.
uint64_t file_streams_registry_add(const char *path);
void file_streams_registry_remove(uint64_t key);
// An owned copy of the path registered under key, null when absent or memory is short.
char *file_streams_registry_copy_path(uint64_t key);
// Records the registered key as open on fd (false when the key is gone or fd is out of range).
bool file_streams_registry_attach(uint64_t key, int fd);
// The same, and the key removed when it could not be attached (a descriptor beyond the table).
bool file_streams_registry_attach_or_remove(uint64_t key, int fd);
// Registers path as open on fd (the opens of java.nio.file); its key, 0 when not registered.
uint64_t file_streams_open_descriptor(const char *path, int fd);
// Forgets the file open on fd, if any (before the descriptor is closed).
void file_streams_close_descriptor(int fd);

// The tracker's clock: ticks of the fast counter (platform/fast_clock.h).
int64_t file_streams_now();

// The table step of an operation on a registered file (key not 0).
void file_streams_account(file_streams_locals *locals, uint64_t key, int32_t kind, int64_t bytes, int64_t start,
                          int64_t now, JNIEnv *jni = nullptr);

// One read or write of the calling thread inside transaction on the file registered under key (0:
// counted in the timing counters only), timed in clock ticks from start to end; bytes moved. The
// same file and kind again, with its stack already sampled, is counted right here.
inline void file_streams_register_operation(JNIEnv *jni, thread_transaction_state *transaction, uint64_t key,
                                            int32_t kind, int64_t bytes, int64_t start, int64_t end) {
  if (transaction == nullptr) return;
  timing_tracker_register_operation(transaction->operation_timings, kind, end - start);
  if (key == 0) return;
  file_streams_locals &locals = transaction->file_streams;
  file_streams_entry *entry = locals.last_entry;
  if (entry != nullptr && entry->key == key && entry->kind == kind && entry->stack != nullptr) {
    entry->count += 1;
    entry->duration += end - start;
    entry->bytes += bytes;
    entry->last_end = end;
    return;
  }
  file_streams_account(&locals, key, kind, bytes, start, end, jni);
}

// Tests only: where owned texts and buffers come from (malloc when null), the spacing of stack
// samples, and where a stack text comes from (the calling thread's stack when null).
using file_streams_allocator = void *(*)(size_t size);
using file_streams_stack_source = bool (*)(char *storage, size_t size);
void file_streams_set_allocator_for_tests(file_streams_allocator allocator);
void file_streams_set_stack_interval_for_tests(int64_t ticks);
void file_streams_set_stack_source_for_tests(file_streams_stack_source source);
