// Child process tracking and the executable check, shared by Unix-like systems.
//
// Children the agent starts from inside the JVM (helpers, the uploader fork) would stay zombies
// for the JVM's lifetime if nobody waited for them; the reaper thread collects them. The table
// has room for 128 children; more at once go to an overflow list on the heap, so that every child
// is reaped (only when even that list cannot grow is a child left untracked, and logged).
#include "platform/process.h"

#include <errno.h>
#include <stdlib.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/mutex.h"
#include "platform/platform_log.h"
#include "platform/proc_info.h"

namespace {

struct reaped_child {
  int32_t pid;
  pid_t result;
  int status;
  int error;
};

struct {
  agent_mutex lock;
  uint8_t active;
  int32_t children[PROC_MAX_TRACKED_CHILDREN];
  int32_t *overflow;  // malloc'd, the children beyond the table, unordered
  int overflow_count;
  int overflow_capacity;
} proc_reaper;

// With the lock held: the child goes to the overflow list; false when it cannot grow.
bool add_to_overflow(int32_t pid) {
  if (proc_reaper.overflow_count == proc_reaper.overflow_capacity) {
    int capacity = proc_reaper.overflow_capacity == 0 ? 16 : proc_reaper.overflow_capacity * 2;
    auto *grown = static_cast<int32_t *>(realloc(proc_reaper.overflow, sizeof(int32_t) * (size_t)capacity));
    if (grown == nullptr) return false;
    proc_reaper.overflow = grown;
    proc_reaper.overflow_capacity = capacity;
  }
  proc_reaper.overflow[proc_reaper.overflow_count++] = pid;
  return true;
}

// With the lock held: waits for pid without blocking; true (with the outcome) when it ended.
bool reap_one(int32_t pid, reaped_child *outcome) {
  int status = 0;
  pid_t result = waitpid(pid, &status, WNOHANG);
  if (result == 0) return false;
  *outcome = {pid, result, status, result == -1 ? errno : 0};
  return true;
}

void *proc_zombie_reaper_thread(void *) {
  proc_set_thread_name("vorkel-reaper");
  platform_log_debug("Child process tracking started.");
  for (;;) {
    proc_reap_children();
    timespec pause{5, 0};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
  return nullptr;
}

}  // namespace

bool proc_setup_child_tracking() {
  agent_mutex_guard guard(proc_reaper.lock);
  if (proc_reaper.active) return true;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, proc_zombie_reaper_thread, nullptr);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    platform_log_error("Failed to create child process tracking thread, error %d.", error);
    return false;
  }
  proc_reaper.active = 1;
  return true;
}

bool proc_register_child(int32_t pid) {
  agent_mutex_guard guard(proc_reaper.lock);
  if (!proc_reaper.active) {
    platform_log_warn("Child process %d not tracked since process tracker is not active. May leave a zombie process.",
                      pid);
    return false;
  }
  bool stored = false;
  int occupied = proc_reaper.overflow_count;
  for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
    if (!stored && proc_reaper.children[i] == 0) {
      proc_reaper.children[i] = pid;
      stored = true;
    }
    if (proc_reaper.children[i] != 0) ++occupied;
  }
  if (!stored && add_to_overflow(pid)) {
    stored = true;
    ++occupied;
  }
  if (stored) {
    platform_log_debug("Started child process %d. Now tracking %d processes.", pid, occupied);
    return true;
  }
  platform_log_warn(
      "Child process %d could not be registered, no memory to track more than %d processes. May leave a "
      "zombie process.",
      pid, occupied);
  return false;
}

void proc_reap_children() {
  // Outcomes are logged after the lock is given back; a pass that finds more than fit here
  // leaves the rest for the next pass.
  constexpr int MAX_REAPED = 2 * PROC_MAX_TRACKED_CHILDREN;
  reaped_child reaped[MAX_REAPED];
  int reaped_count = 0;
  int still_active = 0;
  {
    agent_mutex_guard guard(proc_reaper.lock);
    for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
      int32_t pid = proc_reaper.children[i];
      if (pid == 0) continue;
      if (reaped_count < MAX_REAPED && reap_one(pid, &reaped[reaped_count])) {
        ++reaped_count;
        proc_reaper.children[i] = 0;
      } else {
        ++still_active;
      }
    }
    for (int i = 0; i < proc_reaper.overflow_count;) {
      if (reaped_count < MAX_REAPED && reap_one(proc_reaper.overflow[i], &reaped[reaped_count])) {
        ++reaped_count;
        proc_reaper.overflow[i] = proc_reaper.overflow[--proc_reaper.overflow_count];
      } else {
        ++still_active;
        ++i;
      }
    }
  }
  for (int i = 0; i < reaped_count; ++i) {
    const reaped_child &child = reaped[i];
    if (child.result == child.pid) {
      if (WIFEXITED(child.status)) {
        int code = WEXITSTATUS(child.status);
        if (code != 0) {
          platform_log_warn("Child process %d finished with exit code %d.", child.pid, code);
        } else {
          platform_log_debug("Child process %d finished successfully with exit code 0.", child.pid);
        }
      } else if (WIFSIGNALED(child.status)) {
        platform_log_warn("Child process %d exited with signal %d.", child.pid, WTERMSIG(child.status));
      } else {
        platform_log_warn("Child process %d finished with status %d.", child.pid, child.status);
      }
    } else {
      platform_log_error("Waiting for child process %d yielded unexpected return value %d (error %d).", child.pid,
                         (int)child.result, child.error);
    }
  }
  if (reaped_count > 0) platform_log_debug("%d tracked processes still active.", still_active);
}

int proc_tracked_child_count() {
  agent_mutex_guard guard(proc_reaper.lock);
  int occupied = proc_reaper.overflow_count;
  for (int32_t pid : proc_reaper.children) occupied += pid != 0;
  return occupied;
}

bool proc_check_executable_permission(const char *path) {
  struct stat info {};
  if (path == nullptr || stat(path, &info) != 0) {
    int error = path == nullptr ? ENOENT : errno;
    if (error == ENOENT) {
      platform_log_error("Executable %s not found.", path != nullptr ? path : "(null)");
    } else if (error == EACCES) {
      platform_log_error("Executable %s path is not accessible.", path);
    } else {
      platform_log_error("Error %d while checking executable %s.", error, path);
    }
    return false;
  }
  uid_t user = getuid();
  gid_t group = getgid();
  mode_t bit;
  if (info.st_uid == user)
    bit = S_IXUSR;
  else if (info.st_gid == group)
    bit = S_IXGRP;
  else
    bit = S_IXOTH;
  if (info.st_mode & bit) return true;
  if (info.st_uid != user && user != 0) {
    platform_log_error("No executable permissions on %s.", path);
    return false;
  }
  if (chmod(path, (info.st_mode & 07777) | bit) == 0) return true;
  platform_log_error("Could not give executable permission to %s.", path);
  return false;
}

int proc_tracked_child_slot(int32_t pid) {
  agent_mutex_guard guard(proc_reaper.lock);
  for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
    if (proc_reaper.children[i] == pid) return i;
  }
  for (int i = 0; i < proc_reaper.overflow_count; ++i) {
    if (proc_reaper.overflow[i] == pid) return PROC_MAX_TRACKED_CHILDREN + i;
  }
  return -1;
}
