// The commands of vorkel: attach, snapshot and status, each against one JVM process.
#pragma once

#include <sys/types.h>

#include <string>

namespace vorkel_command {

struct Settings {
  int timeout_ms = 10000;            // --timeout: the attach mechanism and each answer of the JVM
  int snapshot_timeout_ms = 900000;  // --snapshot-timeout: the snapshot itself
  std::string home;                  // --home: the agent home to load (default: the command's own)
  std::string out = ".";             // --out: where snapshot copies the snapshot
  std::string options;               // the agent options of an attach
  bool options_given = false;
  size_t top = 10;  // --top: classes in the snapshot's summary
};

// Each prints its result on standard output, errors on standard error ("vorkel: ..."), and
// returns the exit code (command_error.h).
int run_attach(pid_t pid, const Settings &settings);
int run_snapshot(pid_t pid, const Settings &settings);
int run_status(pid_t pid, const Settings &settings);

}  // namespace vorkel_command
