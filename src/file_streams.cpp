// Stand-in until the file stream tracker is built: no native is replaced and no stream is tagged;
// the per-transaction table is empty and flushes to null.
#include "file_streams.h"

bool file_streams_pre_initialise() { return true; }
bool file_streams_initialise(JNIEnv *) { return true; }
void JNICALL file_streams_object_free(jvmtiEnv *, jlong) {}
void file_streams_native_method_bind(jvmtiEnv *, JNIEnv *, jthread, jmethodID, void *, void **) {}
void file_streams_set_enabled(JNIEnv *, bool) {}
void file_streams_locals_init(file_streams_locals *) {}
void file_streams_locals_free(file_streams_locals *) {}
jobject file_streams_flush_transaction(JNIEnv *, thread_locals *) { return nullptr; }
