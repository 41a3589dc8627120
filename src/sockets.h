// Socket helpers for the HTTP client: one implementation per operating system.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using socket_handle = SOCKET;
constexpr socket_handle SOCKET_INVALID = INVALID_SOCKET;
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
using socket_handle = int;
constexpr socket_handle SOCKET_INVALID = -1;
#endif

void sockets_initialize(JNIEnv *jni);
bool socket_set_non_blocking(socket_handle socket, bool on);
bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds);
int socket_get_error();
bool socket_is_blocking_error(int code);
bool socket_is_interrupt_error(int code);
bool socket_is_timeout_error(int code);
void socket_close(socket_handle socket);

// A stream socket for the resolved address, not inherited by child processes; SOCKET_INVALID on
// failure (socket_get_error tells why).
socket_handle socket_open(const addrinfo *address);
// The outcome of a connect that was in progress: true and *error (0 = connected) when it could be read.
bool socket_get_pending_error(socket_handle socket, int *error);
// Waits until the socket can be read (or written, for a connect in progress) for at most the
// given milliseconds: 1 when ready, 0 on time-out, -1 on error (socket_get_error tells which).
int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds);
// One send or receive call: the bytes moved, or -1 (socket_get_error tells why). A peer that went
// away never ends the process with a signal.
int64_t socket_send(socket_handle socket, const char *data, size_t length);
int64_t socket_receive(socket_handle socket, char *buffer, size_t size);
