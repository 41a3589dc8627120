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
