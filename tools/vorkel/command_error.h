// The exit codes of the vorkel command and an error that carries one.
#pragma once

#include <string>

namespace vorkel_command {

enum ExitCode : int {
  EXIT_DONE = 0,
  EXIT_FAILED = 1,           // the agent or the snapshot failed in the JVM, or a file could not be written
  EXIT_USAGE = 2,            // a usage error
  EXIT_NO_PROCESS = 3,       // no such process
  EXIT_NOT_HOTSPOT = 4,      // not a HotSpot JVM, or one that an attach would harm (it does not handle SIGQUIT)
  EXIT_ATTACH_DISABLED = 5,  // its attach mechanism or the loading of agents into it is switched off
  EXIT_PERMISSION = 6,       // the process may not be entered or attached to by this user
  EXIT_TIMEOUT = 7,          // the JVM did not answer in time
  EXIT_ALREADY_LOADED = 8,   // attach: the agent was already there; nothing was changed
  EXIT_NOT_LOADED = 9,       // status: the JVM runs no agent
};

struct CommandError {
  int exit_code = EXIT_DONE;
  std::string message;
  bool set(int code, std::string text) {
    exit_code = code;
    message = std::move(text);
    return false;
  }
};

}  // namespace vorkel_command
