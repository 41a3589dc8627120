// Bounded text: formatting into fixed-size arrays, owned copies and appendable buffers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

void safe_strncpy(char *destination, const char *source, size_t size);
void safe_memncpy(char *destination, size_t destination_size, const void *source, size_t count);

// Always terminated when size > 0. A result >= size means the text was cut; negative on a format error.
int xsnprintf(char *destination, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
int xvsnprintf(char *destination, size_t size, const char *format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// The bytes of a system text (a path, taken to be UTF-8) as the modified UTF-8 that JNI's NewStringUTF
// takes: characters beyond the 16-bit range as their two surrogates, malformed bytes as '?'. Cut
// to whole characters within size (terminated when size > 0); the length written.
size_t string_to_modified_utf8(const char *text, char *destination, size_t size);

// The name of a value in a table of names indexed by value (an enumeration numbered from 0);
// fallback for any value outside the table.
template <size_t N>
const char *string_table_name(const char *const (&names)[N], int64_t value, const char *fallback) {
  return value >= 0 && (uint64_t)value < N ? names[value] : fallback;
}

// One bit of a set of flags and its name.
struct string_flag_name {
  uint32_t bit;
  const char *name;
};

// The names of the bits set in flags, in the order of the table and joined by separator, as far as
// they fit (terminated when size > 0; a name that does not fit is cut and ends the text). The
// length of the whole names written: 0 when none of the table's bits is set or the first name was cut.
size_t string_join_flag_names(char *buffer, size_t size, uint32_t flags, const string_flag_name *names, size_t count,
                              const char *separator);

// Heap copies, freed by the caller with free().
char *string_duplicate(const char *text);
char *string_reallocate(char *text);

enum appendable_state : int32_t {
  APPENDABLE_GOOD = 0,
  APPENDABLE_FORMAT_FAILED = 1,
  APPENDABLE_TRUNCATED = 2,
  APPENDABLE_BAD_POSITION = 3,
};

struct appendable {
  char *buffer;
  uint64_t capacity;
  uint64_t length;
  int32_t state;
};

void appendable_init(appendable *buffer, char *storage, uint64_t capacity);
void appendable_init_existing(appendable *buffer, char *storage, uint64_t capacity);
bool appendable_write(appendable *buffer, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool appendable_vwrite(appendable *buffer, const char *format, va_list arguments) __attribute__((format(printf, 2, 0)));
bool appendable_write_char(appendable *buffer, char character);
bool appendable_truncate(appendable *buffer, char *position);
