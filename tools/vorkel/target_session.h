// A target JVM and the way into it. Opened, the command knows the process from /proc (its /proc
// directory stays open, so that its files are read from this side even when its own /proc is
// another); entered, the command runs in the target's mount namespace (its /tmp, its paths) and
// as its user (effective ids and groups), as the JVM's attach mechanism wants its peer. Writing
// the caller's own files happens as the caller (AsCaller); leave() comes back whole.
//
// setns and the identity switch act on the whole process: the command is single-threaded.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "command_error.h"
#include "target_process.h"

namespace vorkel_command {

class TargetSession {
 public:
  TargetSession() = default;
  ~TargetSession();
  TargetSession(const TargetSession &) = delete;
  TargetSession &operator=(const TargetSession &) = delete;

  // No such process, a process this user may not inspect, or one whose status makes no sense.
  bool open(pid_t pid, CommandError *error);
  bool enter(CommandError *error);
  void leave();

  pid_t pid() const { return pid_; }
  const ProcessStatus &status() const { return status_; }
  bool in_other_mount_namespace() const { return other_mount_namespace_; }
  int proc_fd() const { return proc_fd_; }
  // The memory map's verdict; read once entered, its paths are the target's.
  bool read_libraries(ProcessLibraries *libraries, CommandError *error) const;
  // Whether the JVM's own flags switch its attach mechanism off.
  bool attach_disabled_by_its_flags() const;
  bool entered() const { return entered_; }

  // The caller's identity for the lifetime of the object (in the target's mount namespace still).
  class AsCaller {
   public:
    explicit AsCaller(TargetSession &session);
    ~AsCaller();
    AsCaller(const AsCaller &) = delete;
    AsCaller &operator=(const AsCaller &) = delete;

   private:
    TargetSession &session_;
  };

 private:
  bool become_target();
  bool become_caller();

  pid_t pid_ = 0;
  int proc_fd_ = -1;
  ProcessStatus status_;
  bool other_mount_namespace_ = false;
  bool entered_ = false;
  bool switched_identity_ = false;
  int caller_mount_fd_ = -1;
  int caller_cwd_fd_ = -1;
  uid_t caller_euid_ = 0;
  gid_t caller_egid_ = 0;
  std::vector<gid_t> caller_groups_;
};

}  // namespace vorkel_command
