// The reader of the collector's answer, as the notify helper and the exit monitor use it. The
// first byte chooses the sizes of the pieces the answer arrives in; the rest is the answer. Fed
// whole or in pieces it must give the same status line and verdict; the status line is the
// answer's text before the first carriage return, cut to 255 characters, unprintable bytes as
// "?", and empty without a carriage return. Past the size limit the answer is refused.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helpers/http_query.h"

namespace {

// A failed check names itself on standard error (shown when the input is run again by hand).
void fail(const char *condition, int line) {
  fprintf(stderr, "check failed at line %d: %s\n", line, condition);
  abort();
}
#define check(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

bool printable(unsigned char c) { return c >= 32 && c < 127; }

char filler[HTTP_MAX_RESPONSE_BYTES];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t piece = data[0] % 31 + 1;
  const char *text = reinterpret_cast<const char *>(data + 1);
  size -= 1;

  http_answer whole;
  http_answer_init(&whole);
  check(http_answer_feed(&whole, text, size));
  bool success = http_answer_finish(&whole);

  http_answer pieces;
  http_answer_init(&pieces);
  for (size_t at = 0; at < size;) {
    size_t count = piece < size - at ? piece : size - at;
    check(http_answer_feed(&pieces, text + at, count));
    at += count;
    piece = piece * 7 % 31 + 1;
  }
  check(pieces.total == size);
  check(http_answer_finish(&pieces) == success);
  check(strcmp(whole.status, pieces.status) == 0);

  size_t length = strlen(whole.status);
  check(length < HTTP_STATUS_LINE_SIZE);
  const char *line_end = static_cast<const char *>(memchr(text, '\r', size));
  if (line_end == nullptr) {
    check(length == 0 && !success);
    return 0;
  }
  size_t line = (size_t)(line_end - text);
  check(length == (line < HTTP_STATUS_LINE_SIZE - 1 ? line : HTTP_STATUS_LINE_SIZE - 1));
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)text[i];
    check(whole.status[i] == (printable(c) ? (char)c : '?'));
  }
  if (success) check(strstr(whole.status, "200") != nullptr);

  // More of the answer up to the limit is taken and leaves the status line alone; one byte more is refused.
  check(http_answer_feed(&pieces, filler, HTTP_MAX_RESPONSE_BYTES - size));
  check(!http_answer_feed(&pieces, "x", 1));
  check(!http_answer_feed(&pieces, "", 0));
  check(strcmp(whole.status, pieces.status) == 0);
  return 0;
}
