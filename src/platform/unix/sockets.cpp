// Socket helpers on POSIX systems.
#include "platform/sockets.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

const int SOCKET_RECEIVE_TIMEOUT = SO_RCVTIMEO;
const int SOCKET_SEND_TIMEOUT = SO_SNDTIMEO;

void sockets_initialize(JNIEnv *jni) {}

bool socket_set_non_blocking(socket_handle socket, bool on) {
  int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(socket, F_SETFL, flags) == 0;
}

bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds) {
  timeval value{};
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(socket, SOL_SOCKET, option, &value, sizeof value) == 0;
}

int socket_get_error() { return errno; }
bool socket_is_blocking_error(int code) { return code == EINPROGRESS; }
bool socket_is_interrupt_error(int code) { return code == EINTR; }
// A receive or send time-out set with SO_RCVTIMEO/SO_SNDTIMEO ends the call with EAGAIN.
bool socket_is_timeout_error(int code) { return code == ETIMEDOUT || code == EAGAIN || code == EWOULDBLOCK; }
void socket_close(socket_handle socket) {
  if (socket >= 0) close(socket);
}

socket_handle socket_open(const addrinfo *address) {
#ifdef SOCK_CLOEXEC
  return socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
#else
  socket_handle handle = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (handle >= 0) fcntl(handle, F_SETFD, FD_CLOEXEC);
  return handle;
#endif
}

bool socket_connect(socket_handle socket, const addrinfo *address) {
  return connect(socket, address->ai_addr, address->ai_addrlen) == 0;
}

int socket_get_connect_error(socket_handle socket) {
  int pending = 0;
  socklen_t size = sizeof pending;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
  return pending;
}

int64_t socket_send(socket_handle socket, const char *data, size_t length) {
#ifdef MSG_NOSIGNAL
  constexpr int flags = MSG_NOSIGNAL;
#else
  constexpr int flags = 0;  // the platform keeps SIGPIPE away by a socket option instead
#endif
  return (int64_t)send(socket, data, length, flags);
}

int64_t socket_receive(socket_handle socket, char *buffer, size_t size) {
  return (int64_t)recv(socket, buffer, size, 0);
}

int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds) {
  pollfd fd{socket, (short)(for_writing ? POLLOUT : POLLIN), 0};
  int result = poll(&fd, 1, milliseconds < 0 ? 0 : milliseconds);
  return result > 0 ? 1 : result;
}
