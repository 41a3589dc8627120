// The HotSpot JVM's attach mechanism on Linux, as its attach listener expects its peer: the file
// ".attach_pid<pid>" in the JVM's working directory (or /tmp) and SIGQUIT make the JVM open the
// socket /tmp/.java_pid<pid> (its own pid, in its own PID namespace); each operation is one
// connection: "1", the operation's name and three arguments, each ended by a NUL byte; the answer
// is a status line (0 when the operation ran) and the operation's text, up to the JVM's close.
// Used with the session entered: paths are the target's, and the command is the target's user.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "command_error.h"
#include "target_session.h"

namespace vorkel_command {

struct AttachAnswer {
  int status = -1;   // the status line
  std::string text;  // what follows it
};

// What the answer to "load" says: Agent_OnAttach's result, or why the JVM did not load the library.
struct LoadResult {
  bool loaded = false;
  int code = 0;        // "return code: N"
  std::string reason;  // the JVM's text when not loaded
  bool dynamic_loading_disabled = false;
};
LoadResult parse_load_answer(const AttachAnswer &answer);
// The answer as the JVM sent it, parsed; false when it is none ("1\n..." or garbage).
bool parse_attach_answer(const std::string &raw, AttachAnswer *answer);

class HotSpotAttach {
 public:
  // timeout_ms bounds the wait for the socket and, by default, each operation.
  HotSpotAttach(TargetSession &session, int timeout_ms) : session_(session), timeout_ms_(timeout_ms) {}

  // Makes the JVM start its attach listener unless it runs already.
  bool ensure_listener(CommandError *error);
  // One operation. tick is called about ten times a second while the answer is awaited.
  bool execute(const std::string &operation, const std::vector<std::string> &arguments, AttachAnswer *answer,
               CommandError *error, int timeout_ms = 0, const std::function<void()> &tick = {});

 private:
  std::string socket_path() const;
  bool socket_ready(CommandError *error) const;

  TargetSession &session_;
  int timeout_ms_;
};

}  // namespace vorkel_command
