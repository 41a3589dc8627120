// Messages of the platform layer. It sits below the agent's log, so it reports through a sink
// that the log installs when it is loaded (core/log.cpp); without one, errors go to standard error.
#pragma once

#include <cstdarg>

// The levels of the agent's log (core/log.h uses the same numbers).
enum platform_log_level : int {
  PLATFORM_LOG_DEBUG = 0,
  PLATFORM_LOG_INFO = 1,
  PLATFORM_LOG_WARN = 2,
  PLATFORM_LOG_ERROR = 3
};

using platform_log_sink = void (*)(int level, const char *format, va_list arguments);
void platform_set_log_sink(platform_log_sink sink);

void platform_log_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
void platform_log_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
void platform_log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
