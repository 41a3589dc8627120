// The archive in real JVMs: compressDump and the snapshot directory lock called from Java, the
// uploader fork's arguments, and the fork itself packing and posting snapshot directories to a
// collector on loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <random>

#include "jvm.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

class ArchiveJvm : public ::testing::TestWithParam<vt::Jdk> {};

INSTANTIATE_TEST_SUITE_P(Jdks, ArchiveJvm, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

std::string random_bytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string data(count, '\0');
  for (char &c : data) c = (char)(generator() & 0xff);
  return data;
}

std::string info_text() {
  std::string text = "Metadata\nversion=5\n";
  for (int i = 0; i < 5000; ++i) text += "class " + std::to_string(i) + " java.util.HashMap$Node size=32\n";
  return text;
}

bool mkdir_p(const std::string &path) { return vt::run_process("/bin/mkdir", {"mkdir", "-p", path}).exit_code == 0; }

// Extracts the archive with the system's tar and checks that the files came back unchanged.
void expect_archive_holds(const std::string &archive, const std::string &info, const std::string &graph) {
  EXPECT_EQ(vt::run_process("/bin/bzip2", {"bzip2", "-t", archive}).exit_code, 0);
  vt::TempDir out("vorkel-extract");
  vt::ProcessResult extract = vt::run_process("/bin/tar", {"tar", "-xjf", archive, "-C", out.path()});
  ASSERT_EQ(extract.exit_code, 0) << extract.err;
  EXPECT_EQ(vt::list_directory(out.path()), (std::vector<std::string>{"oom_graph.bin", "oom_info.txt"}));
  EXPECT_TRUE(vt::read_file(out / "oom_info.txt") == info);
  EXPECT_TRUE(vt::read_file(out / "oom_graph.bin") == graph);
}

TEST_P(ArchiveJvm, CompressDumpPacksFilesAndRefusesBadArguments) {
  AgentHome home;
  std::string info = info_text(), graph = random_bytes(300000, 1);
  ASSERT_TRUE(vt::write_file(home.work() + "/info", info));
  ASSERT_TRUE(vt::write_file(home.work() + "/graph", graph));
  std::string archive = home.work() + "/snapshot.tar.bz2";
  JvmOptions options;
  options.args = {"ArchiveScenarios.compress", home.work() + "/info", home.work() + "/graph", archive};
  vt::ProcessResult run = vt::run_jvm(GetParam(), home, options);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  auto results = vt::scenario_results(run.out);
  EXPECT_EQ(results["compressed"], "true");
  EXPECT_EQ(results["logger_saw_start"], "true");  // the lines reach the Java logger too
  EXPECT_EQ(results["null_info"], "false");
  EXPECT_EQ(results["null_graph"], "false");
  EXPECT_EQ(results["null_archive"], "false");
  EXPECT_EQ(results["logger_saw_null"], "true");
  EXPECT_EQ(results["unwritable"], "false");
  EXPECT_EQ(results["logger_saw_unwritable"], "true");
  expect_archive_holds(archive, info, graph);

  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - compressDump: argument infoPath is null, no archive is written.").size(), 1u);
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - compressDump: argument archivePath is null, no archive is written.").size(),
            1u);
  EXPECT_EQ(vt::log_lines_with(log, "Finished compression to " + archive + ".").size(), 1u) << log;
}

TEST_P(ArchiveJvm, DumpAccessLockExcludesOtherProcessesUntilReleased) {
  AgentHome home;
  std::string lock = home.work() + "/context.lock";
  std::string go = home.work() + "/go";
  std::vector<std::string> command =
      vt::jvm_command(GetParam(), home, JvmOptions{.args = {"ArchiveScenarios.lock", lock, go}});
  vt::BackgroundProcess jvm(GetParam().java, command);
  ASSERT_TRUE(vt::wait_until([&] { return vt::contains(jvm.out(), "HOLDING"); }, std::chrono::seconds(60)))
      << jvm.out() << jvm.err();
  // Another process cannot have the lock while the JVM holds it.
  EXPECT_EQ(vt::run_process("/usr/bin/flock", {"flock", "-n", "-x", lock, "true"}).exit_code, 1);
  ASSERT_TRUE(vt::write_file(go, ""));
  vt::ProcessResult run = jvm.wait(std::chrono::seconds(60));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(vt::run_process("/usr/bin/flock", {"flock", "-n", "-x", lock, "true"}).exit_code, 0);

  auto results = vt::scenario_results(run.out);
  EXPECT_EQ(results["locked"], "true");
  EXPECT_EQ(results["second_lock"], "-1");
  EXPECT_EQ(results["relocked"], "true");
  EXPECT_EQ(results["stdin_still_open"], "true");
  EXPECT_EQ(results["logger_saw_refusal"], "true");
  EXPECT_EQ(results["null_lock"], "-1");
  EXPECT_EQ(results["logger_saw_null"], "true");
  EXPECT_EQ(results["missing_directory_lock"], "-1");
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "ERROR - File lock in use.").size(), 1u);
}

TEST_P(ArchiveJvm, PremainGivesTheForkTheCollectorAndTheLibrary) {
  AgentHome home(true);
  JvmOptions options;
  options.agent_options = "host=127.0.0.5,port=4242,forkargs=-Dx=1;-Xss2m";
  options.args = {"ArchiveScenarios.forkArguments"};
  vt::ProcessResult run = vt::run_jvm(GetParam(), home, options);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  auto results = vt::scenario_results(run.out);
  EXPECT_EQ(results["fork_argument_count"], "5");
  EXPECT_EQ(results["fork_argument_0"], "-Dx=1");
  EXPECT_EQ(results["fork_argument_1"], "-Xss2m");
  EXPECT_EQ(results["fork_argument_2"], "-Dvorkel.collector.host=127.0.0.5");
  EXPECT_EQ(results["fork_argument_3"], "-Dvorkel.collector.port=4242");
  EXPECT_EQ(results["fork_argument_4"], "-Dvorkel.library=" + home.lib());
}

// ---------------------------------------------------------------------------------------------
// The uploader fork, started as the agent starts it, on snapshot directories made by hand.

struct Snapshot {
  std::string directory, info, graph;
};

const char *const kParameters =
    "version=5\naccountId=acc+1\njvmId=jvm%2f7\nsessionId=s-9\n"
    "description=%7b%22type%22%3a%22heap%22%2c%22flags%22%3a3%2c%22description%22%3a%22Java+heap+space%22%7d\n"
    "timestamp=1700000000123\n";

Snapshot make_snapshot(const std::string &work, const std::string &name, unsigned seed) {
  Snapshot snapshot{work + "/" + name, info_text() + name + "\n", random_bytes(200000 + seed, seed)};
  EXPECT_TRUE(mkdir_p(snapshot.directory));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/parameters.txt", kParameters));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/status.txt", "compressing 0"));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/context.lock", ""));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/oom_info.txt", snapshot.info));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/oom_graph.bin", snapshot.graph));
  return snapshot;
}

std::vector<std::string> fork_command(const vt::Jdk &jdk, const AgentHome &home, int port, const std::string &mode,
                                      const std::string &directory) {
  return {jdk.java,
          "-Dvorkel.collector.host=127.0.0.1",
          "-Dvorkel.collector.port=" + std::to_string(port),
          "-Dvorkel.library=" + home.lib(),
          "-Xmx256m",
          "-DvorkelFork=1",
          "-jar",
          home.jar(),
          "forked_job",
          mode,
          directory};
}

vt::ProcessOptions fork_environment(const AgentHome &home) {
  vt::ProcessOptions options;
  options.env["VORKEL_HOME"] = home.home();
  return options;
}

vt::ProcessResult run_fork(const vt::Jdk &jdk, const AgentHome &home, int port, const std::string &mode,
                           const std::string &directory) {
  return vt::run_process(jdk.java, fork_command(jdk, home, port, mode, directory), fork_environment(home));
}

TEST_P(ArchiveJvm, ForkPacksTheSnapshotAndPostsItToTheCollector) {
  AgentHome home;
  vt::TestCollector collector;
  Snapshot snapshot = make_snapshot(home.work(), "oom_1700000000123", 5);
  vt::ProcessResult run = run_fork(GetParam(), home, collector.port(), "oom", snapshot.directory);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");  // nothing on the console, not even the native-access warning of newer JDKs
  EXPECT_EQ(vt::read_file(snapshot.directory + "/forked_job.started"),
            "mode=oom\nhome=" + home.home() + "\nfork=1\n");

  std::string archive = snapshot.directory + "/oom_1700000000123.tar.bz2";
  ASSERT_TRUE(vt::file_exists(archive)) << run.err;
  EXPECT_FALSE(vt::file_exists(archive + ".part"));
  expect_archive_holds(archive, snapshot.info, snapshot.graph);
  EXPECT_TRUE(vt::file_exists(snapshot.directory + "/upload.done"));

  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  const vt::HttpRequest &upload = requests[0];
  EXPECT_EQ(upload.method, "POST");
  EXPECT_EQ(upload.path, "/oom/upload");
  EXPECT_EQ(upload.field("directory"), "oom_1700000000123");
  EXPECT_EQ(upload.field("archive"), "oom_1700000000123.tar.bz2");
  EXPECT_EQ(upload.field("version"), "5");
  EXPECT_EQ(upload.field("accountId"), "acc 1");
  EXPECT_EQ(upload.field("jvmId"), "jvm/7");
  EXPECT_EQ(upload.field("sessionId"), "s-9");
  EXPECT_EQ(upload.field("description"), R"({"type":"heap","flags":3,"description":"Java heap space"})");
  EXPECT_EQ(upload.field("timestamp"), "1700000000123");
  EXPECT_EQ(upload.header("Content-Type"), "application/x-bzip2");
  EXPECT_TRUE(upload.body == vt::read_file(archive)) << upload.body.size();

  // The fork logs to the agent home's native log as "fork"; the lock was taken and given back.
  std::string log = home.native_log();
  std::vector<std::string> started = vt::log_lines_with(log, "Starting to compress files");
  ASSERT_EQ(started.size(), 1u) << log;
  EXPECT_TRUE(vt::contains(started[0], "[fork    :")) << started[0];
  EXPECT_EQ(vt::run_process("/usr/bin/flock", {"flock", "-n", "-x", snapshot.directory + "/context.lock", "true"})
                .exit_code,
            0);
}

TEST_P(ArchiveJvm, ForkWaitsWhileTheAgentStillHoldsTheDirectory) {
  AgentHome home;
  vt::TestCollector collector;
  Snapshot snapshot = make_snapshot(home.work(), "oom_42", 6);
  vt::BackgroundProcess holder("/usr/bin/flock",
                               {"flock", "-x", snapshot.directory + "/context.lock", "sleep", "3"});
  ASSERT_TRUE(vt::wait_until(
      [&] {
        return vt::run_process("/usr/bin/flock", {"flock", "-n", "-x", snapshot.directory + "/context.lock", "true"})
                   .exit_code == 1;
      },
      std::chrono::seconds(10)));
  vt::ProcessResult run = run_fork(GetParam(), home, collector.port(), "oom", snapshot.directory);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_FALSE(holder.running());  // it finished only after the holder let go
  expect_archive_holds(snapshot.directory + "/oom_42.tar.bz2", snapshot.info, snapshot.graph);
  EXPECT_EQ(collector.requests().size(), 1u);
}

TEST_P(ArchiveJvm, ForkKeepsAnUndeliveredArchiveForTheNextRun) {
  AgentHome home;
  vt::TestCollector refusing(vt::CollectorAnswer::no_content);
  Snapshot snapshot = make_snapshot(home.work(), "oom_7", 7);
  vt::ProcessResult run = run_fork(GetParam(), home, refusing.port(), "oom", snapshot.directory);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "The collector answered 204 to the upload of")) << run.err;
  std::string archive = snapshot.directory + "/oom_7.tar.bz2";
  ASSERT_TRUE(vt::file_exists(archive));
  EXPECT_FALSE(vt::file_exists(snapshot.directory + "/upload.done"));

  // Mode "all" sends the archive that is there, without packing the directory again.
  ASSERT_TRUE(vt::write_file(snapshot.directory + "/oom_info.txt", "changed since"));
  vt::TestCollector collector;
  run = run_fork(GetParam(), home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  ASSERT_EQ(collector.requests().size(), 1u);
  EXPECT_TRUE(collector.requests()[0].body == vt::read_file(archive));
  expect_archive_holds(archive, snapshot.info, snapshot.graph);
  EXPECT_TRUE(vt::file_exists(snapshot.directory + "/upload.done"));
}

TEST_P(ArchiveJvm, ForkInModeAllSendsEverySnapshotNotSentYet) {
  AgentHome home;
  vt::TestCollector collector;
  Snapshot first = make_snapshot(home.work(), "oom_1", 1);
  Snapshot busy = make_snapshot(home.work(), "oom_2", 2);
  Snapshot sent = make_snapshot(home.work(), "oom_3", 3);
  ASSERT_TRUE(vt::write_file(sent.directory + "/oom_3.tar.bz2", "sent before"));
  ASSERT_TRUE(vt::write_file(sent.directory + "/upload.done", ""));
  ASSERT_TRUE(mkdir_p(home.work() + "/oom_4"));  // a snapshot that ended with a fatal error
  ASSERT_TRUE(vt::write_file(home.work() + "/oom_4/status.txt", "cleanup 0"));
  ASSERT_TRUE(mkdir_p(home.work() + "/exit_5"));

  // The agent is still writing oom_2: the fork leaves it alone and does not wait for it.
  vt::BackgroundProcess holder("/usr/bin/flock", {"flock", "-x", busy.directory + "/context.lock", "sleep", "60"});
  ASSERT_TRUE(vt::wait_until(
      [&] {
        return vt::run_process("/usr/bin/flock", {"flock", "-n", "-x", busy.directory + "/context.lock", "true"})
                   .exit_code == 1;
      },
      std::chrono::seconds(10)));
  auto start = std::chrono::steady_clock::now();
  vt::ProcessResult run = run_fork(GetParam(), home, collector.port(), "all", home.work());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(run.exit_code, 1) << run.err;  // not everything could be sent
  EXPECT_TRUE(vt::contains(run.err, "oom_2 is locked by its writer")) << run.err;
  EXPECT_TRUE(vt::file_exists(home.work() + "/forked_job.started"));
  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].field("directory"), "oom_1");
  expect_archive_holds(first.directory + "/oom_1.tar.bz2", first.info, first.graph);
  EXPECT_FALSE(vt::file_exists(busy.directory + "/oom_2.tar.bz2"));
  EXPECT_EQ(vt::read_file(sent.directory + "/oom_3.tar.bz2"), "sent before");
  EXPECT_EQ(vt::list_directory(home.work() + "/oom_4"), std::vector<std::string>{"status.txt"});

  holder.kill(SIGKILL);
  holder.wait(std::chrono::seconds(10));
  run = run_fork(GetParam(), home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].field("directory"), "oom_2");
  expect_archive_holds(busy.directory + "/oom_2.tar.bz2", busy.info, busy.graph);
}

TEST_P(ArchiveJvm, ForkWithoutACollectorOrWithBadArgumentsFailsClearly) {
  AgentHome home;
  Snapshot snapshot = make_snapshot(home.work(), "oom_8", 8);
  std::vector<std::string> command = {GetParam().java, "-Xmx256m", "-DvorkelFork=1", "-jar", home.jar(),
                                      "forked_job", "oom", snapshot.directory};
  // Without -Dvorkel.library the fork finds the library under VORKEL_HOME.
  vt::ProcessResult run = vt::run_process(GetParam().java, command, fork_environment(home));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "No collector address given")) << run.err;
  expect_archive_holds(snapshot.directory + "/oom_8.tar.bz2", snapshot.info, snapshot.graph);

  run = run_fork(GetParam(), home, 1, "oom", home.work() + "/oom_missing");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "oom_missing is not a directory, nothing is done.")) << run.err;

  command = fork_command(GetParam(), home, 1, "sideways", snapshot.directory);
  run = vt::run_process(GetParam().java, command, fork_environment(home));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_TRUE(vt::contains(run.err, "Unknown uploader mode sideways")) << run.err;
}

}  // namespace
