// The method and field records of a class read from the VM's own structures, shared by the
// readers of each HotSpot family.
#pragma once

#include <jni.h>

#include <cstdint>

struct methods_context {
  jmethodID *methods;         // supplied by the caller
  const char *constant_pool;  // set by get_class_methods_context
  int64_t count;              // supplied by the caller
};

struct method_record {
  uint32_t access_flags;
  char name[512];
  char signature[2048];
  jmethodID method_id;
};

struct fields_context {
  const char *fields;
  const char *constant_pool;
  int32_t count;
};

struct field_record {
  uint32_t access_flags;
  char name[512];
  char signature[512];
};
