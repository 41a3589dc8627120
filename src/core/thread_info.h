// Thread facts (id, name, state) and stack traces as text, for one thread
// or for all threads at once (the snapshot's thread dump, with a per-dump cache of method facts).
//
// Every stack text of the agent has one line per frame, top frame first:
//   "%s.%s:%d(%d)\n"  class signature (Ljava/lang/Thread;), method name, source line or -1,
//                     bytecode location as a signed 32-bit number (-1 for native frames).
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstddef>
#include <cstdint>

struct appendable;
struct hashmap;
struct hashmap_entry;

constexpr int THREAD_MAX_FRAMES = 200;
constexpr const char *THREAD_STACK_LINE_FORMAT = "%s.%s:%d(%d)\n";

void thread_info_init(JNIEnv *jni, jvmtiEnv *jvmti);
int64_t thread_get_id(JNIEnv *jni, jthread thread);
int64_t thread_get_current_id(JNIEnv *jni, jvmtiEnv *jvmti);
jint thread_get_state(jvmtiEnv *jvmti, jthread thread);
// An owned copy (free it) of the thread's name; "Unknown" when there is none. Null only when even
// that copy cannot be made.
char *thread_get_name(JNIEnv *jni, jvmtiEnv *jvmti, jthread thread);
jint thread_get_line_number(jvmtiEnv *jvmti, jmethodID method, jlocation location);

// Line lookups in a line number table: the walk of thread_get_line_number (a location before the
// first entry gets the first entry's line) and the thread dump's binary search (it gets -1).
jint thread_line_table_walk(const jvmtiLineNumberEntry *table, jint count, jlocation location);
jint thread_line_table_search(const jvmtiLineNumberEntry *table, jint count, jlocation location);

void thread_add_stack_line(jvmtiEnv *jvmti, const jvmtiFrameInfo *frame, appendable *buffer);
// The stack text of thread (the calling thread when null), at most 200 frames, cut to whole lines
// when it does not fit. False when the stack could not be had. With jni, the local references the
// frames' class queries make are released in a local frame of their own (callers with a JNI
// environment should pass it: a deep stack would otherwise exceed a native's local capacity).
// With quiet_if_ended, a thread that ended before its stack could be taken (a lock owner that
// finished meanwhile) gives false without an error line.
bool thread_get_stack_trace(jvmtiEnv *jvmti, jthread thread, char *storage, size_t size, JNIEnv *jni = nullptr,
                            bool quiet_if_ended = false);

struct thread_dump {
  hashmap *methods;  // method id -> thread_dump_method
  int32_t thread_count;
  jvmtiStackInfo *stack_info;
  JNIEnv *jni;  // when given: the threads' references are local references of it
};

struct thread_dump_method {
  char *class_signature;
  char *method_name;
  int32_t line_count;
  jvmtiLineNumberEntry *line_table;
};

// Takes the stacks of every thread. With jni, the local capacity is raised for the threads'
// references, which thread_dump_close deletes, and each frame's class reference is deleted at
// once; callers that format many threads give each a local frame of its own.
bool thread_dump_init(jvmtiEnv *jvmti, thread_dump *dump, JNIEnv *jni = nullptr);
// The stack text of the thread at index into storage, cut to whole lines when it does not fit.
// False for an index outside the dump.
bool thread_dump_format_stack_trace(jvmtiEnv *jvmti, thread_dump *dump, int32_t thread_index, char *storage,
                                    size_t size);
void thread_dump_close(jvmtiEnv *jvmti, thread_dump *dump);
bool thread_dump_method_free(hashmap_entry *entry, void *jvmti);
