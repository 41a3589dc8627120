// The process to attach to, as /proc shows it: its user and groups, its pid in its own PID
// namespace, the signals it catches, whether it runs HotSpot and where the agent library lies.
// The parsers take the files' text and trust nothing in it; the reads are bounded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vorkel_command {

// /proc/PID/status.
struct ProcessStatus {
  bool valid = false;  // every field below was found
  std::string name;
  uid_t uid = 0, euid = 0;
  gid_t gid = 0, egid = 0;
  std::vector<gid_t> groups;
  std::vector<pid_t> ns_pids;   // NSpid: as seen here first, in its own PID namespace last
  uint64_t caught_signals = 0;  // SigCgt: bit N-1 for signal N
  pid_t own_pid() const { return ns_pids.empty() ? 0 : ns_pids.back(); }
  bool catches(int signal) const { return signal > 0 && signal <= 64 && (caught_signals >> (signal - 1) & 1) != 0; }
};
ProcessStatus parse_process_status(const std::string &text);

// /proc/PID/maps.
struct ProcessLibraries {
  bool hotspot = false;        // the HotSpot JVM library (libjvm.so, and no J9 VM library)
  std::string agent_library;   // the mapped agent library (libvorkel.so), "" when there is none
  bool agent_deleted = false;  // its file was removed or replaced since it was mapped
};
ProcessLibraries scan_process_maps(const std::string &maps);

// Whether the JVM's flags switch its attach mechanism off: -XX:+DisableAttachMechanism in the
// command line (/proc/PID/cmdline, arguments separated by NUL) or in the option variables of its
// environment (/proc/PID/environ), the last setting counting as for the JVM.
bool attach_disabled_by_flags(const std::string &cmdline, const std::string &environ);

// A bounded read of a file of a /proc/PID directory (opened as dir_fd); false with errno set.
bool read_proc_file(int dir_fd, const char *name, size_t limit, std::string *text);

}  // namespace vorkel_command
