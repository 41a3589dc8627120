// Class sizes and class details read from the VM's own structures.
#pragma once

#include <jni.h>

bool init_class_size_symbols(JNIEnv *jni, bool keep_safety_check);
const char *get_hotspot_symbols_status_text();
bool has_full_hotspot_symbols();
