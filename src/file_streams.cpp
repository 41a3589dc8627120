// Stand-in until the file stream tracker is built: no native is replaced and no stream is tagged.
#include "file_streams.h"

bool file_streams_pre_initialise() { return true; }
bool file_streams_initialise(JNIEnv *) { return true; }
void JNICALL file_streams_object_free(jvmtiEnv *, jlong) {}
void file_streams_native_method_bind(jvmtiEnv *, JNIEnv *, jthread, jmethodID, void *, void **) {}
void file_streams_set_enabled(JNIEnv *, bool) {}
