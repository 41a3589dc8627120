// The snapshots of an agent's work directory: listing them, and copying one out of the target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_error.h"
#include "target_session.h"

namespace vorkel_command {

struct SnapshotEntry {
  std::string name;    // oom_<start ms>
  std::string status;  // the first line of its status.txt ("compressing 0" when valid)
  uint64_t graph_bytes = 0;
  bool archive = false;  // its .tar.bz2 is there
  bool valid() const { return status.rfind("compressing", 0) == 0; }
};

// The oom_* directories of work, by name (oldest first).
std::vector<SnapshotEntry> list_snapshots(const std::string &work);
// The names of the oom_* directories of work.
std::vector<std::string> snapshot_names(const std::string &work);
// The size of the graph file of a snapshot directory, 0 when there is none yet.
uint64_t graph_bytes(const std::string &snapshot_directory);

// Entered: copies the snapshot directory (its info, graph, parameters and status files, or its
// archive when the two snapshot files are gone) into a new directory of the same name under the
// caller's directory out_fd (named out), the files read as the target's user and written as the
// caller. copied is out/NAME (out/NAME/NAME.tar.bz2 when only the archive was there).
bool copy_snapshot(TargetSession &session, const std::string &snapshot_directory, int out_fd, const std::string &out,
                   std::string *copied, CommandError *error);

}  // namespace vorkel_command
