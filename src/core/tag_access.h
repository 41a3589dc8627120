// Object tags of the tagging environment: kinds, temporary tags, reads and writes, and the
// translation of the snapshot's temporary tags back to the tags they replaced.
//
// A tag's low 32 bits carry a 13-bit kind in bits 19-31: 0 a class index on a Class object,
// 3 a class loader tracker tag, 4 and 5 the snapshot's temporary tags, 32 and above statistics
// tags (the allocation point number). The main environment's tag space (file streams) uses only
// tag_access_set_tag and tag_access_get_tag.
//
// While a snapshot has its temporary tags in place, other threads may still tag objects: a tag
// set then replaces the temporary one and survives the restore, which touches temporary tags only.
// The backup lock guards the registered backup against its release; it is a leaf.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

struct tag_backup;

constexpr uint32_t TAG_KIND_SHIFT = 19;
constexpr uint32_t TAG_KIND_MASK = 0xFFF80000u;       // bits 19-31 of the low word
constexpr uint32_t TAG_TEMPORARY_MASK = 0xFFF00000u;  // kinds 4 and 5 share this pattern
constexpr uint32_t TAG_TEMPORARY_PATTERN = 0x200000u;
constexpr uint32_t TAG_CLASSLOADER_PATTERN = 0x180000u;
constexpr uint64_t TAG_NUMBER_LOW_MASK = 0x7FFFF;  // bits 0-18 hold the low part of a number
constexpr uint32_t TAG_KIND_CLASS_INDEX = 0;
constexpr uint32_t TAG_KIND_CLASSLOADER = 3;
constexpr uint32_t TAG_KIND_TEMPORARY_CLASS_TAGGED = 4;
constexpr uint32_t TAG_KIND_TEMPORARY_CLASS_UNTAGGED = 5;
constexpr uint32_t TAG_KIND_FIRST_STATISTICS = 32;

constexpr uint32_t tag_low_word(uint64_t tag) { return (uint32_t)tag; }
constexpr uint32_t tag_kind(uint64_t tag) { return tag_low_word(tag) >> TAG_KIND_SHIFT; }
constexpr bool tag_is_temporary(uint64_t tag) {
  return (tag_low_word(tag) & TAG_TEMPORARY_MASK) == TAG_TEMPORARY_PATTERN;
}
constexpr bool tag_has_kind(uint64_t tag, uint32_t kind) { return tag_kind(tag) == kind; }
constexpr bool tag_is_classloader(uint64_t tag) {
  return (tag_low_word(tag) & TAG_KIND_MASK) == TAG_CLASSLOADER_PATTERN;
}
constexpr bool tag_is_statistics(uint64_t tag) { return tag_kind(tag) >= TAG_KIND_FIRST_STATISTICS; }

// The one-based backup number n of a temporary tag: bits 0-18 hold n & 0x7FFFF, bits 32-63 n >> 19.
constexpr uint64_t tag_temporary_number(uint64_t tag) { return ((tag >> 32) << 19) + (tag & TAG_NUMBER_LOW_MASK); }
// The snapshot graph id a tag carries: its backup number when it is temporary, else 0.
constexpr uint64_t tag_graph_id(uint64_t tag) { return tag_is_temporary(tag) ? tag_temporary_number(tag) : 0; }
// The temporary tag of kind 4 or 5 for backup number n (the backup index plus one).
constexpr uint64_t tag_make_temporary(uint64_t number, uint32_t kind) {
  return ((number >> 19) << 32) | ((uint64_t)kind << TAG_KIND_SHIFT) | (number & TAG_NUMBER_LOW_MASK);
}
// The class loader tracker's tag for loader number n.
constexpr uint64_t tag_make_classloader(uint32_t loader_number) {
  return ((uint64_t)loader_number << 32) | TAG_CLASSLOADER_PATTERN;
}

static_assert(tag_is_temporary(0x00280005) && tag_temporary_number(0x00280005) == 5, "kind 5, n = 5");
static_assert(tag_temporary_number(0x0000000100280005ULL) == 524288 + 5, "high word counts 2^19");
static_assert(tag_is_classloader(0x1234567800180007ULL) && tag_kind(0x00180007) == 3, "loader tags");
static_assert(tag_make_temporary(524293, 5) == 0x0000000100280005ULL, "encoding inverts decoding");
static_assert(tag_has_kind(0x00280005, TAG_KIND_TEMPORARY_CLASS_UNTAGGED) &&
                  !tag_has_kind(0x00200005, TAG_KIND_TEMPORARY_CLASS_UNTAGGED),
              "kind 5 is the temporary tag of an object whose class had none");
static_assert(tag_graph_id(0x00280005) == 5 && tag_graph_id(0x01000005) == 0, "graph ids of temporary tags only");
static_assert(!tag_is_temporary(0x00180000) && !tag_is_temporary(0x00300000), "kinds 3 and 6 are not temporary");

void tag_access_pre_initialise();

// Set-tag and get-tag in the given environment's tag space. After VM death nothing is read or
// written (false / 0). get returns the raw tag; temporary tags are not translated.
bool tag_access_set_tag(jvmtiEnv *jvmti, jobject object, uint64_t tag);
uint64_t tag_access_get_tag(jvmtiEnv *jvmti, jobject object);

// A non-temporary tag as it is; a temporary tag translated through the registered backup; 0 when
// it cannot be.
uint64_t tag_access_get_permanent_tag(uint64_t tag);

// The backup that translates temporary tags while a snapshot runs; null when none.
void tag_access_register_backup(tag_backup *backup);
void tag_access_deregister_backup();
