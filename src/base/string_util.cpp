#include "base/string_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void safe_strncpy(char *destination, const char *source, size_t size) {
  if (size == 0 || destination == nullptr) return;
  if (source == nullptr) source = "";
  size_t length = strnlen(source, size - 1);
  memcpy(destination, source, length);
  memset(destination + length, 0, size - length);
}

void safe_memncpy(char *destination, size_t destination_size, const void *source, size_t count) {
  if (destination_size == 0 || destination == nullptr) return;
  size_t length = count < destination_size - 1 ? count : destination_size - 1;
  if (length > 0 && source != nullptr)
    memcpy(destination, source, length);
  else
    length = 0;
  destination[length] = '\0';
}

int xvsnprintf(char *destination, size_t size, const char *format, va_list arguments) {
  // vsnprintf terminates whenever size > 0 and returns the length the whole text would have had.
  int result = vsnprintf(destination, size, format, arguments);
  if (result < 0 && size > 0) destination[0] = '\0';
  return result;
}

int xsnprintf(char *destination, size_t size, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = xvsnprintf(destination, size, format, arguments);
  va_end(arguments);
  return result;
}

namespace {

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 character at text and its code point; 0 when malformed.
size_t utf8_character(const unsigned char *text, uint32_t *code) {
  unsigned char lead = text[0];
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0) return 0;
  uint32_t value = lead & (0xFF >> (length + 1));
  for (size_t i = 1; i < length; ++i) {
    if (!continuation(text[i])) return 0;  // also stops at the terminator
    value = (value << 6) | (text[i] & 0x3F);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF))) return 0;
  *code = value;
  return length;
}

size_t encode_three(uint32_t code, unsigned char *out) {
  out[0] = (unsigned char)(0xE0 | (code >> 12));
  out[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
  out[2] = (unsigned char)(0x80 | (code & 0x3F));
  return 3;
}

}  // namespace

size_t string_to_modified_utf8(const char *text, char *destination, size_t size) {
  if (destination == nullptr || size == 0) return 0;
  size_t written = 0;
  const auto *in = reinterpret_cast<const unsigned char *>(text != nullptr ? text : "");
  while (*in != '\0') {
    unsigned char encoded[6];
    size_t encoded_length = 0;
    uint32_t code = 0;
    size_t length = utf8_character(in, &code);
    if (length == 0) {
      encoded[encoded_length++] = '?';
      length = 1;
    } else if (length == 4) {
      uint32_t above = code - 0x10000;
      encoded_length += encode_three(0xD800 + (above >> 10), encoded);
      encoded_length += encode_three(0xDC00 + (above & 0x3FF), encoded + 3);
    } else {
      memcpy(encoded, in, length);
      encoded_length = length;
    }
    if (written + encoded_length >= size) break;
    memcpy(destination + written, encoded, encoded_length);
    written += encoded_length;
    in += length;
  }
  destination[written] = '\0';
  return written;
}

size_t string_join_flag_names(char *buffer, size_t size, uint32_t flags, const string_flag_name *names, size_t count,
                              const char *separator) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    if ((flags & names[i].bit) == 0) continue;
    int written = xsnprintf(buffer + used, size - used, "%s%s", used > 0 ? separator : "", names[i].name);
    if (written < 0 || (size_t)written >= size - used) break;
    used += (size_t)written;
  }
  return used;
}

char *string_duplicate(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  char *copy = static_cast<char *>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, length + 1);
  return copy;
}

char *string_reallocate(char *text) {
  if (text == nullptr) return nullptr;
  char *copy = string_duplicate(text);
  if (copy == nullptr) return text;
  free(text);
  return copy;
}

void appendable_init(appendable *buffer, char *storage, uint64_t capacity) {
  buffer->buffer = storage;
  buffer->capacity = capacity;
  buffer->length = 0;
  // Without room for the terminator not even the empty text fits.
  buffer->state = capacity > 0 ? APPENDABLE_GOOD : APPENDABLE_TRUNCATED;
  if (capacity > 0) storage[0] = '\0';
}

void appendable_init_existing(appendable *buffer, char *storage, uint64_t capacity) {
  buffer->buffer = storage;
  buffer->capacity = capacity;
  buffer->length = capacity > 0 ? strnlen(storage, capacity - 1) : 0;
  buffer->state = capacity > 0 ? APPENDABLE_GOOD : APPENDABLE_TRUNCATED;
  if (capacity > 0) storage[buffer->length] = '\0';
}

bool appendable_vwrite(appendable *buffer, const char *format, va_list arguments) {
  if (buffer->state != APPENDABLE_GOOD) return false;
  // A buffer without room for even the terminator takes nothing.
  if (buffer->capacity == 0 || buffer->length >= buffer->capacity) {
    buffer->state = APPENDABLE_TRUNCATED;
    return false;
  }
  uint64_t room = buffer->capacity - buffer->length;
  int result = vsnprintf(buffer->buffer + buffer->length, room, format, arguments);
  if (result < 0) {
    buffer->buffer[buffer->length] = '\0';
    buffer->state = APPENDABLE_FORMAT_FAILED;
  } else if (buffer->length + (uint64_t)result >= buffer->capacity) {
    buffer->length = buffer->capacity - 1;
    buffer->state = APPENDABLE_TRUNCATED;
  } else {
    buffer->length += (uint64_t)result;
  }
  return buffer->state == APPENDABLE_GOOD;
}

bool appendable_write(appendable *buffer, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  bool result = appendable_vwrite(buffer, format, arguments);
  va_end(arguments);
  return result;
}

bool appendable_write_char(appendable *buffer, char character) {
  if (buffer->capacity == 0 || buffer->length >= buffer->capacity - 1) {
    buffer->state = APPENDABLE_TRUNCATED;
    return false;
  }
  buffer->buffer[buffer->length++] = character;
  buffer->buffer[buffer->length] = '\0';
  return buffer->state == APPENDABLE_GOOD;
}

bool appendable_truncate(appendable *buffer, char *position) {
  if (buffer->state != APPENDABLE_GOOD) return false;
  if (position == nullptr || position < buffer->buffer || position > buffer->buffer + buffer->length) {
    buffer->state = APPENDABLE_BAD_POSITION;
    return false;
  }
  buffer->length = (uint64_t)(position - buffer->buffer);
  *position = '\0';
  return true;
}
