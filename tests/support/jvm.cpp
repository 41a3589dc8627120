#include "jvm.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <regex>

namespace vt {

std::string test_jar() { return VORKEL_TEST_JAR; }
std::string agent_library() { return VORKEL_AGENT_LIB; }
std::string testkit_library() { return VORKEL_TESTKIT_LIB; }
std::string agent_jar() { return VORKEL_AGENT_JAR; }

namespace {

std::string real_path(const std::string &path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

int java_major(const std::string &home) {
  std::string release = read_file(home + "/release");
  std::smatch match;
  if (std::regex_search(release, match, std::regex("JAVA_VERSION=\"(1\\.)?(\\d+)"))) return std::stoi(match[2]);
  return 0;
}

std::vector<Jdk> discover() {
  // Only JVMs that can load the built library: an arm64 JDK installed beside the amd64 one runs
  // (emulated) but not with an x86-64 agent, and the other way round.
  const int machine = elf_machine(agent_library());
  std::vector<Jdk> jdks;
  std::vector<std::string> seen;
  auto add = [&](const std::string &home, const std::string &name) {
    std::string java = home + "/bin/java";
    std::string real = real_path(java);
    if (real.empty() || !file_exists(home + "/include/jvmti.h")) return;  // a full JDK, not a bare runtime
    if (elf_machine(real) != machine) return;
    if (std::find(seen.begin(), seen.end(), real) != seen.end()) return;
    seen.push_back(real);
    jdks.push_back({home, java, java_major(home), name});
  };
  add(VORKEL_REFERENCE_JAVA_HOME, "reference");
  const char *only = getenv("VORKEL_TEST_JDKS");  // "reference" limits the runs to JDK 17
  if (only == nullptr || std::string(only) != "reference") {
    for (const std::string &name : list_directory("/usr/lib/jvm")) {
      if (is_directory("/usr/lib/jvm/" + name)) add("/usr/lib/jvm/" + name, name);
    }
  }
  return jdks;
}

}  // namespace

const std::vector<Jdk> &available_jdks() {
  static const std::vector<Jdk> jdks = discover();
  return jdks;
}

const Jdk &reference_jdk() { return available_jdks().front(); }

std::string jdk_test_name(const Jdk &jdk) {
  std::string name = "jdk" + std::to_string(jdk.major) + "_" + jdk.name;
  for (char &c : name) {
    if (!isalnum((unsigned char)c)) c = '_';
  }
  return name;
}

AgentHome::AgentHome(bool testkit) : dir_("vorkel-home") {
  make_directories({dir_ / "lib", dir_ / "work"});
  copy_file(testkit ? testkit_library() : agent_library(), lib(), 0755);
  copy_file(agent_jar(), jar(), 0644);
}

std::vector<std::string> jvm_command(const Jdk &jdk, const AgentHome &home, const JvmOptions &options) {
  std::vector<std::string> command{jdk.java};
  command.push_back("-Xshare:auto");
  // Every JVM of the tests checks the agent's JNI calls; a JvmFixture fails on any warning line.
  command.push_back("-Xcheck:jni");
  if (options.agentpath) command.push_back("-agentpath:" + home.lib());
  if (options.javaagent) {
    std::string agent_options = "home=" + home.home() + ",work=" + home.work() + ",lib=" + home.lib();
    if (!options.agent_options.empty()) agent_options += "," + options.agent_options;
    command.push_back("-javaagent:" + home.jar() + "=" + agent_options);
  }
  // Started without -agentpath, the library is loaded with System.load, which JDK 24 and later
  // warn about unless native access is enabled: the flag the README tells users to give.
  if (!options.agentpath && jdk.major >= 24) command.push_back("--enable-native-access=ALL-UNNAMED");
  for (const std::string &flag : options.jvm_flags) command.push_back(flag);
  command.push_back("-cp");
  command.push_back(test_jar() + ":" + home.jar());
  command.push_back(options.main_class);
  for (const std::string &arg : options.args) command.push_back(arg);
  return command;
}

ProcessResult run_jvm(const Jdk &jdk, const AgentHome &home, const JvmOptions &options) {
  return run_process(jdk.java, jvm_command(jdk, home, options), options.process);
}

std::map<std::string, std::string> scenario_results(const std::string &out) {
  std::map<std::string, std::string> results;
  for (const std::string &line : split_lines(out)) {
    if (line.rfind("RESULT ", 0) != 0) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    results[line.substr(7, equals - 7)] = line.substr(equals + 1);
  }
  return results;
}

}  // namespace vt
