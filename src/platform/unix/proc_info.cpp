// Threads, thread-local slots and processes on POSIX systems.
#include "platform/proc_info.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform_log.h"
#include "platform/process.h"
#include "base/string_util.h"
#include "platform/unix/unix_os.h"

extern char **environ;

namespace {
struct {
  pthread_once_t key_once = PTHREAD_ONCE_INIT;
  pthread_key_t thread_specific_key;
  std::atomic<uint32_t> next_id{1};
} thread_numbers;

void thread_numbers_make_key() { pthread_key_create(&thread_numbers.thread_specific_key, nullptr); }
}  // namespace

uint32_t getCurrentThreadId() {
  pthread_once(&thread_numbers.key_once, thread_numbers_make_key);
  uintptr_t stored = (uintptr_t)pthread_getspecific(thread_numbers.thread_specific_key);
  if (stored != 0) return (uint32_t)stored;
  uint32_t id = thread_numbers.next_id.fetch_add(1);
  if (id == 0) id = thread_numbers.next_id.fetch_add(1);  // 0 is never handed out
  pthread_setspecific(thread_numbers.thread_specific_key, (void *)(uintptr_t)id);
  return id;
}

thread_local_key thread_local_initialise() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) != 0) {
    platform_log_error("Failed to create thread-local slot.");
    return (thread_local_key)-1;
  }
  return (thread_local_key)key;
}

void *thread_local_get(thread_local_key key) { return pthread_getspecific((pthread_key_t)key); }

bool thread_local_set(thread_local_key key, void *value) { return pthread_setspecific((pthread_key_t)key, value) == 0; }

int32_t process_get_id() { return (int32_t)getpid(); }

bool process_get_cwd(char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  return getcwd(buffer, size) != nullptr;
}

bool process_get_module_path(char *buffer, size_t size, const void *address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    platform_log_error("Failed to find module path.");
    return false;
  }
  char main_program[4096];
  if (unix_os_main_program_file(info.dli_fbase, main_program, sizeof main_program)) {
    if (main_program[0] == '\0') {
      platform_log_error("Failed to find module path.");
      return false;
    }
    return xsnprintf(buffer, size, "%s", main_program) < (int)size;
  }
  return xsnprintf(buffer, size, "%s", info.dli_fname) < (int)size;
}

namespace {

// Whether the environment entry ("NAME=value") has the name of the entry variable.
bool same_name(const char *entry, const char *variable) {
  const char *equals = strchr(variable, '=');
  size_t length = equals != nullptr ? (size_t)(equals - variable) : strlen(variable);
  return strncmp(entry, variable, length) == 0 && entry[length] == '=';
}

// This process's environment with variables in place of the same-named entries: an array of
// borrowed strings, malloc'd (null when memory is short).
char **environment_with(const char *const *variables) {
  size_t count = 0, added = 0;
  while (environ != nullptr && environ[count] != nullptr) ++count;
  while (variables[added] != nullptr) ++added;
  auto **entries = static_cast<char **>(malloc((count + added + 1) * sizeof(char *)));
  if (entries == nullptr) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    bool replaced = false;
    for (size_t j = 0; j < added && !replaced; ++j) replaced = same_name(environ[i], variables[j]);
    if (!replaced) entries[at++] = environ[i];
  }
  for (size_t j = 0; j < added; ++j) entries[at++] = const_cast<char *>(variables[j]);
  entries[at] = nullptr;
  return entries;
}

}  // namespace

bool create_process(const char *path, char *const arguments[], int32_t *pid, const char *const *variables) {
  if (path == nullptr || arguments == nullptr || arguments[0] == nullptr) return false;
  if (!proc_check_executable_permission(path)) return false;
  char **environment = environ;
  if (variables != nullptr) {
    environment = environment_with(variables);
    if (environment == nullptr) {
      platform_log_error("Creating process failed: no memory for its environment.");
      return false;
    }
  }
  // The child gets the standard three descriptors and none of the others: the JVM opens files
  // and sockets without close-on-exec, and a child holding a listening socket or a file would
  // keep it alive after the JVM has ended.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    platform_log_error("Creating process failed (posix_spawn_file_actions_init).");
    if (environment != environ) free(environment);
    return false;
  }
  // A child that inherits some descriptors is better than a notification or an upload lost.
  if (!unix_os_spawn_closes_descriptors_above_standard(&actions))
    platform_log_warn("Not every inherited descriptor can be closed in the child process.");
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t child = 0;
  int error = posix_spawn(&child, path, &actions, &attributes, arguments, environment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (environment != environ) free(environment);
  if (error != 0) {
    platform_log_error("Creating process failed (posix_spawn), error %d", error);
    return false;
  }
  if (pid != nullptr) *pid = (int32_t)child;
  proc_register_child((int32_t)child);
  return true;
}

bool proc_pre_initialise() { return proc_setup_child_tracking(); }
