// The entries of the JVM library's exported structure, type and integer-constant tables, in the
// 64-bit layout both readers (vm_structs.cpp, vm_current.cpp) understand; vm_structs.cpp checks
// the strides the library exports against these sizes before either reads a row.
#pragma once

#include <cstdint>

struct vm_struct_entry {
  const char *type_name;
  const char *field_name;
  const char *type_string;
  int32_t is_static;
  uint64_t offset;
  uint64_t address;
};
struct vm_type_entry {
  const char *type_name;
  const char *superclass_name;
  int32_t is_oop;
  int32_t is_integer;
  int32_t is_unsigned;
  uint64_t size;
};
struct vm_int_constant_entry {
  const char *name;
  int32_t value;
};
static_assert(sizeof(vm_struct_entry) == 48 && sizeof(vm_type_entry) == 40 && sizeof(vm_int_constant_entry) == 16,
              "VM table entry layout");
