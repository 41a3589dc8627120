// Child process tracking and the executable check, shared by Unix-like systems.
//
// Children the agent starts from inside the JVM (helpers, the uploader fork) would stay zombies
// for the JVM's lifetime if nobody waited for them; the reaper thread collects them.
#include "platform/process.h"

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/agent_locks.h"
#include "core/log.h"
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
} proc_reaper;

void *proc_zombie_reaper_thread(void *) {
  proc_set_thread_name("vorkel-reaper");
  log_debug(nullptr, "Child process tracking started.");
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
    log_error_raw(nullptr, "Failed to create child process tracking thread, error %d.", error);
    return false;
  }
  proc_reaper.active = 1;
  return true;
}

bool proc_register_child(int32_t pid) {
  agent_mutex_guard guard(proc_reaper.lock);
  if (!proc_reaper.active) {
    log_warn(nullptr, "Child process %d not tracked since process tracker is not active. May leave a zombie process.",
             pid);
    return false;
  }
  bool stored = false;
  int occupied = 0;
  for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
    if (!stored && proc_reaper.children[i] == 0) {
      proc_reaper.children[i] = pid;
      stored = true;
    }
    if (proc_reaper.children[i] != 0) ++occupied;
  }
  if (stored) {
    log_debug(nullptr, "Started child process %d. Now tracking %d processes.", pid, occupied);
    return true;
  }
  log_warn(nullptr,
           "Child process %d could not be registered, maximum %d tracked processes reached. May leave a zombie "
           "process.",
           pid, PROC_MAX_TRACKED_CHILDREN);
  return false;
}

void proc_reap_children() {
  reaped_child reaped[PROC_MAX_TRACKED_CHILDREN];
  int reaped_count = 0;
  int still_active = 0;
  {
    agent_mutex_guard guard(proc_reaper.lock);
    for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
      int32_t pid = proc_reaper.children[i];
      if (pid == 0) continue;
      int status = 0;
      pid_t result = waitpid(pid, &status, WNOHANG);
      if (result == 0) {
        ++still_active;
        continue;
      }
      reaped[reaped_count++] = {pid, result, status, result == -1 ? errno : 0};
      proc_reaper.children[i] = 0;
    }
  }
  for (int i = 0; i < reaped_count; ++i) {
    const reaped_child &child = reaped[i];
    if (child.result == child.pid) {
      if (WIFEXITED(child.status)) {
        int code = WEXITSTATUS(child.status);
        if (code != 0) {
          log_warn(nullptr, "Child process %d finished with exit code %d.", child.pid, code);
        } else {
          log_debug(nullptr, "Child process %d finished successfully with exit code 0.", child.pid);
        }
      } else if (WIFSIGNALED(child.status)) {
        log_warn(nullptr, "Child process %d exited with signal %d.", child.pid, WTERMSIG(child.status));
      } else {
        log_warn(nullptr, "Child process %d finished with status %d.", child.pid, child.status);
      }
    } else {
      log_error_raw(nullptr, "Waiting for child process %d yielded unexpected return value %d (error %d).", child.pid,
                    (int)child.result, child.error);
    }
  }
  if (reaped_count > 0) log_debug(nullptr, "%d tracked processes still active.", still_active);
}

int proc_tracked_child_count() {
  agent_mutex_guard guard(proc_reaper.lock);
  int occupied = 0;
  for (int32_t pid : proc_reaper.children) occupied += pid != 0;
  return occupied;
}

bool proc_check_executable_permission(const char *path) {
  struct stat info {};
  if (path == nullptr || stat(path, &info) != 0) {
    int error = path == nullptr ? ENOENT : errno;
    if (error == ENOENT) {
      log_error_raw(nullptr, "Executable %s not found.", path != nullptr ? path : "(null)");
    } else if (error == EACCES) {
      log_error_raw(nullptr, "Executable %s path is not accessible.", path);
    } else {
      log_error_raw(nullptr, "Error %d while checking executable %s.", error, path);
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
    log_error_raw(nullptr, "No executable permissions on %s.", path);
    return false;
  }
  if (chmod(path, (info.st_mode & 07777) | bit) == 0) return true;
  log_error_raw(nullptr, "Could not give executable permission to %s.", path);
  return false;
}

int proc_tracked_child_slot(int32_t pid) {
  agent_mutex_guard guard(proc_reaper.lock);
  for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) {
    if (proc_reaper.children[i] == pid) return i;
  }
  return -1;
}
