// What the parts of the file stream tracker share: the hook table and the module's lookups.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transactions/file_streams.h"
#include "transactions/thread_locals.h"

// The hooked methods, in the order the bind handler compares them.
enum file_streams_hook_id : int {
  HOOK_FIS_READ0,
  HOOK_FIS_READBYTES,
  HOOK_FIS_OPEN0,
  HOOK_FIS_CLOSE0,
  HOOK_FOS_WRITE,
  HOOK_FOS_WRITEBYTES,
  HOOK_FOS_JDK6_WRITE,
  HOOK_FOS_JDK6_WRITEBYTES,
  HOOK_FOS_OPEN0,
  HOOK_FOS_CLOSE0,
  HOOK_FOS_JDK6_OPEN,
  HOOK_FOS_JDK6_OPENAPPEND,
  HOOK_FD_CLOSE0,
  HOOK_RAF_OPEN0,
  HOOK_RAF_READ0,
  HOOK_RAF_READBYTES,
  HOOK_RAF_WRITE0,
  HOOK_RAF_WRITEBYTES,
  HOOK_COUNT
};

struct file_streams_hook {
  jmethodID method;                  // null when the class library has no such method
  std::atomic<void *> jdk_function;  // the JDK's function saved at the latest bind
  std::atomic<uint32_t> binds;       // how often the JVM bound the method, hooked or not
  char name[80];                     // "FileInputStream.read0()I": the method looked up
};

// Indexed by file_streams_hook_id; written under the module lock, read by the hooks.
extern file_streams_hook file_streams_hooks[HOOK_COUNT];
// The hook functions themselves, in the same order.
extern void *const file_streams_hook_functions[HOOK_COUNT];

template <typename F>
inline F file_streams_jdk_function(file_streams_hook_id hook) {
  return reinterpret_cast<F>(file_streams_hooks[hook].jdk_function.load(std::memory_order_acquire));
}

// The main JVMTI environment, null before the agent loaded.
jvmtiEnv *file_streams_main_env();
// FileDescriptor.parent, null when the class library has none.
jfieldID file_streams_parent_field();
// The summary class and constructor, null before file_streams_initialise found them.
jclass file_streams_summary_class();
jclass file_streams_string_class();
jmethodID file_streams_summary_constructor();
int64_t file_streams_stack_interval();
// Owned memory for texts and buffers (the allocator of tests, malloc otherwise).
void *file_streams_allocate(size_t size);
char *file_streams_copy_text(const char *text);
// Fills storage with the calling thread's stack text (its class references released in a local
// frame of jni when one is given).
bool file_streams_take_stack(JNIEnv *jni, char *storage, size_t size);
