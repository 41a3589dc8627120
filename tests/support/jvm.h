// Running real JVMs with the agent: JDK discovery, a private agent home per test, and launching.
#pragma once

#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "test_util.h"

namespace vt {

struct Jdk {
  std::string home;
  std::string java;
  int major = 0;
  std::string name;  // directory name under /usr/lib/jvm, used in test names
};

inline void PrintTo(const Jdk &jdk, std::ostream *out) { *out << jdk.name << " (" << jdk.home << ")"; }

// The reference JDK 17 first, then every other JDK found under /usr/lib/jvm (one per real path).
const std::vector<Jdk> &available_jdks();
const Jdk &reference_jdk();
std::string jdk_test_name(const Jdk &jdk);

// An installed agent of its own: HOME/lib/libvorkel.so, HOME/lib/vorkel-agent.jar, HOME/work,
// with the native log in HOME/logs. With testkit, the library is the test kit build (the agent
// plus the natives of vorkel.test.NativeProbe).
class AgentHome {
 public:
  explicit AgentHome(bool testkit = false);
  const std::string &home() const { return dir_.path(); }
  std::string lib() const { return dir_ / "lib/libvorkel.so"; }
  std::string jar() const { return dir_ / "lib/vorkel-agent.jar"; }
  std::string work() const { return dir_ / "work"; }
  std::string logs() const { return dir_ / "logs"; }
  // The native log as it stands now.
  NativeLog log() const { return NativeLog::read(logs()); }

 private:
  TempDir dir_;
};

struct JvmOptions {
  bool agentpath = true;      // -agentpath:HOME/lib/libvorkel.so
  bool javaagent = true;      // -javaagent:HOME/lib/vorkel-agent.jar=OPTIONS
  std::string agent_options;  // appended to the defaults (home, work)
  std::vector<std::string> jvm_flags;
  std::string main_class = "vorkel.test.Scenarios";
  std::vector<std::string> args;
  ProcessOptions process;
};

std::vector<std::string> jvm_command(const Jdk &jdk, const AgentHome &home, const JvmOptions &options);
ProcessResult run_jvm(const Jdk &jdk, const AgentHome &home, const JvmOptions &options);

// "RESULT key=value" lines that the Java scenarios print.
std::map<std::string, std::string> scenario_results(const std::string &out);

std::string test_jar();
std::string agent_library();  // the built library
std::string testkit_library();
std::string agent_jar();  // the built jar

}  // namespace vt
