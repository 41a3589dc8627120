// Threads, thread-local slots and processes: one implementation per operating system.
#pragma once

#include <cstddef>
#include <cstdint>

using thread_local_key = uint64_t;

uint32_t getCurrentThreadId();
thread_local_key thread_local_initialise();
void *thread_local_get(thread_local_key key);
bool thread_local_set(thread_local_key key, void *value);
// Names the calling thread for debuggers and thread listings (cut to what the system keeps).
void proc_set_thread_name(const char *name);

int32_t process_get_id();
bool process_get_cwd(char *buffer, size_t size);
bool process_get_module_path(char *buffer, size_t size, const void *address);
// Starts the program at path with a null-terminated argument list (its first entry is the
// child's argv[0]) in a process group of its own, with this process's environment and, when
// given, the "NAME=value" entries of the null-terminated list variables in place of same-named
// ones. The environment of this process is never changed: other threads may read it meanwhile.
bool create_process(const char *path, char *const arguments[], int32_t *pid, const char *const *variables = nullptr);
bool proc_pre_initialise();
