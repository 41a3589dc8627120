// Stand-in until thread-local records are built: no thread keeps a record yet.
#include "thread_info.h"

void thread_info_init(JNIEnv *, jvmtiEnv *) {}
void JNICALL thread_start_callback(jvmtiEnv *, JNIEnv *, jthread) {}
void JNICALL thread_end_callback(jvmtiEnv *, JNIEnv *, jthread) {}
