// A short soak: requested snapshots of one JVM under load (statistics recording, transactions with
// file I/O and contention), each snapshot consistent and uploaded, the statistics exact around
// every snapshot, and the JVM's descriptors, threads and memory back at their level with no child
// left behind. bench/soak.sh runs the long version and prints the curve.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "jvm_test.h"
#include "snapshot_reader.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;

// The CURVE line of sample n as its fields (rss_kb, fds, threads, ...); empty when missing.
std::map<std::string, long> curve_sample(const std::string &out, int n) {
  std::map<std::string, long> fields;
  for (const std::string &line : vt::split_lines(out)) {
    if (line.rfind("CURVE n=" + std::to_string(n) + " ", 0) != 0) continue;
    std::istringstream words(line.substr(6));
    for (std::string word; words >> word;) {
      size_t equals = word.find('=');
      if (equals != std::string::npos) fields[word.substr(0, equals)] = std::stol(word.substr(equals + 1));
    }
  }
  return fields;
}

class Soak : public vt::JvmTest {};
VT_JDK_TEST_SUITE(Soak);

TEST_P(Soak, SnapshotsUnderLoadAreConsistentKeepTheCountsAndLeaveNothingBehind) {
  constexpr int kSnapshots = 20;
  constexpr int kEvery = 5;
  vt::TestCollector collector;
  AgentHome home(true);
  auto results =
      run(home, "SoakScenarios.soak",
          {.agent_options = collector.agent_options() +
                            ",filestreams=true,forkargs=-Xshare:auto;-XX:TieredStopAtLevel=1;-XX:+UseSerialGC",
           .jvm_flags = {"-Xms64m", "-Xmx64m", "-XX:+AlwaysPreTouch"},
           .args = {std::to_string(kSnapshots), std::to_string(kEvery), "3", home.work()},
           .process = {.timeout = std::chrono::seconds(300)}});
  EXPECT_RESULTS(results, {{"missing_directories", "0"},
                           {"kept_mismatches", "0"},
                           {"sample_mismatches", "0"},
                           {"failures", "0"},
                           {"refused", "0"},
                           {"children_inheriting", "0"},
                           {"end_children", "0"},
                           {"end_zombies", "0"},
                           {"reports_sent", "true"}});
  EXPECT_EQ(results["first_failure"], "none");
  EXPECT_GT(std::stol(results["transactions"]), 100) << output();
  EXPECT_GT(std::stol(results["long_holds"]), 0);
  // The helpers and uploader forks were seen running, none holding the file the JVM keeps open.
  EXPECT_GT(std::stol(results["children_seen"]), 0);

  // After warm-up (the first sample after snapshots) against the end, once every child had ended.
  auto base = curve_sample(last().out, kEvery);
  auto end = curve_sample(last().out, kSnapshots + 1);
  ASSERT_FALSE(base.empty() || end.empty()) << output();
  EXPECT_LE(end["fds"], base["fds"] + 2) << output();
  EXPECT_LE(end["threads"], base["threads"] + 3) << output();
  // Under AddressSanitizer freed memory waits in its quarantine (256 MB by default), so the
  // resident size says nothing about leaks there; descriptors and threads still do.
  const char *preload = getenv("LD_PRELOAD");
  bool sanitized = preload != nullptr && strstr(preload, "asan") != nullptr;
  if (!sanitized) EXPECT_LE(end["rss_kb"], base["rss_kb"] + 16 * 1024) << output();

  std::vector<std::string> dirs = vt::entries_with_prefix(home.work(), "oom_");
  ASSERT_EQ(dirs.size(), (size_t)kSnapshots);
  for (const std::string &dir : dirs) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(vt::read_file(dir + "/status.txt"), "compressing 0");
    snapshot_reader::Report report = snapshot_reader::read_directory(dir);
    EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
    EXPECT_TRUE(vt::file_exists(dir + "/upload.done"));
  }
  size_t notifications = 0, uploads = 0, reports = 0;
  for (const vt::HttpRequest &request : collector.requests()) {
    notifications += request.path == "/oom/notification";
    uploads += request.path == "/oom/upload";
    reports += request.path == "/transaction/report";
  }
  EXPECT_EQ(notifications, (size_t)kSnapshots);
  EXPECT_EQ(uploads, (size_t)kSnapshots);
  EXPECT_GT(reports, 0u);
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

}  // namespace
