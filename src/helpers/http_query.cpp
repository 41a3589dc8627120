#include "helpers/http_query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/hires_time.h"
#include "core/log.h"
#include "platform/sockets.h"
#include "base/string_util.h"

namespace {

constexpr size_t REQUEST_HEAD_SIZE = 1024;
constexpr size_t RECEIVE_CHUNK = 1024;
constexpr const char *SEND_TIMED_OUT = "Timeout when sending HTTP query.";
constexpr const char *RECEIVE_TIMED_OUT = "Timeout when reading HTTP query response.";

bool url_keeps(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~' || c == '(' || c == ')';
}

// Milliseconds left until a deadline taken from the high-resolution counter.
int64_t http_ms_left(uint64_t deadline) {
  uint64_t now = perfCounterCurrent();
  if (now >= deadline) return 0;
  uint64_t per_ms = perfCounterFrequencyMsec();
  if (per_ms == 0) per_ms = 1;
  uint64_t left = (deadline - now + per_ms - 1) / per_ms;
  return left > (uint64_t)INT32_MAX ? INT32_MAX : (int64_t)left;
}

uint64_t http_deadline(int32_t timeout_ms) {
  return perfCounterCurrent() + (uint64_t)(timeout_ms < 0 ? 0 : timeout_ms) * perfCounterFrequencyMsec();
}

// The body: "name=value" pairs joined by "&", in a buffer sized exactly from the encoded lengths.
char *http_build_body(const http_field *fields, size_t *length) {
  size_t count = 0;
  while (fields[count].name != nullptr) ++count;
  char **encoded = static_cast<char **>(calloc(count > 0 ? count : 1, sizeof(char *)));
  bool good = encoded != nullptr;
  size_t size = 1;
  for (size_t i = 0; good && i < count; ++i) {
    encoded[i] = url_encode(fields[i].value);
    if (encoded[i] == nullptr)
      good = false;
    else
      size += (i > 0 ? 1 : 0) + strlen(fields[i].name) + 1 + strlen(encoded[i]);
  }
  char *body = good ? static_cast<char *>(malloc(size)) : nullptr;
  if (body != nullptr) {
    appendable buffer;
    appendable_init(&buffer, body, size);
    for (size_t i = 0; i < count; ++i) {
      appendable_write(&buffer, "%s%s=%s", i > 0 ? "&" : "", fields[i].name, encoded[i]);
    }
    if (buffer.state != APPENDABLE_GOOD) {
      free(body);
      body = nullptr;
    } else {
      *length = buffer.length;
    }
  }
  if (encoded != nullptr) {
    for (size_t i = 0; i < count; ++i) free(encoded[i]);
    free(encoded);
  }
  if (body == nullptr) log_error_raw(nullptr, "Could not create POST content.");
  return body;
}

// Connects to the first address that accepts; -1 when none did.
socket_handle http_connect(const addrinfo *addresses, int32_t timeout_ms) {
  for (const addrinfo *address = addresses; address != nullptr; address = socket_next_address(address)) {
    socket_handle connection = socket_open(address);
    if (connection == SOCKET_INVALID_HANDLE) {
      log_debug(nullptr, "Socket connection failed (socket), error %d.", socket_get_error());
      continue;
    }
    if (!socket_set_timeout(connection, SOCKET_RECEIVE_TIMEOUT, timeout_ms)) {
      log_debug(nullptr, "Failed to set socket receive timeout.");
    }
    if (!socket_set_timeout(connection, SOCKET_SEND_TIMEOUT, timeout_ms))
      log_debug(nullptr, "Failed to set socket send timeout.");
    if (!socket_set_non_blocking(connection, true)) log_debug(nullptr, "Failed to set socket to non-blocking mode.");

    if (socket_connect(connection, address)) return connection;
    int error = socket_get_error();
    if (socket_is_blocking_error(error)) {
      uint64_t deadline = http_deadline(timeout_ms);
      int ready;
      do {
        ready = socket_wait(connection, true, (int32_t)http_ms_left(deadline));
        if (ready < 0) error = socket_get_error();
      } while (ready < 0 && socket_is_interrupt_error(error));
      if (ready > 0) {
        // Writable also means the attempt ended in failure: the socket's error tells which.
        int pending = socket_get_connect_error(connection);
        if (pending == 0) return connection;
        log_debug(nullptr, "Socket connection failed (connect), error %d.", pending);
      } else if (ready == 0) {
        log_debug(nullptr, "Socket connection timeout %d.", (int)timeout_ms);
      } else {
        log_debug(nullptr, "Socket connection failed (select), error %d.", error);
      }
    } else {
      log_debug(nullptr, "Socket connection failed (connect), error %d.", error);
    }
    socket_close(connection);
  }
  log_error_raw(nullptr, "%s (%s:%d)", "Failed to connect with any resolved address.", "http_open", 141);
  return SOCKET_INVALID_HANDLE;
}

// After a send or receive that failed with error: true when it was interrupted and is to be made
// again; otherwise logs the time-out or the failure ("<failed>, error N.") and returns false.
bool http_retry_after(int error, const char *timed_out, const char *failed) {
  if (socket_is_interrupt_error(error)) return true;
  if (socket_is_timeout_error(error))
    log_error_raw(nullptr, "%s", timed_out);
  else
    log_error_raw(nullptr, "%s, error %d.", failed, error);
  return false;
}

bool http_send(socket_handle connection, const char *request, size_t length, int32_t timeout_ms) {
  // One send normally takes the whole request; a large body may go out in parts, all within the
  // time-out. Each part may wait only for what is left of it: a peer that stops reading would
  // otherwise hold every part for the whole time-out.
  uint64_t deadline = http_deadline(timeout_ms);
  size_t sent = 0;
  while (sent < length) {
    if (sent > 0) {
      // A time-out of 0 would mean none at all.
      int64_t left = http_ms_left(deadline);
      socket_set_timeout(connection, SOCKET_SEND_TIMEOUT, left > 0 ? (int32_t)left : 1);
    }
    int64_t result = socket_send(connection, request + sent, length - sent);
    if (result < 0) {
      if (http_retry_after(socket_get_error(), SEND_TIMED_OUT, "Sending HTTP query failed (send)")) continue;
      return false;
    }
    sent += (size_t)result;
    if (sent < length && http_ms_left(deadline) == 0) {
      log_error_raw(nullptr, "%s", SEND_TIMED_OUT);
      return false;
    }
  }
  return true;
}

// Reads until the server closes. The whole answer must arrive within the time-out and within
// HTTP_MAX_RESPONSE_BYTES, so a server that never stops talking cannot hold the caller.
bool http_receive(socket_handle connection, int32_t timeout_ms, http_answer *answer) {
  uint64_t deadline = http_deadline(timeout_ms);
  char chunk[RECEIVE_CHUNK];
  for (;;) {
    int64_t left = http_ms_left(deadline);
    int ready = left > 0 ? socket_wait(connection, false, (int32_t)left) : 0;
    int64_t received = -1;
    int error = 0;
    if (ready > 0) {
      received = socket_receive(connection, chunk, sizeof chunk);
      if (received < 0) error = socket_get_error();
    } else if (ready < 0) {
      error = socket_get_error();
    }
    if (ready == 0) {
      log_error_raw(nullptr, "%s", RECEIVE_TIMED_OUT);
      return false;
    }
    if (received < 0) {
      if (http_retry_after(error, RECEIVE_TIMED_OUT, "Reading HTTP response failed (recv)")) continue;
      return false;
    }
    if (received == 0) return true;
    if (!http_answer_feed(answer, chunk, (size_t)received)) {
      log_error_raw(nullptr, "HTTP response longer than %d bytes, giving up.", (int)HTTP_MAX_RESPONSE_BYTES);
      return false;
    }
  }
}

}  // namespace

void http_answer_init(http_answer *answer) {
  answer->status[0] = '\0';
  answer->status_length = 0;
  answer->status_ended = false;
  answer->total = 0;
}

bool http_answer_feed(http_answer *answer, const char *bytes, size_t count) {
  for (size_t i = 0; i < count && !answer->status_ended; ++i) {
    unsigned char c = (unsigned char)bytes[i];
    if (c == '\r') {
      answer->status_ended = true;
    } else if (answer->status_length < sizeof answer->status - 1) {
      answer->status[answer->status_length++] = (c < 32 || c >= 127) ? '?' : (char)c;
    }
  }
  if (answer->total > HTTP_MAX_RESPONSE_BYTES || count > HTTP_MAX_RESPONSE_BYTES - answer->total) {
    answer->total = HTTP_MAX_RESPONSE_BYTES + 1;
    return false;
  }
  answer->total += count;
  return true;
}

bool http_answer_finish(http_answer *answer) {
  // Without a line end there is no status line.
  if (!answer->status_ended) answer->status_length = 0;
  answer->status[answer->status_length] = '\0';
  return strstr(answer->status, " 200 ") != nullptr;
}

bool http_valid_host_name(const char *host) {
  if (host == nullptr || host[0] == '\0' || strlen(host) >= sizeof(http_host{}.host)) return false;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(host); *p != '\0'; ++p) {
    if (*p <= ' ' || *p >= 127) return false;
  }
  return true;
}

char *url_encode(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  size_t size = length * 3 + 1;
  char *encoded = static_cast<char *>(malloc(size));
  if (encoded == nullptr) {
    log_error_raw(nullptr, "Failed to allocate buffer of size %d for url_encode.", (int)size);
    return nullptr;
  }
  static const char digits[] = "0123456789abcdef";
  char *out = encoded;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
    if (url_keeps(*p)) {
      *out++ = (char)*p;
    } else if (*p == ' ') {
      *out++ = '+';
    } else {
      *out++ = '%';
      *out++ = digits[*p >> 4];
      *out++ = digits[*p & 15];
    }
  }
  *out = '\0';
  return encoded;
}

bool http_save_parameters(const char *path, const http_field *fields) {
  FILE *file = path != nullptr ? fopen(path, "w") : nullptr;
  if (file == nullptr) {
    log_error_raw(nullptr, "Failed to open parameters file for writing.");
    return false;
  }
  bool written = true;
  for (const http_field *field = fields; field != nullptr && field->name != nullptr; ++field) {
    char *encoded = url_encode(field->value);
    if (encoded == nullptr) {
      log_error_raw(nullptr, "Failed to encode parameter when writing parameters file.");
      fclose(file);
      return false;
    }
    if (fprintf(file, "%s=%s\n", field->name, encoded) < 0) written = false;
    free(encoded);
  }
  // A full disk shows at the latest when the buffered lines go out.
  if (fclose(file) != 0) written = false;
  if (!written) log_error_raw(nullptr, "Failed to write parameters file %s.", path);
  return written;
}

void http_init_host(http_host *record, const char *host, const char *port) {
  safe_strncpy(record->host, host, sizeof record->host);
  record->port = port != nullptr ? (int32_t)strtol(port, nullptr, 10) : 0;
}

bool http_parse_port(const char *text, int32_t *port) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return false;
  *port = (int32_t)value;
  return true;
}

char *http_build_request(const char *host_name, const char *path, const http_field *main_fields,
                         const http_field *extra_fields, size_t *length) {
  // The name goes into the Host line as it is: a line end in it would start a header of its own.
  if (!http_valid_host_name(host_name)) {
    log_error_raw(nullptr, "Invalid host name for HTTP query.");
    return nullptr;
  }
  char *body = nullptr;
  size_t body_length = 0;
  if (extra_fields != nullptr) {
    body = http_build_body(extra_fields, &body_length);
    if (body == nullptr) return nullptr;
  }
  size_t size = REQUEST_HEAD_SIZE + body_length;
  char *request = static_cast<char *>(malloc(size + 1));
  if (request == nullptr) {
    log_error_raw(nullptr, "Could not allocate HTTP query buffer.");
    free(body);
    return nullptr;
  }
  appendable buffer;
  appendable_init(&buffer, request, size + 1);
  appendable_write(&buffer, "POST %s", path);
  bool encoded_all = true;
  for (const http_field *field = main_fields; field != nullptr && field->name != nullptr; ++field) {
    char *encoded = url_encode(field->value);
    if (encoded == nullptr) {
      encoded_all = false;
      break;
    }
    appendable_write(&buffer, "%s%s=%s", field == main_fields ? "?" : "&", field->name, encoded);
    free(encoded);
  }
  appendable_write(&buffer,
                   " HTTP/1.1\r\nHost: %s\r\nContent-Length: %d\r\nContent-Type: "
                   "application/x-www-form-urlencoded\r\nConnection: Close\r\n\r\n",
                   host_name, (int)body_length);
  // The head has its 1024 bytes; the body its exact length.
  if (encoded_all && buffer.state == APPENDABLE_GOOD && buffer.length >= REQUEST_HEAD_SIZE) {
    buffer.state = APPENDABLE_TRUNCATED;
  }
  if (encoded_all && body != nullptr) appendable_write(&buffer, "%s", body);
  free(body);
  if (!encoded_all) {
    free(request);
    return nullptr;
  }
  if (buffer.state != APPENDABLE_GOOD) {
    log_error_raw(nullptr, "Building HTTP query string failed with error: %d.", (int)buffer.state);
    free(request);
    return nullptr;
  }
  *length = buffer.length;
  return request;
}

bool http_exchange(const addrinfo *addresses, const char *request, size_t length, int32_t timeout_ms) {
  socket_handle connection = http_connect(addresses, timeout_ms);
  if (connection == SOCKET_INVALID_HANDLE) return false;
  if (!socket_set_non_blocking(connection, false)) log_debug(nullptr, "Failed to set socket to blocking mode.");
  bool success = false;
  http_answer answer;
  http_answer_init(&answer);
  if (http_send(connection, request, length, timeout_ms) && http_receive(connection, timeout_ms, &answer)) {
    success = http_answer_finish(&answer);
    if (!success) log_error_raw(nullptr, "Non-success response: %s", answer.status);
  }
  socket_close(connection);
  return success;
}

bool http_execute_post(const http_host *host, const char *path, const http_field *main_fields,
                       const http_field *extra_fields, int32_t timeout_ms) {
  size_t length = 0;
  char *request = http_build_request(host->host, path, main_fields, extra_fields, &length);
  if (request == nullptr) return false;

  char port[16];
  xsnprintf(port, sizeof port, "%d", (int)host->port);
  addrinfo *addresses = nullptr;
  int error = socket_resolve(host->host, port, &addresses);
  if (error != 0) {
    log_error_raw(nullptr, "getaddrinfo failed with error %d. (%s:%d)", error, "http_open", 126);
    free(request);
    return false;
  }
  bool success = http_exchange(addresses, request, length, timeout_ms);
  socket_free_addresses(addresses);
  free(request);
  return success;
}
