// The HTTP client of the helper processes: one POST over a fresh TCP connection per message, and
// the parameters file that keeps a message that could not be sent.
#pragma once

#include <cstddef>
#include <cstdint>

struct addrinfo;

struct http_host {
  char host[256];
  int32_t port;
};

// A field list is an array of these ended by an entry whose name is null. Values are URL-encoded
// when sent or saved; names are used as they are.
struct http_field {
  const char *name;
  const char *value;
};

// A new text (freed by the caller) of letters, digits and "-_.~()" as they are, "+" for a space
// and "%xx" (lowercase) for every other byte; null when memory is short or text is null.
char *url_encode(const char *text);

// Writes one "name=encoded value" line per field, replacing the file.
bool http_save_parameters(const char *path, const http_field *fields);

void http_init_host(http_host *record, const char *host, const char *port);
// A port given as text: decimal digits only, 1 to 65535.
bool http_parse_port(const char *text, int32_t *port);

// POSTs path with the main fields in the query string and the extra fields (or none) as a
// form-encoded body. True only when the server's status line contains " 200 ". The time-out
// bounds the connect to each address, the send, and the whole wait for the answer.
bool http_execute_post(const http_host *host, const char *path, const http_field *main_fields,
                       const http_field *extra_fields, int32_t timeout_ms);

// The request text exactly as it is sent; null (after logging why) when it cannot be built.
// *length receives its length. Freed by the caller.
char *http_build_request(const char *host_name, const char *path, const http_field *main_fields,
                         const http_field *extra_fields, size_t *length);

// The exchange over an already resolved address list, tried in order: connect, send the request,
// read the answer. Used by http_execute_post after resolving; callers with a list of their own
// (a test that controls the order of addresses) use it directly.
bool http_exchange(const addrinfo *addresses, const char *request, size_t length, int32_t timeout_ms);

// An answer is read only this far; a server that sends more without closing is cut off.
constexpr size_t HTTP_MAX_RESPONSE_BYTES = 1024 * 1024;
constexpr size_t HTTP_STATUS_LINE_SIZE = 256;

// A server's answer as it arrives, in pieces of any size: keeps the status line (the text before
// the first carriage return, at most 255 characters, other bytes than printable ASCII as "?") and
// counts the bytes.
struct http_answer {
  char status[HTTP_STATUS_LINE_SIZE];
  size_t status_length;
  bool status_ended;
  size_t total;
};

void http_answer_init(http_answer *answer);
// False once the answer has grown beyond HTTP_MAX_RESPONSE_BYTES.
bool http_answer_feed(http_answer *answer, const char *bytes, size_t count);
// Ends the answer: the status line is terminated (empty without a line end). True when it
// contains " 200 ".
bool http_answer_finish(http_answer *answer);

// A host name that can go into the request's Host line as it is: not empty, shorter than
// http_host's name, and no control character, space or byte above 126.
bool http_valid_host_name(const char *host);
