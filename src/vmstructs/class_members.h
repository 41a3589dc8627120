// Methods and fields of a class on current HotSpot (vm_current.h), for the class listing from VM
// structures: the records of class_records.h filled from the method's const method and the
// constant pool, and from the field array (JDK 11 to 20) or the compressed field stream (21 and
// later), in the order JVMTI lists them. Only the Java fields are listed, never injected ones.
#pragma once

#include <jni.h>

#include <cstdint>

#include "vmstructs/class_records.h"

// Sets the constant pool of the class (the caller sets methods and count).
void class_members_methods_context(jclass klass, methods_context *context);
void class_members_method_info(const methods_context *context, int64_t index, method_record *record);
void class_members_fields_context(jclass klass, fields_context *context);
// A field stream is decoded once per class and kept until class_members_release: one caller at a
// time (the snapshot's thread).
void class_members_field_info(const fields_context *context, int32_t index, field_record *record);
// Gives back the memory of the last decoded field stream.
void class_members_release();
