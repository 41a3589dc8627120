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
