// Socket helpers for the HTTP client: one implementation per operating system (platform/unix/sockets.cpp,
// platform/win/sockets.cpp) beside the shared part (platform/sockets.cpp). The HTTP client makes no
// socket call of its own.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

struct addrinfo;

#ifdef _WIN32
// A Winsock SOCKET (an unsigned pointer-sized handle); the invalid one is INVALID_SOCKET.
using socket_handle = uintptr_t;
constexpr socket_handle SOCKET_INVALID_HANDLE = ~(socket_handle)0;
#else
using socket_handle = int;
constexpr socket_handle SOCKET_INVALID_HANDLE = -1;
#endif

// The socket-level time-out options for socket_set_timeout.
extern const int SOCKET_RECEIVE_TIMEOUT;
extern const int SOCKET_SEND_TIMEOUT;

void sockets_initialize(JNIEnv *jni);
bool socket_set_non_blocking(socket_handle socket, bool on);
bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds);
int socket_get_error();
bool socket_is_blocking_error(int code);
bool socket_is_interrupt_error(int code);
bool socket_is_timeout_error(int code);
void socket_close(socket_handle socket);

// The IPv4 stream addresses of host and port: 0, or the resolver's error code. The list is given
// back with socket_free_addresses.
int socket_resolve(const char *host, const char *port, addrinfo **addresses);
void socket_free_addresses(addrinfo *addresses);
const addrinfo *socket_next_address(const addrinfo *address);
// A stream socket for the address that child processes do not inherit; SOCKET_INVALID_HANDLE
// on failure (socket_get_error tells why).
socket_handle socket_open(const addrinfo *address);
// True when connected at once; otherwise socket_get_error tells why (a blocking error for a
// non-blocking connect that goes on).
bool socket_connect(socket_handle socket, const addrinfo *address);
// The outcome of a non-blocking connect once the socket is writable: 0 when it connected.
int socket_get_connect_error(socket_handle socket);
// Bytes sent or received, or -1 (socket_get_error tells why). A peer that went away does not end
// the process with a signal; 0 received means the peer closed.
int64_t socket_send(socket_handle socket, const char *data, size_t length);
int64_t socket_receive(socket_handle socket, char *buffer, size_t size);

// Waits until the socket can be read (or written, for a connect in progress) for at most the
// given milliseconds: 1 when ready, 0 on time-out, -1 on error (socket_get_error tells which).
int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds);
