// Socket helpers on Windows (Winsock 2.2).
#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>

#include "platform/platform_log.h"

static_assert(sizeof(socket_handle) == sizeof(SOCKET) && SOCKET_INVALID_HANDLE == INVALID_SOCKET,
              "socket_handle holds a SOCKET");

const int SOCKET_RECEIVE_TIMEOUT = SO_RCVTIMEO;
const int SOCKET_SEND_TIMEOUT = SO_SNDTIMEO;

namespace {

struct {
  std::atomic<bool> started{false};
} sockets_state;

// Winsock counts bytes in an int: longer buffers go in pieces.
constexpr size_t SOCKET_CHUNK_MAX = 0x40000000u;

int socket_chunk(size_t length) { return length > SOCKET_CHUNK_MAX ? (int)SOCKET_CHUNK_MAX : (int)length; }

}  // namespace

void sockets_initialize(JNIEnv *jni) {
  // Once per process, and the flag stays set after a failure: a second start-up would not fare better.
  if (sockets_state.started.exchange(true)) return;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    platform_log_error("%s (%s:%d)", "Failed to initialise socket library.", "sockets_initialize", 42);
  }
}

bool socket_set_non_blocking(socket_handle socket, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(socket, FIONBIO, &mode) == 0;
}

// Winsock takes the time-out as a DWORD of milliseconds, not as a timeval.
bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds) {
  DWORD value = milliseconds < 0 ? 0 : (DWORD)milliseconds;
  return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

int socket_get_error() { return WSAGetLastError(); }
bool socket_is_blocking_error(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }
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

bool socket_connect(socket_handle socket, const addrinfo *address) {
  return connect(socket, address->ai_addr, (int)address->ai_addrlen) == 0;
}

int socket_get_connect_error(socket_handle socket) {
  int pending = 0;
  int size = sizeof pending;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&pending), &size) != 0) {
    pending = WSAGetLastError();
  }
  return pending;
}

int64_t socket_send(socket_handle socket, const char *data, size_t length) {
  int result = send(socket, data, socket_chunk(length), 0);
  return result == SOCKET_ERROR ? -1 : result;
}

int64_t socket_receive(socket_handle socket, char *buffer, size_t size) {
  int result = recv(socket, buffer, socket_chunk(size), 0);
  return result == SOCKET_ERROR ? -1 : result;
}

int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  // A refused non-blocking connect shows in the exception set, not as writable; the caller then
  // reads the outcome with socket_get_connect_error.
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval timeout{};
  if (milliseconds > 0) {
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
  }
  int result = select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr,
                      for_writing ? &failed : nullptr, &timeout);
  if (result == SOCKET_ERROR) return -1;
  return result > 0 ? 1 : 0;
}
