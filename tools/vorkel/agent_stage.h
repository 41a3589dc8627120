// The agent that the command loads: the agent home it was installed in (HOME/bin/vorkel beside
// HOME/lib/libvorkel.so and HOME/lib/vorkel-agent.jar) or the one given, and that home as the
// target JVM can use it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "command_error.h"
#include "target_session.h"

namespace vorkel_command {

struct AgentFiles {
  std::string home, lib, jar;  // as the caller sees them
  int lib_fd = -1, jar_fd = -1;
  struct stat lib_info {
  }, jar_info{};
  AgentFiles() = default;
  ~AgentFiles();
  AgentFiles(const AgentFiles &) = delete;
  AgentFiles &operator=(const AgentFiles &) = delete;
};

// Before entering: opens the two files of home ("" for the command's own home).
bool find_agent_files(const std::string &home, AgentFiles *files, CommandError *error);

// Entered: the agent home for the target, by its own paths. The installed home when the target
// sees the same files at the same paths and its user may write there (logs and work); otherwise
// the library and the jar are staged in the target's /tmp/vorkel-UID/lib (UID: the target's
// user), made as that user, reused while they are the same files, and replaced by a rename, never
// rewritten in place (a JVM may have the library mapped).
bool agent_home_for_target(const AgentFiles &files, std::string *home, bool *staged, CommandError *error);

}  // namespace vorkel_command
