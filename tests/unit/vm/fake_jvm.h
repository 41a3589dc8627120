// A stand-in for the JVM library in unit tests: the serviceability exports (set by the tests) and
// five metadata classes whose virtual tables exist only in the full symbol table.
#pragma once

#include <cstdint>

#ifdef _WIN32
// Imported by the tests: the address of a function is then its own in the library, not a stub in
// the test program (the hint must lie in the library).
#ifdef FAKE_JVM_BUILDING
#define FAKE_JVM_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_JVM_EXPORT extern "C" __declspec(dllimport)
#endif
#else
#define FAKE_JVM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The library's own serviceability exports, by name (null for other names). The tests go through
// this rather than referring to the variables, which would move them into the test program.
FAKE_JVM_EXPORT uint64_t *fake_jvm_export(const char *name);

// Gives every layout variable the value of the standard 64-bit entry layout.
FAKE_JVM_EXPORT void fake_jvm_reset_layout();
// A function inside the library, to serve as the hint that finds it.
FAKE_JVM_EXPORT int fake_jvm_allocate(void *env, long size, unsigned char **memory);
// What an object of the class points at: 0 InstanceKlass, 1 InstanceMirrorKlass, 2 InstanceRefKlass,
// 3 InstanceClassLoaderKlass, 4 ConstantPool.
FAKE_JVM_EXPORT uint64_t fake_jvm_vtable_pointer(int kind);
