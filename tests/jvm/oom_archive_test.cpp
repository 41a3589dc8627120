// The archive in real JVMs: compressDump and the snapshot directory lock called from Java, the
// uploader fork's arguments, and the fork itself packing and posting snapshot directories to a
// collector on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <random>

#include "jvm_test.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;

class ArchiveJvm : public vt::JvmTest {
 protected:
  // The uploader fork as the agent starts it, reporting to port.
  std::vector<std::string> fork_command(const AgentHome &home, int port, const std::string &mode,
                                        const std::string &directory, const std::string &flag = "-Dx=0") {
    return {jdk().java,
            flag,
            "-Xcheck:jni",
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
  vt::ProcessResult run_fork(const AgentHome &home, int port, const std::string &mode, const std::string &directory) {
    return run_command(home, fork_command(home, port, mode, directory));
  }
  vt::ProcessResult run_command(const AgentHome &home, const std::vector<std::string> &command) {
    vt::ProcessResult result = vt::run_process(jdk().java, command, {.env = {{"VORKEL_HOME", home.home()}}});
    vt::expect_no_warnings(result);
    return result;
  }
};
VT_JDK_TEST_SUITE(ArchiveJvm);

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

TEST_P(ArchiveJvm, CompressDumpPacksFilesAndRefusesBadArguments) {
  AgentHome home;
  std::string info = info_text(), graph = random_bytes(300000, 1);
  ASSERT_TRUE(vt::write_file(home.work() + "/info", info));
  ASSERT_TRUE(vt::write_file(home.work() + "/graph", graph));
  std::string archive = home.work() + "/snapshot.tar.bz2";
  auto results =
      run(home, "ArchiveScenarios.compress", {.args = {home.work() + "/info", home.work() + "/graph", archive}});
  ASSERT_EQ(last().exit_code, 0);
  // The lines reach the Java logger too.
  EXPECT_RESULTS(results, {{"compressed", "true"},
                           {"logger_saw_start", "true"},
                           {"null_info", "false"},
                           {"null_graph", "false"},
                           {"null_archive", "false"},
                           {"logger_saw_null", "true"},
                           {"unwritable", "false"},
                           {"logger_saw_unwritable", "true"}});
  vt::expect_snapshot_archive(archive, info, graph);

  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - compressDump: argument infoPath is null, no archive is written."), 1u);
  EXPECT_EQ(log.count("ERROR - compressDump: argument archivePath is null, no archive is written."), 1u);
  EXPECT_EQ(log.count("Finished compression to " + archive + "."), 1u) << log;
}

TEST_P(ArchiveJvm, DumpAccessLockExcludesOtherProcessesUntilReleased) {
  AgentHome home;
  std::string lock = home.work() + "/context.lock";
  std::string go = home.work() + "/go";
  auto jvm = start(home, "ArchiveScenarios.lock", {.args = {lock, go}});
  ASSERT_TRUE(vt::wait_until([&] { return vt::contains(jvm->out(), "HOLDING"); }, std::chrono::seconds(60)))
      << jvm->out() << jvm->err();
  // Another process cannot have the lock while the JVM holds it.
  EXPECT_TRUE(vt::lock_is_held(lock));
  ASSERT_TRUE(vt::write_file(go, ""));
  vt::ProcessResult run = jvm->wait(std::chrono::seconds(60));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  vt::expect_no_warnings(run);
  EXPECT_TRUE(vt::lock_is_free(lock));

  auto results = vt::scenario_results(run.out);
  EXPECT_RESULTS(results, {{"locked", "true"},
                           {"second_lock", "-1"},
                           {"relocked", "true"},
                           {"stdin_still_open", "true"},
                           {"logger_saw_refusal", "true"},
                           {"null_lock", "-1"},
                           {"logger_saw_null", "true"},
                           {"missing_directory_lock", "-1"}});
  EXPECT_EQ(home.log().count("ERROR - File lock in use."), 1u);
}

TEST_P(ArchiveJvm, PremainGivesTheForkTheCollectorAndTheLibrary) {
  AgentHome home(true);
  auto results =
      run(home, "ArchiveScenarios.forkArguments", {.agent_options = "host=127.0.0.5,port=4242,forkargs=-Dx=1;-Xss2m"});
  EXPECT_RESULTS(results, {{"fork_argument_count", "5"},
                           {"fork_argument_0", "-Dx=1"},
                           {"fork_argument_1", "-Xss2m"},
                           {"fork_argument_2", "-Dvorkel.collector.host=127.0.0.5"},
                           {"fork_argument_3", "-Dvorkel.collector.port=4242"},
                           {"fork_argument_4", "-Dvorkel.library=" + home.lib()}});
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
  EXPECT_TRUE(vt::make_directories({snapshot.directory}));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/parameters.txt", kParameters));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/status.txt", "compressing 0"));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/context.lock", ""));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/oom_info.txt", snapshot.info));
  EXPECT_TRUE(vt::write_file(snapshot.directory + "/oom_graph.bin", snapshot.graph));
  return snapshot;
}

TEST_P(ArchiveJvm, ForkPacksTheSnapshotAndPostsItToTheCollector) {
  AgentHome home;
  vt::TestCollector collector;
  Snapshot snapshot = make_snapshot(home.work(), "oom_1700000000123", 5);
  vt::ProcessResult run = run_fork(home, collector.port(), "oom", snapshot.directory);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");  // nothing on the console, not even the native-access warning of newer JDKs
  EXPECT_EQ(vt::read_file(snapshot.directory + "/forked_job.started"), "mode=oom\nhome=" + home.home() + "\nfork=1\n");

  std::string archive = snapshot.directory + "/oom_1700000000123.tar.bz2";
  ASSERT_TRUE(vt::file_exists(archive)) << run.err;
  EXPECT_FALSE(vt::file_exists(archive + ".part"));
  vt::expect_snapshot_archive(archive, snapshot.info, snapshot.graph);
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
  std::vector<std::string> started = home.log().lines_with("Starting to compress files");
  ASSERT_EQ(started.size(), 1u) << home.log();
  EXPECT_TRUE(vt::contains(started[0], "[fork    :")) << started[0];
  EXPECT_TRUE(vt::lock_is_free(snapshot.directory + "/context.lock"));
}

TEST_P(ArchiveJvm, ForkWaitsWhileTheAgentStillHoldsTheDirectory) {
  AgentHome home;
  vt::TestCollector collector;
  Snapshot snapshot = make_snapshot(home.work(), "oom_42", 6);
  vt::BackgroundProcess holder("/usr/bin/flock", {"flock", "-x", snapshot.directory + "/context.lock", "sleep", "3"});
  ASSERT_TRUE(
      vt::wait_until([&] { return vt::lock_is_held(snapshot.directory + "/context.lock"); }, std::chrono::seconds(10)));
  vt::ProcessResult run = run_fork(home, collector.port(), "oom", snapshot.directory);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_FALSE(holder.running());  // it finished only after the holder let go
  vt::expect_snapshot_archive(snapshot.directory + "/oom_42.tar.bz2", snapshot.info, snapshot.graph);
  EXPECT_EQ(collector.requests().size(), 1u);
}

TEST_P(ArchiveJvm, ForkKeepsAnUndeliveredArchiveForTheNextRun) {
  AgentHome home;
  vt::TestCollector refusing(vt::CollectorAnswer::no_content);
  Snapshot snapshot = make_snapshot(home.work(), "oom_7", 7);
  vt::ProcessResult run = run_fork(home, refusing.port(), "oom", snapshot.directory);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "The collector answered 204 to the upload of")) << run.err;
  std::string archive = snapshot.directory + "/oom_7.tar.bz2";
  ASSERT_TRUE(vt::file_exists(archive));
  EXPECT_FALSE(vt::file_exists(snapshot.directory + "/upload.done"));

  // Mode "all" sends the archive that is there, without packing the directory again.
  ASSERT_TRUE(vt::write_file(snapshot.directory + "/oom_info.txt", "changed since"));
  vt::TestCollector collector;
  run = run_fork(home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  ASSERT_EQ(collector.requests().size(), 1u);
  EXPECT_TRUE(collector.requests()[0].body == vt::read_file(archive));
  vt::expect_snapshot_archive(archive, snapshot.info, snapshot.graph);
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
  // oom_4 is a snapshot that ended with a fatal error.
  ASSERT_TRUE(vt::make_directories({home.work() + "/oom_4", home.work() + "/exit_5"}));
  ASSERT_TRUE(vt::write_file(home.work() + "/oom_4/status.txt", "cleanup 0"));

  // The agent is still writing oom_2: the fork leaves it alone and does not wait for it.
  vt::BackgroundProcess holder("/usr/bin/flock", {"flock", "-x", busy.directory + "/context.lock", "sleep", "60"});
  ASSERT_TRUE(
      vt::wait_until([&] { return vt::lock_is_held(busy.directory + "/context.lock"); }, std::chrono::seconds(10)));
  auto start = std::chrono::steady_clock::now();
  vt::ProcessResult run = run_fork(home, collector.port(), "all", home.work());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(run.exit_code, 1) << run.err;  // not everything could be sent
  EXPECT_TRUE(vt::contains(run.err, "oom_2 is locked by its writer")) << run.err;
  EXPECT_TRUE(vt::file_exists(home.work() + "/forked_job.started"));
  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].field("directory"), "oom_1");
  vt::expect_snapshot_archive(first.directory + "/oom_1.tar.bz2", first.info, first.graph);
  EXPECT_FALSE(vt::file_exists(busy.directory + "/oom_2.tar.bz2"));
  EXPECT_EQ(vt::read_file(sent.directory + "/oom_3.tar.bz2"), "sent before");
  EXPECT_EQ(vt::list_directory(home.work() + "/oom_4"), std::vector<std::string>{"status.txt"});

  holder.kill(SIGKILL);
  holder.wait(std::chrono::seconds(10));
  run = run_fork(home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].field("directory"), "oom_2");
  vt::expect_snapshot_archive(busy.directory + "/oom_2.tar.bz2", busy.info, busy.graph);
}

TEST_P(ArchiveJvm, ForkWithoutACollectorOrWithBadArgumentsFailsClearly) {
  AgentHome home;
  Snapshot snapshot = make_snapshot(home.work(), "oom_8", 8);
  // Without -Dvorkel.library the fork finds the library under VORKEL_HOME.
  vt::ProcessResult run = run_command(
      home, {jdk().java, "-Xmx256m", "-DvorkelFork=1", "-jar", home.jar(), "forked_job", "oom", snapshot.directory});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "No collector address given")) << run.err;
  vt::expect_snapshot_archive(snapshot.directory + "/oom_8.tar.bz2", snapshot.info, snapshot.graph);

  run = run_fork(home, 1, "oom", home.work() + "/oom_missing");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(vt::contains(run.err, "oom_missing is not a directory, nothing is done.")) << run.err;

  run = run_fork(home, 1, "sideways", snapshot.directory);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_TRUE(vt::contains(run.err, "Unknown uploader mode sideways")) << run.err;
}

// A collector that fails in each way: the fork gives up after its time-out (3 s here) at the
// latest, says why, and keeps the archive for the next run, which delivers every one of them.
TEST_P(ArchiveJvm, ForkGivesUpOnAFailingCollectorWithinItsTimeOutAndKeepsTheArchive) {
  AgentHome home;
  struct Fault {
    const char *name;
    std::optional<vt::CollectorAnswer> answer;  // none: nobody listens
    const char *error;
  };
  const char *const timed_out = "timed out: nothing moved for 3000 ms.";
  const Fault faults[] = {{"silent", vt::CollectorAnswer::silent, timed_out},
                          {"deaf", vt::CollectorAnswer::deaf, timed_out},
                          {"slow", vt::CollectorAnswer::slow, timed_out},
                          {"reset", vt::CollectorAnswer::reset, "failed: java.net.SocketException"},
                          {"down", std::nullopt, "failed: java.net.ConnectException"}};
  std::vector<Snapshot> snapshots;
  for (const Fault &fault : faults) {
    SCOPED_TRACE(fault.name);
    // The deaf collector gets an archive larger than a connection takes unread.
    Snapshot snapshot = make_snapshot(home.work(), std::string("oom_") + fault.name, 9);
    if (fault.answer == vt::CollectorAnswer::deaf) {
      snapshot.graph = random_bytes(8 << 20, 9);
      ASSERT_TRUE(vt::write_file(snapshot.directory + "/oom_graph.bin", snapshot.graph));
    }
    snapshots.push_back(snapshot);
    std::optional<vt::TestCollector> collector;
    if (fault.answer) collector.emplace(*fault.answer);
    auto start = std::chrono::steady_clock::now();
    vt::ProcessResult run =
        run_command(home, fork_command(home, collector ? collector->port() : vt::TestCollector::closed_port(), "oom",
                                       snapshot.directory, "-Dvorkel.fork.readTimeoutMillis=3000"));
    // The bound: the time-out, and starting a JVM and packing on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(vt::contains(run.err, fault.error)) << run.err;
    EXPECT_FALSE(vt::file_exists(snapshot.directory + "/upload.done"));
  }

  vt::TestCollector collector;
  vt::ProcessResult run = run_fork(home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(collector.requests().size(), snapshots.size());
  for (const Snapshot &snapshot : snapshots) {
    std::string name = snapshot.directory.substr(snapshot.directory.rfind('/') + 1);
    vt::expect_snapshot_archive(snapshot.directory + "/" + name + ".tar.bz2", snapshot.info, snapshot.graph);
    EXPECT_TRUE(vt::file_exists(snapshot.directory + "/upload.done")) << name;
  }
}

// A fork killed while it packs leaves the half-written archive under its ".part" name, one killed
// while it waits for the collector's answer leaves the archive without "upload.done"; the next
// fork in mode "all" delivers both snapshots.
TEST_P(ArchiveJvm, AKilledForkLeavesWhatTheNextRunDelivers) {
  AgentHome home;
  vt::TestCollector silent(vt::CollectorAnswer::silent);
  Snapshot packing = make_snapshot(home.work(), "oom_1", 1);
  packing.graph = random_bytes(16 << 20, 1);  // a few seconds of packing
  ASSERT_TRUE(vt::write_file(packing.directory + "/oom_graph.bin", packing.graph));
  std::string part = packing.directory + "/oom_1.tar.bz2.part";
  {
    vt::BackgroundProcess fork(jdk().java, fork_command(home, silent.port(), "oom", packing.directory),
                               {.env = {{"VORKEL_HOME", home.home()}}});
    ASSERT_TRUE(vt::wait_until([&] { return vt::read_file(part).size() > 0; }, std::chrono::seconds(60),
                               std::chrono::milliseconds(5)))
        << fork.err();
    fork.kill(SIGKILL);
    EXPECT_EQ(fork.wait(std::chrono::seconds(10)).signal, SIGKILL);
  }
  EXPECT_TRUE(vt::file_exists(part));
  EXPECT_FALSE(vt::file_exists(packing.directory + "/oom_1.tar.bz2"));
  EXPECT_TRUE(vt::lock_is_free(packing.directory + "/context.lock"));

  Snapshot sending = make_snapshot(home.work(), "oom_2", 2);
  {
    vt::BackgroundProcess fork(jdk().java, fork_command(home, silent.port(), "oom", sending.directory),
                               {.env = {{"VORKEL_HOME", home.home()}}});
    ASSERT_TRUE(silent.wait_for_requests(1, std::chrono::seconds(60))) << fork.err();
    fork.kill(SIGKILL);
    EXPECT_EQ(fork.wait(std::chrono::seconds(10)).signal, SIGKILL);
  }
  EXPECT_TRUE(vt::file_exists(sending.directory + "/oom_2.tar.bz2"));
  EXPECT_FALSE(vt::file_exists(sending.directory + "/upload.done"));

  vt::TestCollector collector;
  vt::ProcessResult run = run_fork(home, collector.port(), "all", home.work());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::vector<vt::HttpRequest> requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].field("directory"), "oom_1");
  EXPECT_EQ(requests[1].field("directory"), "oom_2");
  EXPECT_TRUE(requests[0].body == vt::read_file(packing.directory + "/oom_1.tar.bz2"));
  vt::expect_snapshot_archive(packing.directory + "/oom_1.tar.bz2", packing.info, packing.graph);
  vt::expect_snapshot_archive(sending.directory + "/oom_2.tar.bz2", sending.info, sending.graph);
  EXPECT_FALSE(vt::file_exists(part));
  EXPECT_TRUE(vt::file_exists(packing.directory + "/upload.done"));
  EXPECT_TRUE(vt::file_exists(sending.directory + "/upload.done"));
}

}  // namespace
