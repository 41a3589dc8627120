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
  // File channels: the dispatcher's reads and writes (sun.nio.ch.FileDispatcherImpl, in later
  // class libraries UnixFileDispatcherImpl), direct transfers, the opens and closes of
  // java.nio.file by descriptor number, the copies of Files.copy, and the cleaner's close of
  // descriptors nobody closed.
  HOOK_NIO_READ0,
  HOOK_NIO_PREAD0,
  HOOK_NIO_READV0,
  HOOK_NIO_WRITE0,
  HOOK_NIO_PWRITE0,
  HOOK_NIO_WRITEV0,
  HOOK_NIO_CHANNEL_TRANSFER_TO0,  // FileChannelImpl.transferTo0, an instance method
  HOOK_NIO_TRANSFER_TO0,          // FileDispatcherImpl.transferTo0, static
  HOOK_NIO_TRANSFER_FROM0,
  HOOK_NIO_OPEN0,
  HOOK_NIO_CLOSE0,
  HOOK_NIO_COPY_TRANSFER,   // UnixCopyFile.transfer
  HOOK_NIO_DIRECT_COPY0,    // LinuxNativeDispatcher.directCopy0
  HOOK_NIO_BUFFERED_COPY0,  // UnixFileSystem.bufferedCopy0
  HOOK_FD_CLEANUP_CLOSE0,   // FileCleanable.cleanupClose0
  HOOK_COUNT
};

struct file_streams_hook {
  jmethodID method;                  // null when the class library has no such method
  std::atomic<void *> jdk_function;  // the JDK's function saved at the latest bind
  std::atomic<uint32_t> binds;       // how often the JVM bound the method, hooked or not
  char name[128];                    // "FileInputStream.read0()I": the method looked up
};

// Indexed by file_streams_hook_id; written under the module lock, read by the hooks.
extern file_streams_hook file_streams_hooks[HOOK_COUNT];
// The hook functions themselves, in the same order: the streams' (file_streams_hooks.cpp) and the
// channels' (file_channels_hooks.cpp).
extern void *const file_streams_stream_hook_functions[HOOK_NIO_READ0];
extern void *const file_streams_channel_hook_functions[HOOK_COUNT - HOOK_NIO_READ0];
inline void *file_streams_hook_function(int hook) {
  return hook < HOOK_NIO_READ0 ? file_streams_stream_hook_functions[hook]
                               : file_streams_channel_hook_functions[hook - HOOK_NIO_READ0];
}

template <typename F>
inline F file_streams_jdk_function(file_streams_hook_id hook) {
  return reinterpret_cast<F>(file_streams_hooks[hook].jdk_function.load(std::memory_order_acquire));
}

// Field ids the hooks read: the descriptor of each stream class and the descriptor's number.
struct file_streams_fields {
  jfieldID input_fd;   // FileInputStream.fd
  jfieldID output_fd;  // FileOutputStream.fd
  jfieldID random_fd;  // RandomAccessFile.fd
  jfieldID number;     // FileDescriptor.fd
  jfieldID parent;     // FileDescriptor.parent, null when the class library has none
};
extern file_streams_fields file_streams_field_ids;

// The number in a FileDescriptor, -1 when there is none (the field read of the JVM's fast
// accessors: no transition, no handle).
inline int file_streams_descriptor_number(JNIEnv *jni, jobject descriptor) {
  jfieldID number = file_streams_field_ids.number;
  return descriptor != nullptr && number != nullptr ? jni->GetIntField(descriptor, number) : -1;
}

// A global reference to the named class, null when the class library has none.
jclass file_streams_global_class(JNIEnv *jni, const char *name);
// Looks up a hooked method by its name, else by the fallback name, and notes which of them the
// class library has in the hook's name ("class_name.name(signature)"); null when neither.
jmethodID file_streams_find_hook(JNIEnv *jni, file_streams_hook_id hook, jclass klass, const char *class_name,
                                 const char *name, const char *fallback, const char *signature, bool is_static);
// Loads the classes of the file channels' natives (file_channels.cpp), outside the module lock: a
// class's static initialiser binds natives, whose bind events take that lock.
void file_channels_load(JNIEnv *jni);
// Looks up the natives of the file channels, under the module lock, once file_channels_load ran.
void file_channels_find(JNIEnv *jni);
// The classes whose natives the channel hooks replace, null where the class library has none.
size_t file_channels_class_count();
jclass file_channels_class(size_t index);
const char *file_channels_class_name(size_t index);

// The main JVMTI environment, null before the agent loaded.
jvmtiEnv *file_streams_main_env();
// The summary class and constructor, null before file_streams_find_classes found them.
jclass file_streams_summary_class();
jclass file_streams_string_class();
jmethodID file_streams_summary_constructor();
// The spacing of stack samples in high-resolution ticks.
int64_t file_streams_stack_interval();
// Owned memory for texts and buffers (the allocator of tests, malloc otherwise).
void *file_streams_allocate(size_t size);
char *file_streams_copy_text(const char *text);
// Fills storage with the calling thread's stack text (its class references released in a local
// frame of jni when one is given).
bool file_streams_take_stack(JNIEnv *jni, char *storage, size_t size);
