// Reading the J9 verbose-GC XML records: one element's attributes and the memory pool list.
// Works on bounded text only (never past `end`), allocates nothing and keeps no state.
#pragma once

#include <cstdint>
#include <string_view>

constexpr size_t IBM_GC_MAX_POOLS = 8;
constexpr size_t IBM_GC_POOL_NAME_SIZE = 16;
constexpr size_t IBM_GC_TYPE_SIZE = 32;
constexpr size_t IBM_XML_VALUE_SIZE = 32;

struct ibm_gc_pool {
  char pool_name[IBM_GC_POOL_NAME_SIZE];  // NUL-terminated, cut to 15 characters
  int64_t used;                           // total - free
  int64_t total;
};

struct ibm_gc_memory_list {
  uint64_t pool_count;  // at most IBM_GC_MAX_POOLS
  ibm_gc_pool pools[IBM_GC_MAX_POOLS];
};

// The unread rest of a record: [cursor, end).
struct ibm_xml_text {
  const char *cursor;
  const char *end;
};

using ibm_xml_value = char[IBM_XML_VALUE_SIZE];

// Finds the next `element` (its opening text with the trailing space, "<mem ") at or after the
// cursor and reads its attributes up to the closing '>' or '/'. Each attribute named in `names`
// (a null-terminated list) is copied into its slot of `values`, cut to 31 characters; every slot
// not found stays empty. Moves the cursor past the element's '>'. True when every name was found.
bool ibm_xml_consume_element(ibm_xml_text &text, std::string_view element, const char *const *names,
                             ibm_xml_value *values);

// Reads "<mem " elements with "type", "free" and "total" one after another into `list` (up to
// eight pools; a ninth element ends the list), stopping at the first missing or incomplete one.
// True when at least two pools were read.
bool ibm_xml_process_gc_mems(ibm_xml_text &text, ibm_gc_memory_list &list);

// The base-10 integer at the start of text ("12.75" gives 12, "" gives 0), with an optional sign;
// values beyond the 64-bit range are held at its limits.
int64_t ibm_xml_parse_long(const char *text);
