// The file channels' natives that the file stream tracker hooks, looked up in whichever classes the
// class library has: the dispatcher's reads and writes (sun.nio.ch.FileDispatcherImpl, in later
// libraries sun.nio.ch.UnixFileDispatcherImpl), the direct transfers (an instance native of
// FileChannelImpl, later static natives of FileDispatcherImpl), the opens and closes of
// java.nio.file by descriptor number, the copies of Files.copy (UnixCopyFile.transfer, later
// LinuxNativeDispatcher.directCopy0 and UnixFileSystem.bufferedCopy0), and the cleaner's close of
// descriptors that nobody closed (FileCleanable.cleanupClose0).
#include <cstring>

#include "base/string_util.h"
#include "core/log.h"
#include "core/reflection.h"
#include "transactions/file_streams_internal.h"

namespace {

enum channel_class : size_t {
  DISPATCHER,       // reads and writes
  CHANNEL,          // FileChannelImpl
  FILE_DISPATCHER,  // FileDispatcherImpl, of the static transfers
  NATIVE_DISPATCHER,
  COPY_FILE,
  LINUX_DISPATCHER,
  FILE_SYSTEM,
  CLEANABLE,
  CLASS_COUNT
};

struct {
  jclass classes[CLASS_COUNT];     // global references, null where the class library has none
  const char *names[CLASS_COUNT];  // "sun/nio/ch/FileChannelImpl"
  char dotted[CLASS_COUNT][48];    // "sun.nio.ch.FileChannelImpl", for the hooks' names
} file_channels;

constexpr const char *READ = "(Ljava/io/FileDescriptor;JI)I";
constexpr const char *POSITIONAL = "(Ljava/io/FileDescriptor;JIJ)I";
constexpr const char *VECTOR = "(Ljava/io/FileDescriptor;JI)J";

jclass find_class(JNIEnv *jni, channel_class index, const char *binary_name) {
  jclass klass = file_streams_global_class(jni, binary_name);
  file_channels.classes[index] = klass;
  file_channels.names[index] = binary_name;
  char *dotted = file_channels.dotted[index];
  safe_strncpy(dotted, binary_name, sizeof file_channels.dotted[index]);
  for (char *c = dotted; *c != '\0'; ++c) {
    if (*c == '/') *c = '.';
  }
  return klass;
}

void find_static(JNIEnv *jni, file_streams_hook_id hook, channel_class index, const char *name, const char *signature) {
  file_streams_find_hook(jni, hook, file_channels.classes[index], file_channels.dotted[index], name, nullptr, signature,
                         true);
}

}  // namespace

void file_channels_load(JNIEnv *jni) {
  for (const char *name : {"sun/nio/ch/UnixFileDispatcherImpl", "sun/nio/ch/FileDispatcherImpl",
                           "sun/nio/ch/FileChannelImpl", "sun/nio/fs/UnixNativeDispatcher", "sun/nio/fs/UnixCopyFile",
                           "sun/nio/fs/LinuxNativeDispatcher", "sun/nio/fs/UnixFileSystem", "java/io/FileCleanable"}) {
    jclass klass = jni->FindClass(name);
    if (jni->ExceptionCheck()) jni->ExceptionClear();  // a class this library lacks
    if (klass != nullptr) jni->DeleteLocalRef(klass);
  }
}

void file_channels_find(JNIEnv *jni) {
  if (find_class(jni, DISPATCHER, "sun/nio/ch/UnixFileDispatcherImpl") == nullptr) {
    find_class(jni, DISPATCHER, "sun/nio/ch/FileDispatcherImpl");
  }
  find_static(jni, HOOK_NIO_READ0, DISPATCHER, "read0", READ);
  find_static(jni, HOOK_NIO_PREAD0, DISPATCHER, "pread0", POSITIONAL);
  find_static(jni, HOOK_NIO_READV0, DISPATCHER, "readv0", VECTOR);
  find_static(jni, HOOK_NIO_WRITE0, DISPATCHER, "write0", READ);
  find_static(jni, HOOK_NIO_PWRITE0, DISPATCHER, "pwrite0", POSITIONAL);
  find_static(jni, HOOK_NIO_WRITEV0, DISPATCHER, "writev0", VECTOR);

  find_class(jni, CHANNEL, "sun/nio/ch/FileChannelImpl");
  file_streams_find_hook(jni, HOOK_NIO_CHANNEL_TRANSFER_TO0, file_channels.classes[CHANNEL],
                         file_channels.dotted[CHANNEL], "transferTo0", nullptr,
                         "(Ljava/io/FileDescriptor;JJLjava/io/FileDescriptor;)J", false);
  find_class(jni, FILE_DISPATCHER, "sun/nio/ch/FileDispatcherImpl");
  find_static(jni, HOOK_NIO_TRANSFER_TO0, FILE_DISPATCHER, "transferTo0",
              "(Ljava/io/FileDescriptor;JJLjava/io/FileDescriptor;Z)J");
  find_static(jni, HOOK_NIO_TRANSFER_FROM0, FILE_DISPATCHER, "transferFrom0",
              "(Ljava/io/FileDescriptor;Ljava/io/FileDescriptor;JJZ)J");

  find_class(jni, NATIVE_DISPATCHER, "sun/nio/fs/UnixNativeDispatcher");
  find_static(jni, HOOK_NIO_OPEN0, NATIVE_DISPATCHER, "open0", "(JII)I");
  find_static(jni, HOOK_NIO_CLOSE0, NATIVE_DISPATCHER, "close0", "(I)V");
  find_class(jni, COPY_FILE, "sun/nio/fs/UnixCopyFile");
  find_static(jni, HOOK_NIO_COPY_TRANSFER, COPY_FILE, "transfer", "(IIJ)V");
  find_class(jni, LINUX_DISPATCHER, "sun/nio/fs/LinuxNativeDispatcher");
  find_static(jni, HOOK_NIO_DIRECT_COPY0, LINUX_DISPATCHER, "directCopy0", "(IIJ)I");
  find_class(jni, FILE_SYSTEM, "sun/nio/fs/UnixFileSystem");
  find_static(jni, HOOK_NIO_BUFFERED_COPY0, FILE_SYSTEM, "bufferedCopy0", "(IIJIJ)V");
  find_class(jni, CLEANABLE, "java/io/FileCleanable");
  find_static(jni, HOOK_FD_CLEANUP_CLOSE0, CLEANABLE, "cleanupClose0", "(IJ)V");

  // Class libraries of other systems have other natives: their channels are not seen.
  const file_streams_hook *h = file_streams_hooks;
  int missing =
      reflection_first_null({file_channels.classes[DISPATCHER], h[HOOK_NIO_READ0].method, h[HOOK_NIO_WRITE0].method,
                             h[HOOK_NIO_OPEN0].method, h[HOOK_NIO_CLOSE0].method, file_streams_field_ids.number});
  if (missing >= 0) log_warn(jni, "Could not find file channel method #%d: file channels are not tracked.", missing);
}

size_t file_channels_class_count() { return CLASS_COUNT; }

// Earlier class libraries have the reads and writes in FileDispatcherImpl itself: a class listed
// twice is given once.
jclass file_channels_class(size_t index) {
  if (index >= CLASS_COUNT) return nullptr;
  if (index == FILE_DISPATCHER && file_channels.names[DISPATCHER] != nullptr &&
      file_channels.names[FILE_DISPATCHER] != nullptr &&
      strcmp(file_channels.names[DISPATCHER], file_channels.names[FILE_DISPATCHER]) == 0) {
    return nullptr;
  }
  return file_channels.classes[index];
}

const char *file_channels_class_name(size_t index) {
  return index < CLASS_COUNT ? file_channels.names[index] : nullptr;
}
