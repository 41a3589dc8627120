// Socket helpers on Windows (Winsock 2.2).
#include "sockets.h"

#include <atomic>

#include "log.h"

namespace {
struct {
  std::atomic<bool> started{false};
} sockets_state;
}  // namespace

void sockets_initialize(JNIEnv *jni) {
  // Once per process, and the flag stays set after a failure: a second start-up would not fare better.
  if (sockets_state.started.exchange(true)) return;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    log_error_raw(jni, "%s (%s:%d)", "Failed to initialise socket library.", "sockets_initialize", 42);
  }
}

bool socket_set_non_blocking(socket_handle socket, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(socket, FIONBIO, &mode) == 0;
}

bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds) {
  DWORD value = milliseconds < 0 ? 0 : (DWORD)milliseconds;
  return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

int socket_get_error() { return WSAGetLastError(); }
bool socket_is_blocking_error(int code) { return code == WSAEWOULDBLOCK; }
bool socket_is_interrupt_error(int code) { return code == WSAEINTR; }
bool socket_is_timeout_error(int code) { return code == WSAETIMEDOUT; }

void socket_close(socket_handle socket) {
  if (socket != INVALID_SOCKET) closesocket(socket);
}

socket_handle socket_open(const addrinfo *address) {
  // WSA_FLAG_NO_HANDLE_INHERIT keeps the socket out of the helpers and forks this process starts.
  return WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool socket_get_pending_error(socket_handle socket, int *error) {
  int size = sizeof *error;
  return getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(error), &size) == 0;
}

int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  // A refused non-blocking connect shows in the exception set, not as writable.
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval timeout{};
  if (milliseconds > 0) {
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
  }
  int result = select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr, for_writing ? &failed : nullptr,
                      &timeout);
  if (result == SOCKET_ERROR) return -1;
  return result > 0 ? 1 : 0;
}

int64_t socket_send(socket_handle socket, const char *data, size_t length) {
  int chunk = length > 0x40000000u ? 0x40000000 : (int)length;
  int result = send(socket, data, chunk, 0);
  return result == SOCKET_ERROR ? -1 : result;
}

int64_t socket_receive(socket_handle socket, char *buffer, size_t size) {
  int chunk = size > 0x40000000u ? 0x40000000 : (int)size;
  int result = recv(socket, buffer, chunk, 0);
  return result == SOCKET_ERROR ? -1 : result;
}
