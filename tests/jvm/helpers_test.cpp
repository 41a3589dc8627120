// The helper processes for real: the library started as the "notify" and "monitor" programs, a
// collector on loopback, JVMs that are killed or crash under the exit monitor, and the uploader
// fork.
#include <gtest/gtest.h>

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <regex>

#include "jvm_test.h"
#include "test_collector.h"

namespace {

using namespace std::chrono_literals;
using vt::AgentHome;
using vt::JvmOptions;
using vt::TestCollector;

std::string sanitised(std::string text) {
  if (text.size() > 4194304) text.resize(4194304);
  for (char &c : text) {
    unsigned char byte = (unsigned char)c;
    if (!((byte >= 32 && byte < 127) || byte == '\t' || byte == '\n' || byte == '\r')) c = '?';
  }
  return text;
}

std::vector<std::string> notify_arguments(const std::string &host, int port, size_t count = 11) {
  std::vector<std::string> arguments{
      "notify",        host,    std::to_string(port), "5", "acc 1", "jvm/1", "sess-1", "{\"type\":\"heap\"}",
      "1700000000000", "error", "disk_space"};
  arguments.resize(count);
  return arguments;
}

// The headers of a form posted to the collector at 127.0.0.1.
std::vector<std::pair<std::string, std::string>> form_headers(size_t content_length) {
  return {{"Host", "127.0.0.1"},
          {"Content-Length", std::to_string(content_length)},
          {"Content-Type", "application/x-www-form-urlencoded"},
          {"Connection", "Close"}};
}

const char *kNotifyQuery =
    "version=5&accountId=acc+1&jvmId=jvm%2f1&sessionId=sess-1&description=%7b%22type%22%3a%22heap%22%7d"
    "&timestamp=1700000000000&status=error&message=disk_space";

TEST(NotifyHelper, PostsTheStatusNotification) {
  AgentHome home;
  vt::TestCollector collector;
  vt::ProcessResult run = vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port()));
  EXPECT_EQ(run.exit_code, 0) << run.err << home.log();
  ASSERT_EQ(collector.requests().size(), 1u);
  const vt::HttpRequest request = collector.requests()[0];
  EXPECT_EQ(request.request_line, std::string("POST /oom/notification?") + kNotifyQuery + " HTTP/1.1");
  EXPECT_EQ(request.headers, form_headers(0));
  EXPECT_EQ(request.body, "");
  const std::vector<std::pair<std::string, std::string>> fields{{"version", "5"},
                                                                {"accountId", "acc 1"},
                                                                {"jvmId", "jvm/1"},
                                                                {"sessionId", "sess-1"},
                                                                {"description", "{\"type\":\"heap\"}"},
                                                                {"timestamp", "1700000000000"},
                                                                {"status", "error"},
                                                                {"message", "disk_space"}};
  EXPECT_EQ(request.query_fields, fields);
  std::vector<std::string> lines = home.log().lines_with("Sending OOM status notification error: disk_space.");
  ASSERT_EQ(lines.size(), 1u) << home.log();
  EXPECT_TRUE(vt::contains(lines[0], "[notify  :")) << lines[0];

  // Started by hand, the program comes first and the mode word second.
  std::vector<std::string> by_hand = notify_arguments("127.0.0.1", collector.port());
  by_hand.insert(by_hand.begin(), home.lib());
  run = vt::run_process(home.lib(), by_hand);
  EXPECT_EQ(run.exit_code, 0) << run.err << home.log();
  ASSERT_EQ(collector.requests().size(), 2u) << home.log();
  EXPECT_EQ(collector.requests()[1].request_line, request.request_line);
  EXPECT_EQ(home.log().count("Unknown execution type"), 0u) << home.log();
}

TEST(NotifyHelper, FailsOnAnyAnswerBut200AndOnSilence) {
  AgentHome home;
  vt::TestCollector collector(vt::CollectorAnswer::no_content);
  vt::ProcessResult run = vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port()));
  EXPECT_EQ(run.exit_code, 1);
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Non-success response: HTTP/1.1 204 No Content"), 1u) << log;
  EXPECT_EQ(log.count("ERROR - Could not send OOM status notification."), 1u) << log;

  // The notify helper waits 2000 ms for an answer.
  collector.set_answer(vt::CollectorAnswer::silent);
  auto start = std::chrono::steady_clock::now();
  run = vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port()));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1990ms);
  EXPECT_EQ(home.log().count("ERROR - Timeout when reading HTTP query response."), 1u);

  // Garbage and a header that never ends: the helper gives up and exits.
  collector.set_answer(vt::CollectorAnswer::garbage);
  EXPECT_EQ(vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port())).exit_code, 1);
  collector.set_answer(vt::CollectorAnswer::endless_header);
  run = vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port()));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(home.log().count("ERROR - Could not send OOM status notification."), 4u);
}

TEST(NotifyHelper, RefusesAWrongArgumentCountWithoutSending) {
  AgentHome home;
  vt::TestCollector collector;
  vt::ProcessResult run = vt::run_process(home.lib(), notify_arguments("127.0.0.1", collector.port(), 10));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("ERROR - Invalid number of arguments to OOM notify, expected 11, got 10."), 1u)
      << home.log();
  EXPECT_EQ(collector.connection_count(), 0u);

  run = vt::run_process(home.lib(), {"monitor", "1", "/tmp"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("ERROR - Process exit monitor got wrong number of parameters 3, expected 9."), 1u);
  // The same by hand: the program's path before the mode word is not one of the parameters.
  run = vt::run_process(home.lib(), {home.lib(), "monitor", "1", "/tmp"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("ERROR - Process exit monitor got wrong number of parameters 3, expected 9."), 2u)
      << home.log();
  run = vt::run_process(home.lib(), {home.lib(), "inspect"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("ERROR - Unknown execution type: " + home.lib()), 1u) << home.log();
  // A process id that is no number would report an end that never happened.
  run = vt::run_process(home.lib(),
                        {"monitor", "12x", "/tmp", "a", "j", "s", "127.0.0.1", std::to_string(collector.port()), ""});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("ERROR - Process exit monitor got an invalid process id \"12x\"."), 1u);
  EXPECT_EQ(collector.connection_count(), 0u);
}

// The helpers against a collector that fails in each way a network can, all at once, each with
// a home of its own: every helper gives up within its time-out and says why; the exit monitor
// saves its report (with a crash log large enough to fill a connection that is not read), the
// notify helper drops its notification.
struct CollectorFault {
  const char *name;
  std::optional<vt::CollectorAnswer> answer;  // none: nobody listens on the port
  bool waits;                                 // the helper waits out its whole time-out
  const char *notify_error;
  const char *monitor_error;
};

const char kReadTimeout[] = "ERROR - Timeout when reading HTTP query response.";
const char kRefused[] = "ERROR - Failed to connect with any resolved address. (http_open:141)";
const char kReset[] = "ERROR - Reading HTTP response failed (recv), error 104.";
const CollectorFault kCollectorFaults[] = {
    {"silent", vt::CollectorAnswer::silent, true, kReadTimeout, kReadTimeout},
    {"deaf", vt::CollectorAnswer::deaf, true, kReadTimeout, "ERROR - Timeout when sending HTTP query."},
    {"slow", vt::CollectorAnswer::slow, true, kReadTimeout, kReadTimeout},
    {"reset", vt::CollectorAnswer::reset, false, kReset, kReset},
    {"down", std::nullopt, false, kRefused, kRefused},
};

struct FaultRun {
  explicit FaultRun(const CollectorFault &fault)
      : fault(fault), collector(fault.answer ? std::make_unique<TestCollector>(*fault.answer) : nullptr) {}
  int port() const { return collector ? collector->port() : TestCollector::closed_port(); }
  const CollectorFault &fault;
  std::unique_ptr<TestCollector> collector;
  AgentHome home;
  std::unique_ptr<vt::BackgroundProcess> helper;
};

// Starts one helper per fault at once (arguments(run) gives its argument list), waits for them
// all and checks that each ended within the time-out and a few seconds, with its error logged.
void run_under_faults(std::list<FaultRun> &runs, const std::function<std::vector<std::string>(FaultRun &)> &arguments,
                      const std::string &cwd, std::chrono::milliseconds timeout, bool notify, int exit_code) {
  for (const CollectorFault &fault : kCollectorFaults) runs.emplace_back(fault);
  auto start = std::chrono::steady_clock::now();
  for (FaultRun &run : runs) {
    vt::ProcessOptions options;
    options.cwd = cwd;
    run.helper = std::make_unique<vt::BackgroundProcess>(run.home.lib(), arguments(run), options);
  }
  for (FaultRun &run : runs) {
    SCOPED_TRACE(run.fault.name);
    vt::ProcessResult result = run.helper->wait(timeout + 30s);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exit_code, exit_code) << result.err << run.home.log();
    // The bound is the time-out and what starting five processes on a loaded machine may take.
    EXPECT_LE(elapsed, timeout + 5s);
    if (run.fault.waits) EXPECT_GE(elapsed, timeout - 10ms);
    EXPECT_EQ(run.home.log().count(notify ? run.fault.notify_error : run.fault.monitor_error), 1u) << run.home.log();
  }
}

TEST(CollectorFaults, TheNotifyHelperGivesUpWithinItsTimeOutAndDropsTheNotification) {
  vt::TempDir cwd("vorkel-cwd");
  std::list<FaultRun> runs;
  run_under_faults(
      runs, [](FaultRun &run) { return notify_arguments("127.0.0.1", run.port()); }, cwd.path(), 2000ms, true, 1);
  for (FaultRun &run : runs) {
    EXPECT_EQ(run.home.log().count("ERROR - Could not send OOM status notification."), 1u) << run.fault.name;
    EXPECT_TRUE(vt::list_directory(run.home.work()).empty());
  }
  EXPECT_TRUE(vt::list_directory(cwd.path()).empty());
}

TEST(CollectorFaults, TheExitMonitorGivesUpWithinItsTimeOutAndSavesTheReport) {
  // Process 1 is not the monitor's parent: the monitor takes its JVM for ended and reports at
  // once, with the crash log it finds in its directory under the JVM's name, cut to 4 MiB.
  vt::TempDir cwd("vorkel-cwd");
  std::string crash_log;
  for (int i = 0; i < 4500 * 1024; ++i) crash_log += (char)(i % 256);
  ASSERT_TRUE(vt::write_file(cwd / "hs_err_pid1.log", crash_log));
  std::list<FaultRun> runs;
  run_under_faults(
      runs,
      [](FaultRun &run) {
        // One monitor finds its work directory gone, as if removed while the JVM ran.
        if (run.fault.name == std::string("down")) vt::remove_tree(run.home.work());
        return std::vector<std::string>{
            "monitor", "1", run.home.work(), "acc", "jvm", "sess", "127.0.0.1", std::to_string(run.port()), ""};
      },
      cwd.path(), 20000ms, false, 0);
  for (FaultRun &run : runs) {
    SCOPED_TRACE(run.fault.name);
    vt::NativeLog log = run.home.log();
    EXPECT_EQ(log.count("WARN  - Could not send termination notification, saving."), 1u) << log;
    EXPECT_EQ(log.count("WARN  - The work directory " + run.home.work() + " was missing and is made again."),
              run.fault.name == std::string("down") ? 1u : 0u);
    std::vector<std::string> saved = vt::list_directory(run.home.work());
    ASSERT_EQ(saved.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(saved[0], match, std::regex(R"(exit_(\d+))"))) << saved[0];
    std::string directory = run.home.work() + "/" + saved[0];
    EXPECT_EQ(vt::read_file(directory + "/parameters.txt"),
              "accountId=acc\njvmId=jvm\nsessionId=sess\noperatingSystem=linux\ntype=exited_unknown_code\nvalue=0\n"
              "timestamp=" +
                  match[1].str() + "\n");
    EXPECT_TRUE(vt::read_file(directory + "/hs_err.log") == sanitised(crash_log));
  }
}

// A monitor whose parent is a shell: the shell leaves a crash log in its directory under the
// name the JVM would use, starts the monitor and ends. The collector is down and the work
// directory is a tmpfs too small for the crash log.
TEST(MonitorHelper, ReportsAFullDiskWhenSavingAndKeepsWhatFits) {
  VT_REQUIRE_TMPFS(work, "64k");
  AgentHome home;
  vt::TempDir cwd("vorkel-cwd");
  std::string script =
      "head -c 300000 /dev/zero | tr '\\0' x > hs_err_pid$$.log && "
      "(exec -a monitor \"$0\" $$ \"$1\" acc jvm sess 127.0.0.1 \"$2\" '') & sleep 0.3";
  vt::ProcessOptions options;
  options.cwd = cwd.path();
  vt::ProcessResult run = vt::run_process(
      "/bin/bash", {"bash", "-c", script, home.lib(), work.path(), std::to_string(TestCollector::closed_port())},
      options);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  ASSERT_TRUE(vt::wait_until([&] { return home.log().contains("for unsent exit notification."); }, 10s)) << home.log();
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("INFO  - Monitored process exited, crash log found."), 1u) << log;
  EXPECT_EQ(log.count("ERROR - Failed to save crash log for unsent exit notification."), 1u) << log;
  std::vector<std::string> saved = vt::list_directory(work.path());
  ASSERT_EQ(saved.size(), 1u);
  std::string parameters = vt::read_file(work / saved[0] + "/parameters.txt");
  EXPECT_TRUE(vt::contains(parameters, "accountId=acc\njvmId=jvm\nsessionId=sess\noperatingSystem=linux\n"))
      << parameters;
}

// A host name of the test's own with two addresses: a private hosts file, bind-mounted over
// /etc/hosts in a mount namespace that only the helper sees. The resolver orders the addresses;
// the collector listens on the second, so the first is refused.
TEST(NotifyHelper, TriesTheNextAddressWhenTheFirstRefuses) {
  AgentHome home;
  vt::TempDir dir("vorkel-hosts");
  const std::string name = "collector.vorkel.test";
  vt::write_file(dir / "hosts", "127.0.0.2 " + name + "\n127.0.0.1 " + name + "\n");
  vt::ProcessResult order = vt::run_process(
      "/usr/bin/unshare", {"unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/hosts && getent ahostsv4 \"$1\"",
                           dir / "hosts", name});
  if (order.exit_code != 0) GTEST_SKIP() << "no private mount namespace here: " << order.err;
  std::vector<std::string> addresses;
  for (const std::string &line : vt::split_lines(order.out)) {
    if (vt::contains(line, "STREAM")) addresses.push_back(line.substr(0, line.find(' ')));
  }
  ASSERT_EQ(addresses.size(), 2u) << order.out;

  vt::TestCollector collector(vt::CollectorAnswer::ok, addresses[1]);
  std::vector<std::string> arguments = notify_arguments(name, collector.port());
  std::vector<std::string> command{
      "unshare",     "-m",      "/bin/bash", "-c", "mount --bind \"$0\" /etc/hosts && exec -a notify \"$@\"",
      dir / "hosts", home.lib()};
  command.insert(command.end(), arguments.begin() + 1, arguments.end());
  vt::ProcessResult run = vt::run_process("/usr/bin/unshare", command);
  EXPECT_EQ(run.exit_code, 0) << run.err << home.log();
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("DEBUG - Socket connection failed (connect), error 111."), 1u) << log;
  ASSERT_EQ(collector.requests().size(), 1u);
  EXPECT_EQ(collector.requests()[0].header("Host"), name);
}

// ---------------------------------------------------------------------------------------------
// The exit monitor under real JVMs.

class ExitMonitor : public vt::JvmTest {
 protected:
  // The agent reports to port; a crash log goes to errors_, no core file.
  JvmOptions options(int port) {
    JvmOptions jvm{
        .agent_options = "host=127.0.0.1,port=" + std::to_string(port) + ",account=acc-7,jvm=jvm-7,session=sess 7",
        .jvm_flags = {"-XX:ErrorFile=" + errors_.path() + "/hs_err_%p.log", "-XX:-CreateCoredumpOnCrash"}};
    // The crash scenario writes through sun.misc.Unsafe, which JDK 24 and later warn about.
    if (jdk().major >= 24) jvm.jvm_flags.push_back("--sun-misc-unsafe-memory-access=allow");
    return jvm;
  }
  std::string only_crash_log() {
    std::vector<std::string> files = vt::list_directory(errors_.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : vt::read_file(errors_ / files[0]);
  }
  vt::TempDir errors_{"vorkel-errors"};
};
VT_JDK_TEST_SUITE(ExitMonitor);

int monitor_pid(const vt::NativeLog &log) {
  std::smatch match;
  for (const std::string &line : log.lines_with("Process monitor succesfully started, monitoring PID")) {
    if (std::regex_search(line, match, std::regex(R"(\[monitor :(\d+) *\])"))) return std::stoi(match[1]);
  }
  return 0;
}

std::string link_target(const std::string &path) {
  char buffer[PATH_MAX];
  ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
  return length > 0 ? std::string(buffer, (size_t)length) : "";
}

bool process_gone(int pid) {
  std::string stat = vt::read_file("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || vt::contains(stat.substr(stat.rfind(')')), ") Z ");
}

TEST_P(ExitMonitor, ReportsAKilledJvmAndEnds) {
  AgentHome home;
  vt::TestCollector collector;
  JvmOptions jvm = options(collector.port());
  jvm.args.push_back(home.work());  // configured twice
  auto process = start(home, "ExitScenarios.waitForKill", jvm);
  ASSERT_TRUE(wait_for_result(*process, "ready=true")) << output();
  ASSERT_TRUE(vt::wait_until([&] { return monitor_pid(home.log()) != 0; }, 10s)) << home.log();
  int monitor = monitor_pid(home.log());

  // The monitor holds none of the JVM's streams or files: standard streams on /dev/null and
  // beyond them only its log file and the descriptor it waits on.
  std::string fds = "/proc/" + std::to_string(monitor) + "/fd";
  for (const std::string &fd : vt::list_directory(fds)) {
    std::string target = link_target(fds + "/" + fd);
    if (fd == "0" || fd == "1" || fd == "2")
      EXPECT_EQ(target, "/dev/null") << fd;
    else
      EXPECT_TRUE(target.rfind(home.logs(), 0) == 0 || target == "anon_inode:[pidfd]") << fd << " -> " << target;
  }

  int64_t killed_at =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  process->kill(SIGKILL);
  ASSERT_TRUE(collector.wait_for_requests(1, 5s)) << home.log();
  const vt::HttpRequest request = collector.requests()[0];
  EXPECT_EQ(request.path, "/shutdown/termination");
  ASSERT_EQ(request.query_fields.size(), 7u) << request.request_line;
  const std::vector<std::pair<std::string, std::string>> expected{
      {"accountId", "acc-7"},          {"jvmId", "jvm-7"}, {"sessionId", "sess 7"}, {"operatingSystem", "linux"},
      {"type", "exited_unknown_code"}, {"value", "0"}};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(request.query_fields[i], expected[i]);
  EXPECT_EQ(request.query_fields[6].first, "timestamp");
  int64_t timestamp = std::stoll(request.query_fields[6].second);
  // The report leaves within a second or two of the kill (the monitor waits on the JVM's pidfd).
  EXPECT_GE(timestamp, killed_at - 1000);
  EXPECT_LE(timestamp, killed_at + 2000) << "reported " << timestamp - killed_at << " ms after the kill";
  EXPECT_EQ(request.request_line,
            "POST /shutdown/termination?accountId=acc-7&jvmId=jvm-7&sessionId=sess+7"
            "&operatingSystem=linux&type=exited_unknown_code&value=0&timestamp=" +
                std::to_string(timestamp) + " HTTP/1.1");
  EXPECT_EQ(request.headers, form_headers(9));
  EXPECT_EQ(request.body, "crashLog=");

  // Having reported, the monitor ends. It was the only one: the second configuration kept it.
  EXPECT_TRUE(vt::wait_until([&] { return process_gone(monitor); }, 10s));
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("Process monitor succesfully started"), 1u) << log;
  EXPECT_EQ(log.count("DEBUG - Process exit monitor already running (pid " + std::to_string(monitor) + ")."), 1u)
      << log;
  EXPECT_EQ(collector.requests().size(), 1u);
  EXPECT_EQ(log.count("INFO  - Monitored process exited, no crash log found."), 1u) << log;
  EXPECT_TRUE(vt::list_directory(home.work()).empty());
}

TEST_P(ExitMonitor, SendsTheCrashLogOfACrashedJvm) {
  AgentHome home;
  vt::TestCollector collector;
  JvmOptions jvm = options(collector.port());
  // The environment's options come before the command line's, whose -XX:ErrorFile the JVM takes.
  jvm.process.env["JAVA_TOOL_OPTIONS"] = "-XX:ErrorFile=" + errors_.path() + "/overridden/hs_err_%p.log";
  ASSERT_EQ(run(home, "ExitScenarios.crash", jvm, vt::Exit::any)["crashing"], "true") << output();
  EXPECT_NE(last().signal == 0 ? last().exit_code : last().signal, 0);
  std::string crash_log = only_crash_log();
  ASSERT_TRUE(vt::contains(crash_log, "# A fatal error has been detected by the Java Runtime Environment"));

  ASSERT_TRUE(collector.wait_for_requests(1, 10s)) << home.log();
  const vt::HttpRequest request = collector.requests()[0];
  EXPECT_EQ(request.field("type"), "exited_unknown_code");
  ASSERT_EQ(request.body_fields.size(), 1u);
  EXPECT_EQ(request.body_fields[0].first, "crashLog");
  EXPECT_TRUE(request.body_fields[0].second == sanitised(crash_log)) << "crash log differs";
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  EXPECT_EQ(home.log().count("INFO  - Monitored process exited, crash log found."), 1u);
}

TEST_P(ExitMonitor, SavesTheReportWhenTheCollectorIsDown) {
  AgentHome home;
  auto results = run(home, "ExitScenarios.crash", options(TestCollector::closed_port()), vt::Exit::any);
  ASSERT_EQ(results["crashing"], "true") << output();
  std::string expected_crash_log = sanitised(only_crash_log());

  ASSERT_TRUE(vt::wait_until([&] { return home.log().contains("Could not send termination notification"); }, 10s))
      << home.log();
  std::string saved;
  ASSERT_TRUE(vt::wait_until(
      [&] {
        std::vector<std::string> entries = vt::list_directory(home.work());
        if (entries.size() != 1) return false;
        saved = entries[0];
        return vt::read_file(home.work() + "/" + saved + "/hs_err.log").size() == expected_crash_log.size();
      },
      10s))
      << home.log();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(saved, match, std::regex(R"(exit_(\d+))"))) << saved;
  std::string directory = home.work() + "/" + saved;
  EXPECT_EQ(vt::list_directory(directory), (std::vector<std::string>{"hs_err.log", "parameters.txt"}));
  EXPECT_EQ(vt::read_file(directory + "/parameters.txt"),
            "accountId=acc-7\njvmId=jvm-7\nsessionId=sess+7\noperatingSystem=linux\ntype=exited_unknown_code\n"
            "value=0\ntimestamp=" +
                match[1].str() + "\n");
  EXPECT_TRUE(vt::read_file(directory + "/hs_err.log") == expected_crash_log);
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Failed to connect with any resolved address. (http_open:141)"), 1u) << log;
  EXPECT_EQ(log.count("WARN  - Could not send termination notification, saving."), 1u);
}

TEST_P(ExitMonitor, StartsTheUploaderFork) {
  AgentHome home;
  EXPECT_EQ(run(home, "ExitScenarios.fork", options(9))["fork"], "true");
  std::string marker = home.work() + "/forked_job.started";
  ASSERT_TRUE(vt::wait_until([&] { return vt::file_exists(marker); }, 60s)) << home.log();
  EXPECT_TRUE(
      vt::wait_until([&] { return vt::read_file(marker) == "mode=all\nhome=" + home.home() + "\nfork=1\n"; }, 5s))
      << vt::read_file(marker);
}

}  // namespace
