// The metadata of one class on current HotSpot (vm_current.h), byte by byte as its class loader's
// metaspace holds it: the klass with its embedded vtable, itable and oop maps; the constant pool
// with its tags, operands, resolved classes and cache; every method with its const method, stack
// map, annotations, method data and counters; the field information; interfaces, inner classes,
// nest members, permitted subclasses, record components and annotations. Each block counts as the
// metaspace allocation it took (whole words, at least the smallest block), and blocks inside the
// class data archive are told apart. A part that cannot be read is named, never guessed.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

enum class_metadata_part : uint32_t {
  CLASS_PART_KLASS = 0,  // the klass and its secondary supers
  CLASS_PART_CONSTANTS,  // constant pool and cache
  CLASS_PART_METHODS,    // methods and everything they own
  CLASS_PART_FIELDS,     // field information and status
  CLASS_PART_OTHER,      // interfaces, inner classes, nest, sealed and record data, annotations
  CLASS_PART_COUNT,
};

// Parts that could not be read (bits of class_metadata_sizes.unreadable).
enum class_metadata_gap : uint32_t {
  CLASS_GAP_KLASS = 1u << 0,
  CLASS_GAP_CONSTANTS = 1u << 1,
  CLASS_GAP_METHODS = 1u << 2,
  CLASS_GAP_FIELDS = 1u << 3,
  CLASS_GAP_FIELDS_STATUS = 1u << 4,
  CLASS_GAP_INTERFACES = 1u << 5,
  CLASS_GAP_NEST_MEMBERS = 1u << 6,
  CLASS_GAP_PERMITTED_SUBCLASSES = 1u << 7,
  CLASS_GAP_RECORD_COMPONENTS = 1u << 8,
  CLASS_GAP_ANNOTATIONS = 1u << 9,
  CLASS_GAP_METHOD_ANNOTATIONS = 1u << 10,
};

struct class_metadata_sizes {
  uint64_t part[CLASS_PART_COUNT];  // bytes by part, in metaspace and in the archive
  uint64_t metaspace;               // of all parts: the bytes in the loader's metaspace
  uint64_t shared;                  // and those in the class data archive
  uint32_t unreadable;              // class_metadata_gap bits
  uint32_t methods;                 // methods counted
  bool array_class;
  bool loader_known;  // loader holds the address of the defining loader object
  uint64_t loader;    // while the VM is stopped: its address (0 for the boot loader)
};

// The metadata of the class of a class reference. False (sizes zero) for a primitive class or
// when even the klass cannot be read.
bool class_metadata_of(jclass klass, class_metadata_sizes *sizes);
// The same from a Klass* (for the tests and tools that hold one).
bool class_metadata_of_klass(const char *klass, class_metadata_sizes *sizes);
// The names of the parts of gap bits, comma-separated ("record_components,annotations").
void class_metadata_gap_text(uint32_t gaps, char *buffer, size_t size);
