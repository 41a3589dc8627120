// Small helpers shared by every module.
#pragma once

#include <cstddef>
#include <cstdint>

// Symbols the JVM or the Java half look up by name. Everything else stays hidden.
#ifdef _WIN32
#define VORKEL_EXPORT extern "C" __declspec(dllexport)
#else
#define VORKEL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The name of the enclosing function, used in error messages ending in "(%s:%d)".
#define VORKEL_HERE __func__

uint64_t u64_min(uint64_t a, uint64_t b);
uint64_t u64_max(uint64_t a, uint64_t b);

template <typename T, size_t N>
constexpr size_t countof(const T (&)[N]) {
  return N;
}
