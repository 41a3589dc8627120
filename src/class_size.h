// Class sizes and class details read from the VM's own structures.
#pragma once

#include <jni.h>

#include <cstdint>

bool init_class_size_symbols(JNIEnv *jni, bool keep_safety_check);
const char *get_hotspot_symbols_status_text();
bool has_full_hotspot_symbols();
// Metadata bytes of a class (constant pool, methods, arrays), or 0 when they cannot be read.
uint32_t get_class_size(jclass klass);
