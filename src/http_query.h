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
