#include "target_session.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorkel_command {

namespace {

constexpr size_t kStatusLimit = 64 * 1024;
constexpr size_t kMapsLimit = 64 * 1024 * 1024;
constexpr size_t kCommandLineLimit = 1024 * 1024;

std::string pid_text(pid_t pid) { return std::to_string((long long)pid); }

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

TargetSession::~TargetSession() {
  leave();
  close_fd(&proc_fd_);
}

bool TargetSession::open(pid_t pid, CommandError *error) {
  pid_ = pid;
  std::string path = "/proc/" + pid_text(pid);
  proc_fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc_fd_ < 0) {
    if (errno == ENOENT || errno == ESRCH) return error->set(EXIT_NO_PROCESS, "no process " + pid_text(pid));
    return error->set(EXIT_PERMISSION, path + ": " + strerror(errno));
  }
  std::string text;
  if (!read_proc_file(proc_fd_, "status", kStatusLimit, &text)) {
    if (errno == ESRCH || errno == ENOENT) return error->set(EXIT_NO_PROCESS, "process " + pid_text(pid) + " ended");
    return error->set(EXIT_PERMISSION, path + "/status: " + strerror(errno));
  }
  status_ = parse_process_status(text);
  if (!status_.valid) return error->set(EXIT_NOT_HOTSPOT, path + "/status cannot be read as a process status");
  if (text.find("State:\tZ") != std::string::npos) {
    return error->set(EXIT_NO_PROCESS, "process " + pid_text(pid) + " has ended (a zombie)");
  }
  struct stat ours {
  }, theirs{};
  if (fstatat(proc_fd_, "ns/mnt", &theirs, 0) != 0) {
    if (errno == ENOENT) return error->set(EXIT_NO_PROCESS, "process " + pid_text(pid) + " ended");
    return error->set(EXIT_PERMISSION, "the mount namespace of process " + pid_text(pid) + " cannot be read (" +
                                           strerror(errno) + "): run vorkel as root or as the process's user");
  }
  if (stat("/proc/self/ns/mnt", &ours) != 0)
    return error->set(EXIT_FAILED, std::string("/proc/self/ns/mnt: ") + strerror(errno));
  other_mount_namespace_ = ours.st_dev != theirs.st_dev || ours.st_ino != theirs.st_ino;
  return true;
}

bool TargetSession::read_libraries(ProcessLibraries *libraries, CommandError *error) const {
  std::string maps;
  if (!read_proc_file(proc_fd_, "maps", kMapsLimit, &maps)) {
    if (errno == ESRCH || errno == ENOENT) return error->set(EXIT_NO_PROCESS, "process " + pid_text(pid_) + " ended");
    return error->set(EXIT_PERMISSION, "the memory map of process " + pid_text(pid_) + " cannot be read (" +
                                           strerror(errno) + "): run vorkel as root or as the process's user");
  }
  *libraries = scan_process_maps(maps);
  return true;
}

bool TargetSession::attach_disabled_by_its_flags() const {
  std::string cmdline, environ;
  read_proc_file(proc_fd_, "cmdline", kCommandLineLimit, &cmdline);
  read_proc_file(proc_fd_, "environ", kCommandLineLimit, &environ);
  return attach_disabled_by_flags(cmdline, environ);
}

bool TargetSession::enter(CommandError *error) {
  if (entered_) return true;
  caller_euid_ = geteuid();
  caller_egid_ = getegid();
  int count = getgroups(0, nullptr);
  caller_groups_.assign(count > 0 ? (size_t)count : 0, 0);
  if (count > 0 && getgroups(count, caller_groups_.data()) != count) caller_groups_.clear();
  bool root = caller_euid_ == 0;
  if (!root && caller_euid_ != status_.euid) {
    return error->set(EXIT_PERMISSION, "process " + pid_text(pid_) + " runs as uid " + std::to_string(status_.euid) +
                                           ", vorkel as uid " + std::to_string(caller_euid_) +
                                           ": run vorkel as root or as that user");
  }
  if (other_mount_namespace_) {
    if (!root) {
      return error->set(EXIT_PERMISSION, "process " + pid_text(pid_) +
                                             " runs in another mount namespace (a container): run vorkel as root");
    }
    int target_fd = openat(proc_fd_, "ns/mnt", O_RDONLY | O_CLOEXEC);
    caller_mount_fd_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    caller_cwd_fd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (target_fd < 0 || caller_mount_fd_ < 0 || setns(target_fd, CLONE_NEWNS) != 0) {
      int code = errno;
      if (target_fd >= 0) close(target_fd);
      close_fd(&caller_mount_fd_);
      close_fd(&caller_cwd_fd_);
      return error->set(EXIT_PERMISSION,
                        "cannot enter the mount namespace of process " + pid_text(pid_) + ": " + strerror(code));
    }
    close(target_fd);
  }
  entered_ = true;
  if (root && (status_.euid != 0 || status_.egid != 0)) {
    switched_identity_ = true;
    if (!become_target()) {
      int code = errno;
      leave();
      return error->set(EXIT_PERMISSION, "cannot take the user of process " + pid_text(pid_) + " (uid " +
                                             std::to_string(status_.euid) + "): " + strerror(code));
    }
  }
  return true;
}

bool TargetSession::become_target() {
  return setgroups(status_.groups.size(), status_.groups.data()) == 0 && setegid(status_.egid) == 0 &&
         seteuid(status_.euid) == 0;
}

bool TargetSession::become_caller() {
  return seteuid(caller_euid_) == 0 && setegid(caller_egid_) == 0 &&
         setgroups(caller_groups_.size(), caller_groups_.data()) == 0;
}

void TargetSession::leave() {
  if (!entered_) return;
  if (switched_identity_ && !become_caller()) {
    fprintf(stderr, "vorkel: cannot take its own user back: %s\n", strerror(errno));
    _exit(EXIT_FAILED);
  }
  switched_identity_ = false;
  if (caller_mount_fd_ >= 0) {
    if (setns(caller_mount_fd_, CLONE_NEWNS) != 0 || (caller_cwd_fd_ >= 0 && fchdir(caller_cwd_fd_) != 0)) {
      fprintf(stderr, "vorkel: cannot come back to its own mount namespace: %s\n", strerror(errno));
      _exit(EXIT_FAILED);
    }
  }
  close_fd(&caller_mount_fd_);
  close_fd(&caller_cwd_fd_);
  entered_ = false;
}

TargetSession::AsCaller::AsCaller(TargetSession &session) : session_(session) {
  if (session_.switched_identity_ && !session_.become_caller()) {
    fprintf(stderr, "vorkel: cannot take its own user back: %s\n", strerror(errno));
    _exit(EXIT_FAILED);
  }
}

TargetSession::AsCaller::~AsCaller() {
  if (session_.switched_identity_ && !session_.become_target()) {
    fprintf(stderr, "vorkel: cannot take the target's user again: %s\n", strerror(errno));
    _exit(EXIT_FAILED);
  }
}

}  // namespace vorkel_command
