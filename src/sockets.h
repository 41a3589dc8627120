// Socket helpers for the HTTP client: one implementation per operating system.
#pragma once

#include <jni.h>

#include <cstdint>

using socket_handle = int;

void sockets_initialize(JNIEnv *jni);
bool socket_set_non_blocking(socket_handle socket, bool on);
bool socket_set_timeout(socket_handle socket, int option, int32_t milliseconds);
int socket_get_error();
bool socket_is_blocking_error(int code);
bool socket_is_interrupt_error(int code);
bool socket_is_timeout_error(int code);
void socket_close(socket_handle socket);

// Waits until the socket can be read (or written, for a connect in progress) for at most the
// given milliseconds: 1 when ready, 0 on time-out, -1 on error (socket_get_error tells which).
int socket_wait(socket_handle socket, bool for_writing, int32_t milliseconds);
// The flags for send: a peer that went away must not end the process with a signal.
int socket_send_flags();
