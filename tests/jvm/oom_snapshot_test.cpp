// Heap snapshots in real JVMs that really run out of memory: the files, the reader's verdict, the
// notifications at a loopback collector, the banner, the uploader fork, once-per-type handling,
// concurrency and a full disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "jvm.h"
#include "snapshot_reader.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

std::vector<std::string> snapshot_dirs(const std::string &work) {
  std::vector<std::string> dirs;
  for (const std::string &name : vt::list_directory(work)) {
    if (name.rfind("oom_", 0) == 0) dirs.push_back(work + "/" + name);
  }
  return dirs;
}

std::vector<vt::HttpRequest> notifications(vt::TestCollector &collector) {
  std::vector<vt::HttpRequest> found;
  for (const vt::HttpRequest &request : collector.requests()) {
    if (request.path == "/oom/notification") found.push_back(request);
  }
  return found;
}

// Notifications sorted by their snapshot's timestamp and status, as (type in description, status, message).
std::vector<std::string> notification_summary(vt::TestCollector &collector) {
  std::vector<std::pair<std::string, std::string>> items;
  for (const vt::HttpRequest &request : notifications(collector)) {
    std::string description = request.field("description");
    size_t type = description.find("\"type\":\"");
    std::string type_name =
        type == std::string::npos ? "?" : description.substr(type + 8, description.find('"', type + 8) - type - 8);
    items.push_back({request.field("timestamp") + (request.field("status") == "start" ? "0" : "1"),
                     type_name + "/" + request.field("status") + "/" + request.field("message")});
  }
  std::sort(items.begin(), items.end());
  std::vector<std::string> result;
  for (const auto &item : items) result.push_back(item.second);
  return result;
}

bool lock_is_free(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool free_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free_now;
}

class Snapshot : public ::testing::TestWithParam<vt::Jdk> {};

INSTANTIATE_TEST_SUITE_P(Jdks, Snapshot, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

// A heap OutOfMemoryError, a second one, a metaspace one and two requested snapshots in one JVM.
TEST_P(Snapshot, EachTypeOnceRequestsEveryTimeWithValidFilesNotificationsBannerAndFork) {
  vt::TestCollector collector;
  AgentHome home;
  JvmOptions options;
  std::string port = std::to_string(collector.port());
  // The uploader fork packs each snapshot and posts it to the same collector.
  options.agent_options = "host=127.0.0.1,port=" + port + ",details=/var/tmp/vorkel" +
                          ",forkargs=-Dvorkel.collector.host=127.0.0.1;-Dvorkel.collector.port=" + port;
  options.jvm_flags = {"-Xmx64m", "-XX:MaxMetaspaceSize=48m"};
  options.args = {"OomScenarios.sequence", "heap,heap,metaspace,request:first,request:second"};
  options.process.timeout = std::chrono::seconds(300);
  vt::ProcessResult run;
  auto results = vt::run_scenario(GetParam(), home, options, &run);
  EXPECT_EQ(results["step1_heap"], "true");
  EXPECT_EQ(results["step2_heap"], "true");
  EXPECT_EQ(results["step3_metaspace"], "true");
  EXPECT_EQ(results["step4_request"], "true");
  EXPECT_EQ(results["step5_request"], "true");

  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "Received an OOM of already handled type 0, not handling again.").size(), 1u) << log;
  // The banner follows the two OutOfMemoryErrors of the JVM, not the requests.
  std::string location = "/var/tmp/vorkel";
  std::string banner_line = "* See " + location + " to find more info." + std::string(54 - location.size(), ' ') + "*\n";
  EXPECT_EQ(banner_line.size(), 81u);
  EXPECT_EQ(vt::count_occurrences(run.out, banner_line), 2u) << run.out;
  EXPECT_EQ(vt::count_occurrences(run.out, std::string(80, '*') + "\n"), 4u);

  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 4u);
  const char *types[] = {"heap", "metaspace", "preemptive", "preemptive"};
  for (size_t i = 0; i < dirs.size(); ++i) {
    SCOPED_TRACE(dirs[i]);
    EXPECT_EQ(vt::read_file(dirs[i] + "/status.txt"), "compressing 0");
    std::string parameters = vt::read_file(dirs[i] + "/parameters.txt");
    EXPECT_TRUE(vt::contains(parameters, "version=5\naccountId=account\njvmId=jvm\nsessionId=session\n")) << parameters;
    EXPECT_TRUE(vt::contains(parameters, std::string("description=%7b%22type%22%3a%22") + types[i])) << parameters;
    EXPECT_TRUE(vt::contains(parameters, "timestamp=" + dirs[i].substr(dirs[i].rfind("oom_") + 4) + "\n"));

    snapshot_reader::Report report = snapshot_reader::read_directory(dirs[i]);
    EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
    EXPECT_GT(report.stats.objects, 1000u);
    EXPECT_EQ(report.info.metadata["Class size type"], "partial");
    EXPECT_EQ(report.info.metadata["Hotspot symbols"], "bad_version");
    EXPECT_EQ(report.info.sections,
              (std::vector<std::string>{"Metadata", "Allocation Points", "Classes", "Class Sizes", "Threads",
                                        "Classloaders", "Summary", "End"}));
    EXPECT_GE(report.info.threads, 2);
    // The uploader fork ran the agent jar's forked job for this directory.
    EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[i] + "/forked_job.started"); }, std::chrono::seconds(60)));
    std::string marker = vt::read_file(dirs[i] + "/forked_job.started");
    EXPECT_TRUE(vt::contains(marker, "mode=oom\nhome=" + home.home() + "\nfork=1\n")) << marker;
    // What it sent is the snapshot: the archive unpacks with the system's tar to the two files.
    ASSERT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[i] + "/upload.done"); }, std::chrono::seconds(60)));
    // The fork took the directory's lock to pack it and gave it back; the agent holds it no more.
    EXPECT_TRUE(lock_is_free(dirs[i] + "/context.lock"));
    std::string archive = dirs[i] + "/" + dirs[i].substr(dirs[i].rfind('/') + 1) + ".tar.bz2";
    vt::TempDir out("vorkel-unpacked");
    ASSERT_EQ(vt::run_process("/bin/tar", {"tar", "-xjf", archive, "-C", out.path()}).exit_code, 0);
    EXPECT_EQ(vt::list_directory(out.path()), (std::vector<std::string>{"oom_graph.bin", "oom_info.txt"}));
    EXPECT_TRUE(vt::read_file(out / "oom_graph.bin") == vt::read_file(dirs[i] + "/oom_graph.bin"));
    EXPECT_TRUE(vt::read_file(out / "oom_info.txt") == vt::read_file(dirs[i] + "/oom_info.txt"));
  }
  size_t uploads = 0;
  for (const vt::HttpRequest &request : collector.requests()) uploads += request.path == "/oom/upload";
  EXPECT_EQ(uploads, 4u);
  EXPECT_TRUE(vt::wait_until([&] { return notifications(collector).size() >= 4; }, std::chrono::seconds(30)));
  EXPECT_EQ(notification_summary(collector),
            (std::vector<std::string>{"heap/start/", "metaspace/start/", "preemptive/start/", "preemptive/start/"}));
  for (const vt::HttpRequest &request : notifications(collector)) {
    EXPECT_EQ(request.field("version"), "5");
    EXPECT_EQ(request.field("accountId"), "account");
  }
}

// An OutOfMemoryError before the OOM configuration arrived is not a handled one: the first one
// after the configuration still gets its snapshot.
TEST_P(Snapshot, OomBeforeConfigurationLeavesTheTypeOpen) {
  AgentHome home;
  JvmOptions options;
  options.javaagent = false;
  options.jvm_flags = {"-Xmx64m"};
  std::string start = "home=" + home.home() + ";work=" + home.work() + ";lib=" + home.lib() + ";notifications=false";
  options.args = {"OomScenarios.sequence", "heap,start:" + start + ",heap"};
  options.process.timeout = std::chrono::seconds(300);
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["step1_heap"], "true");
  EXPECT_EQ(results["step2_start"], "0");
  EXPECT_EQ(results["step3_heap"], "true");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "OOM handling not configured yet.").size(), 1u) << log;
  EXPECT_TRUE(vt::log_lines_with(log, "already handled").empty()) << log;
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "compressing 0");
  EXPECT_TRUE(snapshot_reader::read_directory(dirs[0]).ok);
}

TEST_P(Snapshot, OutOfMemoryInSeveralThreadsAtOnceGivesOneSnapshot) {
  AgentHome home;
  JvmOptions options;
  options.agent_options = "notifications=false";
  options.jvm_flags = {"-Xmx64m"};
  options.args = {"OomScenarios.heapInThreads", "6"};
  options.process.timeout = std::chrono::seconds(300);
  vt::ProcessResult run;
  auto results = vt::run_scenario(GetParam(), home, options, &run);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(results["caught"], "6");
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "compressing 0");
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  EXPECT_EQ(vt::count_occurrences(run.out, "* Vorkel has detected an OutOfMemoryError thrown by the JVM."), 1u);
}

// The walk borrows every tag it meets; afterwards the statistics and the class loader tracker work
// exactly as before, also for instances that died while the snapshot ran.
TEST_P(Snapshot, StatisticsAndClassLoaderTagsAreBackAfterTheSnapshot) {
  AgentHome home(true);
  JvmOptions options;
  options.agent_options = "notifications=false";
  options.args = {"OomTagScenarios.tagsSurvive"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["loader_tag_is_tracker_tag"], "true");
  EXPECT_EQ(results["loader_tracked"], "true");
  EXPECT_EQ(results["taken"], "true");
  EXPECT_EQ(results["kept_tags_back"], "true");
  EXPECT_EQ(results["dropped_tags_back"], "true");
  EXPECT_EQ(results["class_tag_back"], "true");
  EXPECT_EQ(results["loader_tag_back"], "true");
  EXPECT_EQ(results["loader_first_seen_back"], "true");
  EXPECT_EQ(results["kept_live_before_drop"], "3000");
  EXPECT_EQ(results["dropped_live_before_drop"], "2000");
  EXPECT_EQ(results["kept_live_after_drop"], "3000");
  EXPECT_EQ(results["dropped_live_after_drop"], "0");
  EXPECT_EQ(results["live_after_drop"], "3000");
  EXPECT_EQ(results["live_before_snapshot_at_least"], "true");
  std::string log = home.native_log();
  EXPECT_TRUE(vt::log_lines_with(log, "should be non-NULL").empty()) << log;
  EXPECT_TRUE(vt::log_lines_with(log, "Could not get original tag").empty()) << log;

  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  ASSERT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  // The object records carry the statistics tags the objects had (their low words).
  uint64_t kept_id = std::stoull(results["kept_id"]);
  size_t kept_records = std::count(report.stats.previous_tags.begin(), report.stats.previous_tags.end(), (uint32_t)kept_id);
  EXPECT_EQ(kept_records, 3000u);
  EXPECT_GE(report.info.allocation_points, 2);
  std::string info = vt::read_file(dirs[0] + "/oom_info.txt");
  EXPECT_TRUE(vt::contains(info, "OomTagScenarios.kept")) << info.substr(0, 2000);
  // The tracked loader is listed with the graph id of an object of its class.
  std::string graph = vt::read_file(dirs[0] + "/oom_graph.bin");
  std::map<uint64_t, uint32_t> class_of;
  ASSERT_TRUE(snapshot_reader::parse_graph(
      reinterpret_cast<const uint8_t *>(graph.data()), graph.size(),
      [&](const snapshot_reader::Reference &, const snapshot_reader::Object *object) {
        if (object != nullptr) class_of[object->id] = object->class_id;
      },
      nullptr));
  size_t section = info.find("--- Classloaders");
  size_t end = info.find("--- Summary");
  ASSERT_NE(section, std::string::npos);
  bool copy_loader_listed = false;
  for (const std::string &line : vt::split_lines(info.substr(section, end - section))) {
    if (line.rfind("---", 0) == 0) continue;
    uint64_t id = std::stoull(line);
    if (id == 0 || class_of.count(id) == 0) continue;
    copy_loader_listed |= report.info.classes[class_of[id]].signature == "Lvorkel/test/OomScenarios$CopyLoader;";
  }
  EXPECT_TRUE(copy_loader_listed) << info.substr(section, end - section);
}

// Memory that runs out in the middle of the walk ends the walk, not the snapshot: the info file is
// complete, the graph ends where the walk stopped and still matches the Summary, the status stays
// "dumping" after the error notification, and the uploader fork is started.
TEST(SnapshotMemory, MemoryRunningOutDuringTheWalkKeepsAShorterValidSnapshot) {
  vt::TestCollector collector;
  AgentHome home(true);
  JvmOptions options;
  options.agent_options = "host=127.0.0.1,port=" + std::to_string(collector.port());
  options.jvm_flags = {"-Xmx256m"};
  options.args = {"OomScenarios.memoryRunsOutDuringWalk"};
  auto results = vt::run_scenario(vt::reference_jdk(), home, options);
  EXPECT_EQ(results["request"], "true");
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "dumping");
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  EXPECT_TRUE(report.info.complete);
  EXPECT_LT(report.stats.references, 262144u);
  EXPECT_GT(report.stats.references, 200000u);
  EXPECT_LT(report.stats.objects, 600000u);
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "Memory snapshot aborted due to failed memory usage safety check.").size(), 1u);
  EXPECT_EQ(vt::log_lines_with(log, "Not enough memory to safely complete the memory snapshot.").size(), 1u);
  EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[0] + "/forked_job.started"); }, std::chrono::seconds(60)));
  EXPECT_TRUE(vt::wait_until([&] { return notifications(collector).size() >= 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(notification_summary(collector),
            (std::vector<std::string>{"preemptive/start/", "preemptive/error/memory_limit_reached"}));
}

// A tag backup that overflows: the snapshot goes on with an error notification (the status stays
// "dumping", the fork starts), and objects whose tags the backup could not keep end untagged rather
// than with a stale temporary tag, so the next snapshot describes every object again.
TEST(SnapshotTags, TagOverflowReportsAnErrorAndLeavesNoTemporaryTagBehind) {
  vt::TestCollector collector;
  AgentHome home(true);
  JvmOptions options;
  options.agent_options = "host=127.0.0.1,port=" + std::to_string(collector.port());
  options.jvm_flags = {"-Xmx256m"};
  options.args = {"OomScenarios.tagOverflowThenAgain"};
  auto results = vt::run_scenario(vt::reference_jdk(), home, options);
  EXPECT_EQ(results["first"], "true");
  EXPECT_EQ(results["second"], "true");
  EXPECT_EQ(results["temporary_after_first"], "0");
  EXPECT_EQ(results["temporary_after_second"], "0");
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 2u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "dumping");
  EXPECT_EQ(vt::read_file(dirs[1] + "/status.txt"), "compressing 0");
  snapshot_reader::Report first = snapshot_reader::read_directory(dirs[0]);
  snapshot_reader::Report second = snapshot_reader::read_directory(dirs[1]);
  EXPECT_TRUE(first.ok) << snapshot_reader::format_report(first, 5);
  EXPECT_TRUE(second.ok) << snapshot_reader::format_report(second, 5);
  EXPECT_GT(first.stats.objects, 400000u);
  // The second snapshot meets (and describes) every object again, within a few objects of the first.
  EXPECT_GT(second.stats.objects + 1000, first.stats.objects);
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "Too many objects to attach temporary tags to them all.").size(), 1u);
  EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[0] + "/forked_job.started"); }, std::chrono::seconds(60)));
  EXPECT_TRUE(vt::wait_until([&] { return notifications(collector).size() >= 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(notification_summary(collector),
            (std::vector<std::string>{"preemptive/start/", "preemptive/error/tag_overflow", "preemptive/start/"}));
}

// A class whose fields cannot be read before the walk (defined, not linked) is written after the
// other classes of the first listing, without fields and methods.
TEST_P(Snapshot, UnpreparedClassIsWrittenAfterTheOthers) {
  AgentHome home;
  JvmOptions options;
  options.agent_options = "notifications=false";
  options.args = {"OomScenarios.unpreparedClass"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["request"], "true");
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  ASSERT_TRUE(report.ok) << snapshot_reader::format_report(report, 5);
  std::vector<size_t> positions;
  for (size_t i = 0; i < report.info.class_order.size(); ++i) {
    if (report.info.classes[report.info.class_order[i]].signature == "Lvorkel/test/OomScenarios$Payload;") {
      positions.push_back(i);
    }
  }
  ASSERT_EQ(positions.size(), 2u);
  const snapshot_reader::ClassEntry &linked = report.info.classes[report.info.class_order[positions[0]]];
  const snapshot_reader::ClassEntry &unlinked = report.info.classes[report.info.class_order[positions[1]]];
  EXPECT_EQ(linked.fields, 3);
  EXPECT_EQ(linked.methods, 2);
  EXPECT_EQ(unlinked.fields, 0);
  EXPECT_EQ(unlinked.methods, 0);
  // It comes after every class of the first listing that could be written at once: the classes
  // of the first listing after it are the other deferred ones, all without members.
  int64_t class_max_id = report.info.summary["Class max ID"];
  size_t deferred_after = 0;
  for (size_t i = positions[1] + 1; i < report.info.class_order.size(); ++i) {
    const snapshot_reader::ClassEntry &entry = report.info.classes[report.info.class_order[i]];
    if ((int64_t)entry.id > class_max_id) continue;  // met by the walk, listed after it
    EXPECT_EQ(entry.fields + entry.methods, 0) << entry.signature;
    ++deferred_after;
  }
  EXPECT_LT(deferred_after, 100u);
}

// ---------------------------------------------------------------------------------------------
// A full disk, made real with a tmpfs that is mounted for the test.

class TmpfsMount {
 public:
  explicit TmpfsMount(const std::string &size) : dir_("vorkel-disk") {
    mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    error_ = mounted_ ? "" : strerror(errno);
  }
  ~TmpfsMount() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }
  const std::string &path() const { return dir_.path(); }

 private:
  vt::TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};

// The file system passes the first check (just over 10^9 bytes free) and fails the one after the
// first 50000000 bytes: the snapshot is invalid, its files are deleted, and nothing is uploaded.
TEST(SnapshotDisk, DiskFillingUpDuringTheSnapshotMakesItInvalid) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  TmpfsMount disk("980m");
  ASSERT_TRUE(disk.mounted()) << disk.error();
  vt::TestCollector collector;
  AgentHome home;
  JvmOptions options;
  options.agent_options = "host=127.0.0.1,port=" + std::to_string(collector.port()) + ",work=" + disk.path();
  options.jvm_flags = {"-Xmx512m"};
  options.args = {"OomScenarios.manyReferences", "8", "1000000"};
  options.process.timeout = std::chrono::seconds(300);
  auto results = vt::run_scenario(vt::reference_jdk(), home, options);
  EXPECT_EQ(results["request"], "true");

  std::vector<std::string> dirs = snapshot_dirs(disk.path());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "cleanup 0");
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/oom_graph.bin"));
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/oom_info.txt"));
  EXPECT_TRUE(vt::file_exists(dirs[0] + "/parameters.txt"));
  EXPECT_TRUE(vt::file_exists(dirs[0] + "/context.lock"));
  EXPECT_TRUE(lock_is_free(dirs[0] + "/context.lock"));
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "Disk is too full to continue snapshot (").size(), 1u) << log;
  EXPECT_EQ(vt::log_lines_with(log, "Dumping was interrupted with a fatal error: disk is too full to continue.").size(), 1u);
  ASSERT_TRUE(collector.wait_for_requests(2, std::chrono::seconds(30)));
  EXPECT_EQ(notification_summary(collector),
            (std::vector<std::string>{"preemptive/start/", "preemptive/fatal/disk is too full to continue"}));
  // No upload for an invalid snapshot.
  sleep(2);
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/forked_job.started"));
}

// A file system that is too small from the start stops the snapshot before any file is written,
// and the lock file is given back at once.
TEST(SnapshotDisk, TooLittleSpaceFromTheStartStopsBeforeWritingAndReleasesTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  TmpfsMount disk("16m");
  ASSERT_TRUE(disk.mounted()) << disk.error();
  vt::TestCollector collector;
  AgentHome home;
  JvmOptions options;
  options.agent_options = "host=127.0.0.1,port=" + std::to_string(collector.port()) + ",work=" + disk.path();
  options.args = {"OomScenarios.sequence", "request:small,request:again,sleep:60000"};
  // The JVM stays alive after the requests, so the lock is tested while its process runs.
  vt::BackgroundProcess jvm(vt::reference_jdk().java, vt::jvm_command(vt::reference_jdk(), home, options));
  ASSERT_TRUE(vt::wait_until([&] { return vt::contains(jvm.out(), "RESULT step3_sleeping=true"); },
                             std::chrono::seconds(120)))
      << jvm.out() << jvm.err();
  EXPECT_TRUE(vt::contains(jvm.out(), "RESULT step1_request=true"));
  std::vector<std::string> dirs = snapshot_dirs(disk.path());
  ASSERT_EQ(dirs.size(), 2u);
  for (const std::string &dir : dirs) {
    EXPECT_EQ(vt::list_directory(dir), std::vector<std::string>{"context.lock"});
    EXPECT_TRUE(lock_is_free(dir + "/context.lock"));
  }
  ASSERT_TRUE(collector.wait_for_requests(4, std::chrono::seconds(30)));
  EXPECT_EQ(notification_summary(collector),
            (std::vector<std::string>{"preemptive/start/", "preemptive/fatal/disk is too full to continue",
                                      "preemptive/start/", "preemptive/fatal/disk is too full to continue"}));
  jvm.kill(SIGKILL);
}

}  // namespace
