// What the test-kit natives share: the agent's environments, Java arrays from C++ values, and a
// count of the tagged objects of the heap.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <vector>

jvmtiEnv *probe_tag_env();   // the tagging environment, or null before the agent started
jvmtiEnv *probe_main_env();  // the main environment, or null

jlongArray probe_long_array(JNIEnv *jni, const std::vector<jlong> &values);
// The bytes of a C string as a byte[] (null for null).
jbyteArray probe_bytes(JNIEnv *jni, const char *text);

// Counts the objects tagged in the tagging environment whose tag passes accept (all with null);
// -1 when the heap cannot be iterated. Since JDK 16 the JVM posts ObjectFree lazily: the iteration
// also posts the events of everything collected so far before it returns.
jlong probe_count_tagged(bool (*accept)(uint64_t tag) = nullptr);
