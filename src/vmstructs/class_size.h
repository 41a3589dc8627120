// Class sizes and class details read from the VM's own structures.
#pragma once

#include <jni.h>

#include <cstdint>

#include "vmstructs/class_records.h"

bool init_class_size_symbols(JNIEnv *jni, bool keep_safety_check);
const char *get_hotspot_symbols_status_text();
bool has_full_hotspot_symbols();

// Metadata bytes of a class (constant pool, methods, arrays), or 0 when they cannot be read.
uint32_t get_class_size(jclass klass);
uint32_t get_constant_pool_size(const char *constant_pool);
uint32_t get_constant_pool_shallow_size(const char *constant_pool);
uint32_t get_class_misc_array_sizes(const char *klass);
uint32_t get_methods_size(const char *methods);
uint32_t get_method_size(const char *method);
uint32_t get_const_method_size(const char *const_method);
uint32_t get_method_data_size(const char *method_data);

void get_class_methods_context(jclass klass, methods_context *context);
void get_class_method_info(const methods_context *context, int64_t index, method_record *record);
void get_class_fields_context(jclass klass, fields_context *context);
int32_t get_class_fields_count(const char *klass, const char *fields);
void get_class_field_info(const fields_context *context, int32_t index, field_record *record);
// After the fields of a class were read: gives back what reading them kept.
void release_class_fields_context(fields_context *context);

// The text of a constant pool entry's symbol ("___null_cp" without a pool).
uint32_t const_pool_get_symbol(const char *constant_pool, uint32_t index, char *buffer, uint32_t capacity);
// With capacity 0 the symbol's length; otherwise whether its text (cut to capacity - 1) was read.
uint32_t get_symbol_value(const char *symbol, char *buffer, uint32_t capacity);
void fill_obsolete_method_info(method_record *record);
