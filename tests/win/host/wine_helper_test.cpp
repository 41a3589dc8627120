// vorkel.dll's helper modes as Windows starts them (rundll32.exe DLL,agent_win32_entry MODE ...),
// run under Wine, against the loopback test collector and real Windows processes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "test_collector.h"
#include "test_util.h"

namespace {

std::string env(const char *name) {
  const char *value = getenv(name);
  return value != nullptr ? value : "";
}

// The Windows name of a path of this machine (Wine's drive Z: is the root).
std::string windows_path(const std::string &path) {
  std::string result = "Z:" + path;
  for (char &c : result) {
    if (c == '/') c = '\\';
  }
  return result;
}

// An agent home on this machine with the DLL in lib/, as an installation has it.
class WineHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env("VORKEL_WIN_AGENT_DLL").empty()) << "run through ctest in the Windows build";
    ASSERT_EQ(mkdir((home_ / "lib").c_str(), 0755), 0);
    ASSERT_TRUE(vt::copy_file(env("VORKEL_WIN_AGENT_DLL"), home_ / "lib/vorkel.dll"));
    ASSERT_EQ(mkdir((home_ / "work").c_str(), 0755), 0);
    remove_stale_crash_logs();
  }

  // Wine hands out process ids again soon: a crash log an earlier probe left in the temporary
  // directory would be found for a new probe of the same id.
  static void remove_stale_crash_logs() {
    std::string users = env("WINEPREFIX") + "/drive_c/users";
    for (const std::string &user : vt::list_directory(users)) {
      for (const char *temp : {"/Temp", "/AppData/Local/Temp"}) {
        std::string directory = users + "/" + user + temp;
        for (const std::string &path : vt::entries_with_prefix(directory, "hs_err_pid")) unlink(path.c_str());
      }
    }
  }

  vt::ProcessResult rundll(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {"wine-run.sh", "rundll32.exe",
                                     windows_path(home_ / "lib/vorkel.dll") + ",agent_win32_entry"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    vt::ProcessOptions options;
    options.timeout = std::chrono::seconds(120);
    return vt::run_process(env("VORKEL_WINE_RUN"), argv, options);
  }

  vt::BackgroundProcess *start_probe(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {"wine-run.sh", env("VORKEL_WIN_PROBE")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    probes_.push_back(std::make_unique<vt::BackgroundProcess>(env("VORKEL_WINE_RUN"), argv));
    return probes_.back().get();
  }

  std::string native_log() {
    std::vector<std::string> names = vt::list_directory(home_ / "logs");
    return names.empty() ? "" : vt::read_file(home_ / ("logs/" + names[0]));
  }

  bool wait_for_log(const std::string &text) {
    return vt::wait_until([&] { return vt::contains(native_log(), text); }, std::chrono::seconds(120),
                          std::chrono::milliseconds(100));
  }

  std::string wait_for_pid(const std::string &file) {
    vt::wait_until([&] { return !vt::read_file(file).empty(); }, std::chrono::seconds(120));
    return vt::read_file(file);
  }

  vt::TempDir home_{"vorkel-wine"};
  std::vector<std::unique_ptr<vt::BackgroundProcess>> probes_;
};

TEST_F(WineHelpers, NotifySendsTheNotificationByteForByte) {
  vt::TestCollector collector;
  vt::ProcessResult result = rundll({"notify", "127.0.0.1", std::to_string(collector.port()), "5", "acc-1", "jvm 1",
                                     "session/1", "{\"type\":\"heap\"}", "1700000000123", "start", ""});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  ASSERT_TRUE(collector.wait_for_requests(1, std::chrono::seconds(30)));
  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw,
            "POST /oom/notification?version=5&accountId=acc-1&jvmId=jvm+1&sessionId=session%2f1"
            "&description=%7b%22type%22%3a%22heap%22%7d&timestamp=1700000000123&status=start&message="
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nConnection: Close\r\n\r\n");
  std::string log = native_log();
  EXPECT_TRUE(vt::contains(log, "[notify  :")) << log;
  EXPECT_TRUE(vt::contains(log, "INFO  - Sending OOM status notification start: .")) << log;
  EXPECT_FALSE(vt::contains(log, "ERROR")) << log;
}

TEST_F(WineHelpers, WrongArgumentsAreLoggedAndEndTheHelperWithCodeOne) {
  vt::TestCollector collector;
  vt::ProcessResult result =
      rundll({"notify", "127.0.0.1", std::to_string(collector.port()), "5", "a", "j", "s", "d", "1", "start"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(rundll({"monitor", "1234", "work"}).exit_code, 1);
  EXPECT_EQ(rundll({"dump"}).exit_code, 1);
  EXPECT_EQ(rundll({}).exit_code, 1);
  std::string log = native_log();
  EXPECT_TRUE(vt::contains(log, "ERROR - Invalid number of arguments to OOM notify, expected 11, got 10.")) << log;
  EXPECT_TRUE(vt::contains(log, "ERROR - Process exit monitor got wrong number of parameters 3, expected 9.")) << log;
  EXPECT_TRUE(vt::contains(log, "ERROR - Unknown execution type: dump")) << log;
  EXPECT_TRUE(vt::contains(log, "ERROR - No arguments given for execution.")) << log;
  EXPECT_EQ(collector.connection_count(), 0u);
}

TEST_F(WineHelpers, MonitorReportsAWindowsProcessExitWithItsCodeAndCrashLog) {
  vt::TestCollector collector;
  std::string pid_file = home_ / "pid", release = home_ / "release";
  vt::BackgroundProcess *probe = start_probe(
      {"exit", "3", windows_path(pid_file), windows_path(release), "# A fatal error\tin the probe\n\x1b[0m"});
  std::string pid = wait_for_pid(pid_file);
  ASSERT_FALSE(pid.empty());
  vt::BackgroundProcess monitor(
      env("VORKEL_WINE_RUN"),
      {"wine-run.sh", "rundll32.exe", windows_path(home_ / "lib/vorkel.dll") + ",agent_win32_entry", "monitor", pid,
       windows_path(home_ / "work"), "acc", "jvm-7", "sess", "127.0.0.1", std::to_string(collector.port()), ""});
  ASSERT_TRUE(wait_for_log("Process monitor succesfully started, monitoring PID " + pid + "."));
  EXPECT_EQ(collector.connection_count(), 0u);  // nothing before the process ends
  ASSERT_TRUE(vt::write_file(release, "go"));
  EXPECT_EQ(probe->wait(std::chrono::seconds(60)).exit_code, 3);
  ASSERT_TRUE(collector.wait_for_requests(1, std::chrono::seconds(60)));
  EXPECT_EQ(monitor.wait(std::chrono::seconds(60)).exit_code, 0);
  vt::HttpRequest request = collector.requests()[0];
  EXPECT_EQ(request.path, "/shutdown/termination");
  EXPECT_EQ(request.field("accountId"), "acc");
  EXPECT_EQ(request.field("jvmId"), "jvm-7");
  EXPECT_EQ(request.field("operatingSystem"), "windows");
  EXPECT_EQ(request.field("type"), "exited");
  EXPECT_EQ(request.field("value"), "3");
  EXPECT_EQ(request.field("crashLog"), "# A fatal error\tin the probe\n?[0m");
  EXPECT_TRUE(vt::contains(native_log(), "INFO  - Monitored process exited, crash log found.")) << native_log();
}

TEST_F(WineHelpers, MonitorSavesTheReportWhenTheCollectorIsDown) {
  int closed_port = 0;
  {
    vt::TestCollector gone;
    closed_port = gone.port();
  }
  std::string pid_file = home_ / "pid", release = home_ / "release";
  vt::BackgroundProcess *probe = start_probe({"exit", "0", windows_path(pid_file), windows_path(release)});
  std::string pid = wait_for_pid(pid_file);
  ASSERT_FALSE(pid.empty());
  vt::BackgroundProcess monitor(
      env("VORKEL_WINE_RUN"),
      {"wine-run.sh", "rundll32.exe", windows_path(home_ / "lib/vorkel.dll") + ",agent_win32_entry", "monitor", pid,
       windows_path(home_ / "work"), "acc", "jvm", "sess", "127.0.0.1", std::to_string(closed_port), ""});
  ASSERT_TRUE(wait_for_log("monitoring PID " + pid + "."));
  ASSERT_TRUE(vt::write_file(release, "go"));
  EXPECT_EQ(probe->wait(std::chrono::seconds(60)).exit_code, 0);
  EXPECT_EQ(monitor.wait(std::chrono::seconds(90)).exit_code, 0);
  std::vector<std::string> saved = vt::list_directory(home_ / "work");
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].rfind("exit_", 0), 0u);
  // A text file of Windows: its lines end in CR LF.
  std::string parameters = vt::read_file(home_ / ("work/" + saved[0] + "/parameters.txt"));
  EXPECT_EQ(vt::count_occurrences(parameters, "\r\n"), 7u) << parameters;
  parameters.erase(std::remove(parameters.begin(), parameters.end(), '\r'), parameters.end());
  std::vector<std::string> lines = vt::split_lines(parameters);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "accountId=acc");
  EXPECT_EQ(lines[3], "operatingSystem=windows");
  EXPECT_EQ(lines[4], "type=exited");
  EXPECT_EQ(lines[5], "value=0");
  EXPECT_EQ(lines[6], "timestamp=" + saved[0].substr(5));
  EXPECT_EQ(vt::read_file(home_ / ("work/" + saved[0] + "/hs_err.log")), "");
  EXPECT_TRUE(vt::contains(native_log(), "WARN  - Could not send termination notification, saving."));
}

// The whole road: a process acting as the JVM starts its monitor the agent's way (execute_self,
// rundll32.exe from SystemRoot, agent_win32_entryW), which reports its end and its crash log.
TEST_F(WineHelpers, AnAgentProcessStartsItsOwnMonitorThroughRundll32) {
  vt::TestCollector collector;
  std::string pid_file = home_ / "pid", release = home_ / "release";
  std::string pattern = windows_path(home_ / "work") + "\\crash_%p.log";
  vt::BackgroundProcess *probe = start_probe(
      {"agent", windows_path(home_ / "lib/vorkel.dll"), windows_path(home_ / "work"), std::to_string(collector.port()),
       "5", windows_path(pid_file), windows_path(release), pattern, "fatal error in agent probe"});
  std::string pid = wait_for_pid(pid_file);
  ASSERT_FALSE(pid.empty());
  ASSERT_TRUE(wait_for_log("Process monitor succesfully started, monitoring PID " + pid + ".")) << native_log();
  ASSERT_TRUE(vt::write_file(release, "go"));
  EXPECT_EQ(probe->wait(std::chrono::seconds(60)).exit_code, 5);
  ASSERT_TRUE(collector.wait_for_requests(1, std::chrono::seconds(60)));
  vt::HttpRequest request = collector.requests()[0];
  EXPECT_EQ(request.path, "/shutdown/termination");
  EXPECT_EQ(request.field("accountId"), "probe-account");
  EXPECT_EQ(request.field("type"), "exited");
  EXPECT_EQ(request.field("value"), "5");
  EXPECT_EQ(request.field("crashLog"), "fatal error in agent probe");
  std::string log = native_log();
  EXPECT_TRUE(vt::contains(log, "[monitor :")) << log;
  EXPECT_FALSE(vt::contains(log, "ERROR")) << log;
}

// The snapshot archive as the Windows build writes it reads back with this machine's tar and bzip2
// byte for byte: line ends, a Ctrl-Z and a graph larger than the compressor's input buffer pass
// through unchanged.
TEST_F(WineHelpers, ASnapshotArchiveWrittenOnWindowsIsReadBackByTarAndBzip2) {
  std::string info = "Dump version: 5\nline\r\nend\x1a after the end-of-file byte\n";
  std::string graph;
  uint32_t state = 12345;
  for (size_t i = 0; i < (5u << 20) + 3; ++i) {
    state = state * 1103515245u + 12345u;
    graph += (char)(state >> 24);
  }
  ASSERT_TRUE(vt::write_file(home_ / "oom_info.txt", info));
  ASSERT_TRUE(vt::write_file(home_ / "oom_graph.bin", graph));
  std::vector<std::string> argv = {"wine-run.sh",
                                   env("VORKEL_WIN_PROBE"),
                                   "archive",
                                   windows_path(home_ / "oom_info.txt"),
                                   windows_path(home_ / "oom_graph.bin"),
                                   windows_path(home_ / "oom.tar.bz2")};
  vt::ProcessOptions options;
  options.timeout = std::chrono::seconds(300);
  vt::ProcessResult archive = vt::run_process(env("VORKEL_WINE_RUN"), argv, options);
  ASSERT_EQ(archive.exit_code, 0) << archive.err;

  ASSERT_TRUE(vt::make_directories({home_ / "out"}));
  vt::ProcessResult extract = vt::run_process("/bin/tar", {"tar", "-xjf", home_ / "oom.tar.bz2", "-C", home_ / "out"});
  ASSERT_EQ(extract.exit_code, 0) << extract.err;
  EXPECT_EQ(vt::list_directory(home_ / "out"), (std::vector<std::string>{"oom_graph.bin", "oom_info.txt"}));
  EXPECT_TRUE(vt::read_file(home_ / "out/oom_info.txt") == info);
  EXPECT_TRUE(vt::read_file(home_ / "out/oom_graph.bin") == graph);
}

}  // namespace
