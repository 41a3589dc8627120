#include "platform/platform_log.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<platform_log_sink> sink{nullptr};

void platform_log_at(int level, const char *format, va_list arguments) {
  platform_log_sink current = sink.load(std::memory_order_acquire);
  if (current != nullptr) {
    current(level, format, arguments);
  } else if (level == PLATFORM_LOG_ERROR) {
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
  }
}

}  // namespace

void platform_set_log_sink(platform_log_sink new_sink) { sink.store(new_sink, std::memory_order_release); }

void platform_log_debug(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform_log_at(PLATFORM_LOG_DEBUG, format, arguments);
  va_end(arguments);
}

void platform_log_warn(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform_log_at(PLATFORM_LOG_WARN, format, arguments);
  va_end(arguments);
}

void platform_log_error(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform_log_at(PLATFORM_LOG_ERROR, format, arguments);
  va_end(arguments);
}
