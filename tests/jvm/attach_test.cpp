// The agent loaded into running JVMs with the vorkel command: a JVM started without any agent (as
// root, as nobody, in its own mount and PID namespaces), a JVM started with the agent, and the
// command's errors against processes that cannot be attached.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "jvm_test.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;

constexpr auto kCommandTimeout = std::chrono::seconds(120);

std::string vorkel_command() { return VORKEL_COMMAND; }

vt::ProcessResult vorkel(const std::vector<std::string> &arguments) {
  std::vector<std::string> argv{"vorkel"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  vt::ProcessOptions options;
  options.timeout = kCommandTimeout;
  return vt::run_process(vorkel_command(), argv, options);
}

std::string describe(const vt::ProcessResult &result) {
  return "exit " + std::to_string(result.exit_code) + "\n--- out\n" + result.out + "--- err\n" + result.err;
}

// "  home     /tmp/vorkel-0" of vorkel status: the value of the field.
std::string status_field(const std::string &status, const std::string &field) {
  std::smatch match;
  if (!std::regex_search(status, match, std::regex("\n  " + field + " +([^\n]+)"))) return "";
  return match[1];
}

// The text of the first suspect that vorkel snapshot printed.
std::string first_suspect(const std::string &out) {
  size_t start = out.find("Suspect 1:");
  if (start == std::string::npos) return "";
  return out.substr(start, out.find("Suspect 2:", start) - start);
}

std::string pid_text(int pid) { return std::to_string(pid); }

// The lines of the log with part that the process pid wrote (the log names it by its pid in its
// own PID namespace).
size_t count_of(const vt::NativeLog &log, int pid, const std::string &part) {
  std::smatch match;
  std::string status = vt::read_file("/proc/" + pid_text(pid) + "/status");
  std::string own = std::regex_search(status, match, std::regex("NSpid:[^\n]*\\s(\\d+)\n")) ? match[1].str() : "";
  size_t count = 0;
  for (const std::string &line : log.lines_with(part))
    count += std::regex_search(line, std::regex(":" + own + " *\\]"));
  return count;
}

// Held while the JVMs that run as nobody use that user's staged agent home, one at a time.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~ExclusiveLock() {
    if (fd_ >= 0) close(fd_);
  }
  ExclusiveLock(const ExclusiveLock &) = delete;
  ExclusiveLock &operator=(const ExclusiveLock &) = delete;

 private:
  int fd_;
};

enum class Launch { as_root, as_nobody, in_namespaces };

// A JVM without any agent running AttachScenarios.leaky; its files live under /dev/shm, which it
// sees in its own mount namespace too (its /tmp is a tmpfs of its own there).
template <typename Fixture>
class AttachFixture : public Fixture {
 protected:
  using Fixture::jdk;
  using Fixture::output;
  using Fixture::wait_for_result;

  std::vector<std::string> java(const std::vector<std::string> &flags, const std::vector<std::string> &args,
                                const std::string &class_path = vt::test_jar() + ":" + vt::agent_jar()) const {
    std::vector<std::string> command{jdk().java, "-Xshare:auto", "-Xcheck:jni", "-Xmx256m"};
    if (jdk().major >= 21) command.push_back("-XX:+EnableDynamicAgentLoading");
    command.insert(command.end(), flags.begin(), flags.end());
    command.insert(command.end(), {"-cp", class_path, "vorkel.test.Scenarios"});
    command.insert(command.end(), args.begin(), args.end());
    return command;
  }

  // Starts the JVM; its pid, as seen here, once it printed "ready".
  int launch(Launch how, const std::vector<std::string> &flags = {}) {
    std::string class_path = vt::test_jar() + ":" + vt::agent_jar();
    if (how == Launch::in_namespaces) {
      // The JVM's own /tmp hides a build that lives below /tmp: it runs copies of the jars.
      class_path = control_ / "scenarios.jar" + ":" + control_ / "agent.jar";
      if (!vt::copy_file(vt::test_jar(), control_ / "scenarios.jar") ||
          !vt::copy_file(vt::agent_jar(), control_ / "agent.jar")) {
        return -1;
      }
    }
    std::vector<std::string> command = java(flags, {"AttachScenarios.leaky", control_.path(), data_}, class_path);
    std::string program = command[0];
    if (how == Launch::as_nobody) {
      command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
      program = "/usr/bin/setpriv";
    } else if (how == Launch::in_namespaces) {
      std::string shell_command = "mount -t tmpfs tmpfs /tmp && exec";
      for (const std::string &word : command) shell_command += " '" + word + "'";
      command = {"unshare", "--mount", "--pid", "--fork", "sh", "-c", shell_command};
      program = "/usr/bin/unshare";
    }
    jvm_ = std::make_unique<vt::BackgroundProcess>(program, command);
    vt::wait_until([&] { return vt::contains(jvm_->out(), "RESULT ready=true\n") || !jvm_->running(); },
                   std::chrono::seconds(60));
    if (!wait_for_result(*jvm_, "ready=true", std::chrono::milliseconds(0))) return -1;
    if (how != Launch::in_namespaces) return jvm_->pid();
    // unshare forked the JVM's shell, which became the JVM.
    std::string children =
        vt::read_file("/proc/" + pid_text(jvm_->pid()) + "/task/" + pid_text(jvm_->pid()) + "/children");
    return children.empty() ? -1 : std::stoi(children);
  }

  void SetUp() override {
    chmod(control_.path().c_str(), 0755);
    data_ = control_ / "catalogue.txt";
    vt::write_file(data_, std::string(4096, 'c'));
    chmod(data_.c_str(), 0644);
  }

  void signal_scenario(const std::string &name) { vt::write_file(control_ / name, ""); }

  vt::TempDir control_{"vorkel-attach", "/dev/shm"};
  std::string data_;
  std::unique_ptr<vt::BackgroundProcess> jvm_;
};

class AttachJvm : public AttachFixture<vt::JvmTest> {
 protected:
  // The whole case: vorkel snapshot into a JVM without the agent, transactions after it, a second
  // attach by vorkel and by the JDK's jcmd, and the agent's log through the JVM's own root.
  void attach_snapshot_and_transactions(Launch how) {
    std::unique_ptr<ExclusiveLock> staged_home;
    if (how == Launch::as_nobody) {
      staged_home = std::make_unique<ExclusiveLock>("/tmp/vorkel-65534.test-lock");
      vt::remove_tree("/tmp/vorkel-65534");
    }
    vt::TestCollector collector;
    AgentHome home;
    vt::TempDir out("vorkel-attach-out");
    int pid = launch(how);
    ASSERT_GT(pid, 0) << output();
    const std::string options = collector.agent_options() + ",filestreams=true,notifications=false";

    vt::ProcessResult snapshot =
        vorkel({"snapshot", pid_text(pid), "--out", out.path(), "--home", home.home(), "--options", options});
    ASSERT_EQ(snapshot.exit_code, 0) << describe(snapshot) << output();
    EXPECT_TRUE(vt::contains(snapshot.out, "Loaded the agent into process " + pid_text(pid))) << snapshot.out;
    EXPECT_TRUE(vt::contains(snapshot.out, "Snapshot is consistent.")) << snapshot.out;
    std::string suspect = first_suspect(snapshot.out);
    EXPECT_TRUE(vt::contains(suspect, "class vorkel.test.AttachScenarios")) << snapshot.out;
    EXPECT_TRUE(vt::contains(suspect, ".LEAK -> java.util.HashMap")) << snapshot.out;
    std::vector<std::string> copies = vt::entries_with_prefix(out.path(), "oom_");
    ASSERT_EQ(copies.size(), 1u) << snapshot.out;
    EXPECT_EQ(vt::list_directory(copies[0]),
              (std::vector<std::string>{"oom_graph.bin", "oom_info.txt", "parameters.txt", "status.txt"}));

    signal_scenario("attached");
    ASSERT_TRUE(wait_for_result(*jvm_, "sent=true")) << output();
    EXPECT_RESULTS(vt::scenario_results(jvm_->out()),
                   {{"read_before", "64"}, {"active", "true"}, {"read_after", "64"}});
    std::vector<vt::HttpRequest> reports;
    for (const vt::HttpRequest &request : collector.requests()) {
      if (request.path == "/transaction/report") reports.push_back(request);
    }
    ASSERT_EQ(reports.size(), 1u);
    for (const std::string &part : {std::string("\"name\":\"checkout\""), std::string("\"blocker\":\"holder\""),
                                    std::string("\"section\":\"fileStreams\""), "\"path\":\"" + data_ + "\""}) {
      EXPECT_TRUE(vt::contains(reports[0].body, part)) << part << " in " << reports[0].body;
    }

    // A second attach changes nothing, whether vorkel or the JDK's own tool makes it.
    vt::ProcessResult again = vorkel({"attach", pid_text(pid), "filestreams=false", "--home", home.home()});
    EXPECT_EQ(again.exit_code, 8) << describe(again);
    EXPECT_TRUE(vt::contains(again.out, "already loaded")) << again.out;
    vt::ProcessResult status = vorkel({"status", pid_text(pid)});
    ASSERT_EQ(status.exit_code, 0) << describe(status);
    EXPECT_TRUE(vt::contains(status.out, "started (loaded into the running JVM)")) << status.out;
    EXPECT_TRUE(vt::contains(status.out, "Snapshots: 1\n")) << status.out;
    const std::string library = status_field(status.out, "library");
    const std::string agent_home = status_field(status.out, "home");
    vt::ProcessResult jcmd =
        vt::run_process(jdk().home + "/bin/jcmd", {"jcmd", pid_text(pid), "JVMTI.agent_load", library, "x=y"});
    EXPECT_TRUE(vt::contains(jcmd.out, "return code: 100")) << describe(jcmd);

    vt::NativeLog log = vt::NativeLog::read("/proc/" + pid_text(pid) + "/root" + agent_home + "/logs");
    EXPECT_EQ(count_of(log, pid, "Loaded into the running JVM with the options \"" + options + "\""), 1u) << log;
    EXPECT_EQ(count_of(log, pid, "found the agent already loaded in this JVM; nothing was changed"), 1u) << log;
    EXPECT_EQ(count_of(log, pid, "The snapshot requested through an attach is"), 1u) << log;
    EXPECT_TRUE(log.agent_errors().empty()) << log;

    signal_scenario("done");
    vt::ProcessResult end = jvm_->wait(std::chrono::seconds(60));
    EXPECT_EQ(end.exit_code, 0) << output();
    vt::expect_no_warnings(end);
    if (how == Launch::as_nobody) vt::remove_tree("/tmp/vorkel-65534");
  }
};
VT_JDK_TEST_SUITE(AttachJvm);

TEST_P(AttachJvm, AJvmWithoutTheAgentGetsASnapshotAndReportsTransactionsAfterTheAttach) {
  attach_snapshot_and_transactions(Launch::as_root);
}

TEST_P(AttachJvm, TheSameAsRootIntoAJvmRunningAsNobody) { attach_snapshot_and_transactions(Launch::as_nobody); }

TEST_P(AttachJvm, TheSameIntoAJvmInItsOwnMountAndPidNamespaces) {
  attach_snapshot_and_transactions(Launch::in_namespaces);
}

TEST_P(AttachJvm, AJvmStartedWithTheAgentRefusesASecondOneAndTakesSnapshotRequests) {
  AgentHome home;
  vt::TempDir out("vorkel-attach-out");
  std::vector<std::string> flags;
  if (jdk().major >= 21) flags.push_back("-XX:+EnableDynamicAgentLoading");
  auto jvm = start(home, "idle", {.agent_options = "notifications=false", .jvm_flags = flags, .args = {"60000"}});
  // The agent's Java half ran before main: once the log says so, the JVM's attach mechanism answers.
  ASSERT_TRUE(vt::wait_until([&] { return home.log().contains("Array layout"); }, std::chrono::seconds(30)))
      << home.log();

  vt::ProcessResult attach = vorkel({"attach", pid_text(jvm->pid()), "--home", home.home()});
  EXPECT_EQ(attach.exit_code, 8) << describe(attach);
  vt::ProcessResult jcmd =
      vt::run_process(jdk().home + "/bin/jcmd", {"jcmd", pid_text(jvm->pid()), "JVMTI.agent_load", home.lib()});
  EXPECT_TRUE(vt::contains(jcmd.out, "return code: 100")) << describe(jcmd);

  vt::ProcessResult snapshot = vorkel({"snapshot", pid_text(jvm->pid()), "--out", out.path()});
  EXPECT_EQ(snapshot.exit_code, 0) << describe(snapshot);
  EXPECT_FALSE(vt::contains(snapshot.out, "Loaded the agent")) << snapshot.out;
  EXPECT_EQ(vt::entries_with_prefix(out.path(), "oom_").size(), 1u);
  vt::ProcessResult status = vorkel({"status", pid_text(jvm->pid())});
  EXPECT_TRUE(vt::contains(status.out, "started\n")) << status.out;
  EXPECT_EQ(status_field(status.out, "work"), home.work()) << status.out;

  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("found the agent already loaded in this JVM; nothing was changed"), 1u) << log;
  EXPECT_EQ(log.count("Loaded into the running JVM"), 0u) << log;
  EXPECT_TRUE(log.agent_errors().empty()) << log;
  jvm->kill(SIGKILL);
  vt::expect_no_warnings({.out = jvm->out(), .err = jvm->err()});
}

TEST_P(AttachJvm, TheJarLoadedIntoARunningJvmStartsTheSameAgentOnce) {
  AgentHome home;
  // The jar loads the library itself, a restricted method of JDK 22 and later.
  std::vector<std::string> flags;
  if (jdk().major >= 22) flags.push_back("--enable-native-access=ALL-UNNAMED");
  int pid = launch(Launch::as_root, flags);
  ASSERT_GT(pid, 0) << output();
  // The JDK's tool cuts unquoted options at their first "=".
  const std::string options = "\"home=" + home.home() + ",lib=" + home.lib() + ",notifications=false\"";
  for (int load = 0; load < 2; ++load) {
    vt::ProcessResult jcmd =
        vt::run_process(jdk().home + "/bin/jcmd", {"jcmd", pid_text(pid), "JVMTI.agent_load", home.jar(), options});
    EXPECT_TRUE(vt::contains(jcmd.out, "return code: 0")) << describe(jcmd);
  }
  vt::ProcessResult status = vorkel({"status", pid_text(pid)});
  EXPECT_TRUE(vt::contains(status.out, "started (loaded into the running JVM)")) << describe(status);
  EXPECT_EQ(status_field(status.out, "home"), home.home()) << status.out;
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("JVMTI raw version is"), 1u) << log;
  EXPECT_EQ(log.count("Loaded into the running JVM: the loaders of the"), 1u) << log;
  EXPECT_TRUE(log.agent_errors().empty()) << log;
  signal_scenario("attached");
  signal_scenario("done");
  vt::ProcessResult end = jvm_->wait(std::chrono::seconds(60));
  EXPECT_EQ(end.exit_code, 0) << output();
  vt::expect_no_warnings(end);
}

TEST_P(AttachJvm, WithoutDynamicAgentLoadingTheJvmRefusesTheAgentWithAClearError) {
  VT_ONLY_ON_JDK(jdk.major >= 21);
  AgentHome home;
  int pid = launch(Launch::as_root, {"-XX:-EnableDynamicAgentLoading"});
  ASSERT_GT(pid, 0) << output();
  vt::ProcessResult attach = vorkel({"attach", pid_text(pid), "--home", home.home()});
  EXPECT_EQ(attach.exit_code, 5) << describe(attach);
  EXPECT_TRUE(vt::contains(attach.err, "-XX:-EnableDynamicAgentLoading")) << attach.err;
  EXPECT_EQ(vorkel({"status", pid_text(pid)}).exit_code, 9);
}

// The command's errors, each against a process that shows it.
class AttachErrors : public AttachFixture<vt::ReferenceJvmTest> {};

TEST_F(AttachErrors, EachProcessThatCannotBeAttachedGetsItsOwnExitCodeAndReason) {
  AgentHome home;
  vt::BackgroundProcess sleeper("/bin/sleep", {"sleep", "60"});
  vt::ProcessResult not_java = vorkel({"status", pid_text(sleeper.pid())});
  EXPECT_EQ(not_java.exit_code, 4) << describe(not_java);
  EXPECT_TRUE(vt::contains(not_java.err, "is not a HotSpot JVM")) << not_java.err;

  vt::BackgroundProcess gone("/bin/true", {"true"});
  gone.wait(std::chrono::seconds(10));
  vt::ProcessResult no_process = vorkel({"status", pid_text(gone.pid())});
  EXPECT_EQ(no_process.exit_code, 3) << describe(no_process);

  int pid = launch(Launch::as_root, {"-XX:+DisableAttachMechanism"});
  ASSERT_GT(pid, 0) << output();
  vt::ProcessResult refused = vorkel({"snapshot", pid_text(pid), "--home", home.home()});
  EXPECT_EQ(refused.exit_code, 5) << describe(refused);
  EXPECT_TRUE(vt::contains(refused.err, "-XX:+DisableAttachMechanism")) << refused.err;
  // No SIGQUIT was sent: the JVM printed no thread dump.
  EXPECT_FALSE(vt::contains(jvm_->out(), "Full thread dump")) << jvm_->out();

  // -Xrs: the JVM opens its attach socket at its start, as it cannot take SIGQUIT; without the
  // socket (a cleaner emptied /tmp), SIGQUIT would end it.
  pid = launch(Launch::as_root, {"-Xrs"});
  ASSERT_GT(pid, 0) << output();
  ASSERT_TRUE(
      vt::wait_until([&] { return vt::file_exists("/tmp/.java_pid" + pid_text(pid)); }, std::chrono::seconds(10)));
  unlink(("/tmp/.java_pid" + pid_text(pid)).c_str());
  vt::ProcessResult no_sigquit = vorkel({"attach", pid_text(pid), "--home", home.home()});
  EXPECT_EQ(no_sigquit.exit_code, 4) << describe(no_sigquit);
  EXPECT_TRUE(vt::contains(no_sigquit.err, "does not handle SIGQUIT")) << no_sigquit.err;
  EXPECT_TRUE(jvm_->running());

  pid = launch(Launch::as_root);
  ASSERT_GT(pid, 0) << output();
  vt::ProcessResult as_nobody = vt::run_process(
      "/usr/bin/setpriv",
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", vorkel_command(), "status", pid_text(pid)});
  EXPECT_EQ(as_nobody.exit_code, 6) << describe(as_nobody);
  EXPECT_TRUE(vt::contains(as_nobody.err, "run vorkel as root")) << as_nobody.err;

  // A JVM that stopped answering: its attach listener runs, the JVM is stopped.
  ASSERT_EQ(vorkel({"status", pid_text(pid)}).exit_code, 9);
  ASSERT_EQ(vorkel({"attach", pid_text(pid), "notifications=false", "--home", home.home()}).exit_code, 0);
  kill(pid, SIGSTOP);
  // The kernel stops the JVM's threads one by one: until all are, it may still answer.
  ASSERT_TRUE(vt::wait_until(
      [&] { return vt::contains(vt::read_file("/proc/" + pid_text(pid) + "/status"), "State:\tT (stopped)"); },
      std::chrono::seconds(10)));
  auto before = std::chrono::steady_clock::now();
  vt::ProcessResult stopped = vorkel({"status", pid_text(pid), "--timeout", "1"});
  auto waited = std::chrono::steady_clock::now() - before;
  kill(pid, SIGCONT);
  EXPECT_EQ(stopped.exit_code, 7) << describe(stopped);
  EXPECT_TRUE(vt::contains(stopped.err, "did not answer \"properties\" within 1 s")) << stopped.err;
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(vorkel({"status", pid_text(pid)}).exit_code, 0);
  vt::expect_no_warnings({.out = jvm_->out(), .err = jvm_->err()});
}

TEST(VorkelCommand, HelpAndUsageErrors) {
  vt::ProcessResult help = vorkel({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *part : {"usage: vorkel attach PID [OPTIONS]", "Exit status:", "-XX:+EnableDynamicAgentLoading"}) {
    EXPECT_TRUE(vt::contains(help.out, part)) << part;
  }
  for (const std::vector<std::string> &wrong : std::vector<std::vector<std::string>>{{},
                                                                                     {"dump", "1"},
                                                                                     {"snapshot"},
                                                                                     {"status", "x12"},
                                                                                     {"attach", "1", "a=b", "c=d"},
                                                                                     {"status", "1", "--top"}}) {
    vt::ProcessResult result = vorkel(wrong);
    EXPECT_EQ(result.exit_code, 2) << describe(result);
    EXPECT_TRUE(vt::contains(result.err, "(see vorkel --help)")) << describe(result);
  }
}

}  // namespace
