// Heap snapshots in real JVMs that really run out of memory: the files, the reader's verdict, the
// notifications at a loopback collector, the banner, the uploader fork, once-per-type handling,
// concurrency and a full disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "jvm_test.h"
#include "snapshot_reader.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;

std::vector<std::string> snapshot_dirs(const std::string &work) { return vt::entries_with_prefix(work, "oom_"); }

std::vector<vt::HttpRequest> notifications(vt::TestCollector &collector) {
  std::vector<vt::HttpRequest> found;
  for (const vt::HttpRequest &request : collector.requests()) {
    if (request.path == "/oom/notification") found.push_back(request);
  }
  return found;
}

// Notifications sorted by their snapshot's timestamp and status, as (type in description, status,
// message), once at least count of them arrived (or after 30 seconds).
std::vector<std::string> notification_summary(vt::TestCollector &collector, size_t count) {
  vt::wait_until([&] { return notifications(collector).size() >= count; }, std::chrono::seconds(30));
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

class Snapshot : public vt::JvmTest {};
VT_JDK_TEST_SUITE(Snapshot);

// A heap OutOfMemoryError, a second one, a metaspace one and two requested snapshots in one JVM.
TEST_P(Snapshot, EachTypeOnceRequestsEveryTimeWithValidFilesNotificationsBannerAndFork) {
  vt::TestCollector collector;
  AgentHome home;
  std::string port = std::to_string(collector.port());
  // The uploader fork packs each snapshot and posts it to the same collector.
  auto results = run(home, "OomScenarios.sequence",
                     {.agent_options = collector.agent_options() + ",details=/var/tmp/vorkel" +
                                       ",forkargs=-Dvorkel.collector.host=127.0.0.1;-Dvorkel.collector.port=" + port,
                      .jvm_flags = {"-Xmx64m", "-XX:MaxMetaspaceSize=48m"},
                      .args = {"heap,heap,metaspace,request:first,request:second"},
                      .process = {.timeout = std::chrono::seconds(300)}});
  EXPECT_RESULTS(results, {{"step1_heap", "true"},
                           {"step2_heap", "true"},
                           {"step3_metaspace", "true"},
                           {"step4_request", "true"},
                           {"step5_request", "true"}});

  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("Received an OOM of already handled type 0, not handling again."), 1u) << log;
  // The banner follows the two OutOfMemoryErrors of the JVM, not the requests.
  std::string location = "/var/tmp/vorkel";
  std::string banner_line =
      "* See " + location + " to find more info." + std::string(54 - location.size(), ' ') + "*\n";
  EXPECT_EQ(banner_line.size(), 81u);
  EXPECT_EQ(vt::count_occurrences(last().out, banner_line), 2u) << output();
  EXPECT_EQ(vt::count_occurrences(last().out, std::string(80, '*') + "\n"), 4u);

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
    // Current HotSpot's class details and sizes come from its own structures.
    EXPECT_EQ(report.info.metadata["Class size type"], "full");
    EXPECT_EQ(report.info.metadata["Hotspot symbols"], "available");
    EXPECT_EQ(report.info.sections, (std::vector<std::string>{"Metadata", "Allocation Points", "Classes", "Class Sizes",
                                                              "Threads", "Classloaders", "Summary", "End"}));
    EXPECT_GE(report.info.threads, 2);
    // The uploader fork ran the agent jar's forked job for this directory.
    EXPECT_TRUE(
        vt::wait_until([&] { return vt::file_exists(dirs[i] + "/forked_job.started"); }, std::chrono::seconds(60)));
    std::string marker = vt::read_file(dirs[i] + "/forked_job.started");
    EXPECT_TRUE(vt::contains(marker, "mode=oom\nhome=" + home.home() + "\nfork=1\n")) << marker;
    // What it sent is the snapshot: the archive unpacks with the system's tar to the two files.
    ASSERT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[i] + "/upload.done"); }, std::chrono::seconds(60)));
    // The fork took the directory's lock to pack it and gave it back; the agent holds it no more.
    EXPECT_TRUE(vt::lock_is_free(dirs[i] + "/context.lock"));
    vt::expect_snapshot_archive(dirs[i] + "/" + dirs[i].substr(dirs[i].rfind('/') + 1) + ".tar.bz2",
                                vt::read_file(dirs[i] + "/oom_info.txt"), vt::read_file(dirs[i] + "/oom_graph.bin"));
  }
  size_t uploads = 0;
  for (const vt::HttpRequest &request : collector.requests()) uploads += request.path == "/oom/upload";
  EXPECT_EQ(uploads, 4u);
  EXPECT_EQ(notification_summary(collector, 4),
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
  std::string start = "home=" + home.home() + ";work=" + home.work() + ";lib=" + home.lib() + ";notifications=false";
  auto results = run(home, "OomScenarios.sequence",
                     {.javaagent = false,
                      .jvm_flags = {"-Xmx64m"},
                      .args = {"heap,start:" + start + ",heap"},
                      .process = {.timeout = std::chrono::seconds(300)}});
  EXPECT_RESULTS(results, {{"step1_heap", "true"}, {"step2_start", "0"}, {"step3_heap", "true"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("OOM handling not configured yet."), 1u) << log;
  EXPECT_EQ(log.count("already handled"), 0u) << log;
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "compressing 0");
  EXPECT_TRUE(snapshot_reader::read_directory(dirs[0]).ok);
}

TEST_P(Snapshot, OutOfMemoryInSeveralThreadsAtOnceGivesOneSnapshot) {
  AgentHome home;
  auto results = run(home, "OomScenarios.heapInThreads",
                     {.agent_options = "notifications=false",
                      .jvm_flags = {"-Xmx64m"},
                      .args = {"6"},
                      .process = {.timeout = std::chrono::seconds(300)}});
  EXPECT_EQ(last().signal, 0);
  EXPECT_EQ(results["caught"], "6");
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "compressing 0");
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  EXPECT_EQ(vt::count_occurrences(last().out, "* Vorkel has detected an OutOfMemoryError thrown by the JVM."), 1u);
}

// The walk borrows every tag it meets; afterwards the statistics and the class loader tracker work
// exactly as before, also for instances that died while the snapshot ran. The JVM checks every
// JNI call: the class listing holds a local reference per class and must have asked for them.
TEST_P(Snapshot, StatisticsAndClassLoaderTagsAreBackAfterTheSnapshot) {
  AgentHome home(true);
  auto results =
      run(home, "OomTagScenarios.tagsSurvive", {.agent_options = "notifications=false", .jvm_flags = {"-Xcheck:jni"}});
  EXPECT_FALSE(vt::contains(last().out + last().err, "WARNING")) << output();
  EXPECT_RESULTS(results, {{"loader_tag_is_tracker_tag", "true"},
                           {"loader_tracked", "true"},
                           {"taken", "true"},
                           {"kept_tags_back", "true"},
                           {"dropped_tags_back", "true"},
                           {"class_tag_back", "true"},
                           {"loader_tag_back", "true"},
                           {"loader_first_seen_back", "true"},
                           {"kept_live_before_drop", "3000"},
                           {"dropped_live_before_drop", "2000"},
                           {"kept_live_after_drop", "3000"},
                           {"dropped_live_after_drop", "0"},
                           {"live_after_drop", "3000"},
                           {"live_before_snapshot_at_least", "true"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("should be non-NULL"), 0u) << log;
  EXPECT_EQ(log.count("Could not get original tag"), 0u) << log;

  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  ASSERT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  // The object records carry the statistics tags the objects had (their low words).
  uint64_t kept_id = std::stoull(results["kept_id"]);
  size_t kept_records =
      std::count(report.stats.previous_tags.begin(), report.stats.previous_tags.end(), (uint32_t)kept_id);
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
class ReportedSnapshot : public vt::ReferenceJvmTest {
 protected:
  // The scenario in a 256 MB heap, with the test kit, reporting to collector_.
  vt::Results run_reported(const std::string &scenario) {
    return run(home_, scenario, {.agent_options = collector_.agent_options(), .jvm_flags = {"-Xmx256m"}});
  }
  // The notifications once the uploader fork was started for the snapshot in dir.
  std::vector<std::string> notifications_after_fork(const std::string &dir, size_t count) {
    EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dir + "/forked_job.started"); }, std::chrono::seconds(60)));
    return notification_summary(collector_, count);
  }
  vt::TestCollector collector_;
  AgentHome home_{true};
};
class SnapshotMemory : public ReportedSnapshot {};
class SnapshotTags : public ReportedSnapshot {};

TEST_F(SnapshotMemory, MemoryRunningOutDuringTheWalkKeepsAShorterValidSnapshot) {
  EXPECT_EQ(run_reported("OomScenarios.memoryRunsOutDuringWalk")["request"], "true");
  std::vector<std::string> dirs = snapshot_dirs(home_.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "dumping");
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  EXPECT_TRUE(report.ok) << snapshot_reader::format_report(report, 10);
  EXPECT_TRUE(report.info.complete);
  EXPECT_LT(report.stats.references, 262144u);
  EXPECT_GT(report.stats.references, 200000u);
  EXPECT_LT(report.stats.objects, 600000u);
  vt::NativeLog log = home_.log();
  EXPECT_EQ(log.count("Memory snapshot aborted due to failed memory usage safety check."), 1u);
  EXPECT_EQ(log.count("Not enough memory to safely complete the memory snapshot."), 1u);
  EXPECT_EQ(notifications_after_fork(dirs[0], 2),
            (std::vector<std::string>{"preemptive/start/", "preemptive/error/memory_limit_reached"}));
}

// A tag backup that overflows: the snapshot goes on with an error notification (the status stays
// "dumping", the fork starts), and objects whose tags the backup could not keep end untagged rather
// than with a stale temporary tag, so the next snapshot describes every object again.
TEST_F(SnapshotTags, TagOverflowReportsAnErrorAndLeavesNoTemporaryTagBehind) {
  EXPECT_RESULTS(
      run_reported("OomScenarios.tagOverflowThenAgain"),
      {{"first", "true"}, {"second", "true"}, {"temporary_after_first", "0"}, {"temporary_after_second", "0"}});
  std::vector<std::string> dirs = snapshot_dirs(home_.work());
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
  EXPECT_EQ(home_.log().count("Too many objects to attach temporary tags to them all."), 1u);
  EXPECT_EQ(notifications_after_fork(dirs[0], 3),
            (std::vector<std::string>{"preemptive/start/", "preemptive/error/tag_overflow", "preemptive/start/"}));
}

// A class whose fields cannot be read before the walk (defined, not linked) is written after the
// other classes of the first listing, without fields and methods.
// The listing through JVMTI (the VM structures switched off by the test kit).
TEST_P(Snapshot, UnpreparedClassIsWrittenAfterTheOthers) {
  AgentHome home(true);
  EXPECT_EQ(
      run(home, "OomScenarios.unpreparedClass", {.agent_options = "notifications=false", .args = {"jvmti"}})["request"],
      "true");
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

// The work directory removed while the JVM runs. At the OutOfMemoryError a file stands in its
// place: the snapshot fails with the reason logged and ("fatal", "context_init"), and the JVM throws
// its error as ever. At the request after it nothing is there: the directory is made again, and
// the snapshot is written, packed and sent.
TEST_P(Snapshot, AWorkDirectoryRemovedWhileRunningIsReportedOrMadeAgain) {
  vt::TestCollector collector;
  AgentHome home;
  std::string go = home.home() + "/go";
  auto jvm = start(home, "OomScenarios.sequence",
                   {.agent_options = collector.agent_options(),
                    .jvm_flags = {"-Xmx64m"},
                    .args = {"await:" + go + "1,heap,await:" + go + "3,request:again"}});
  ASSERT_TRUE(wait_for_result(*jvm, "step1_waiting=true")) << jvm->err();
  vt::remove_tree(home.work());
  ASSERT_TRUE(vt::write_file(home.work(), "not a directory"));
  ASSERT_TRUE(vt::write_file(go + "1", ""));
  ASSERT_TRUE(wait_for_result(*jvm, "step3_waiting=true", std::chrono::seconds(120))) << jvm->err();
  vt::remove_tree(home.work());
  ASSERT_TRUE(vt::write_file(go + "3", ""));
  vt::ProcessResult run = jvm->wait(std::chrono::seconds(120));
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  vt::expect_no_warnings(run);
  auto results = vt::scenario_results(run.out);
  EXPECT_RESULTS(results, {{"step2_heap", "true"}, {"step4_request", "true"}});
  EXPECT_EQ(vt::count_occurrences(run.out, "* Vorkel has detected an OutOfMemoryError thrown by the JVM."), 1u);

  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Creating " + home.work() + "/oom_"), 1u) << log;
  EXPECT_EQ(log.count("failed: Not a directory (error 20)."), 1u) << log;
  EXPECT_EQ(log.count("ERROR - Failed to create directory " + home.work() + "/oom_"), 1u) << log;
  EXPECT_EQ(log.count("WARN  - The work directory " + home.work() + " was missing and is made again."), 1u) << log;
  EXPECT_EQ(notification_summary(collector, 3),
            (std::vector<std::string>{"heap/start/", "heap/fatal/context_init", "preemptive/start/"}));
  std::vector<std::string> dirs = snapshot_dirs(home.work());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "compressing 0");
  EXPECT_TRUE(snapshot_reader::read_directory(dirs[0]).ok);
  EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dirs[0] + "/upload.done"); }, std::chrono::seconds(60)));
}

// ---------------------------------------------------------------------------------------------
// A full disk, made real with a tmpfs that is mounted for the test.

class SnapshotDisk : public vt::ReferenceJvmTest {
 protected:
  // The agent reports to collector_ and writes its snapshots to disk.
  std::string options_on(const vt::TmpfsMount &disk) { return collector_.agent_options() + ",work=" + disk.path(); }
  vt::TestCollector collector_;
  AgentHome home_;
};

// The file system passes the first check (just over 10^9 bytes free) and fails the one after the
// first 50000000 bytes: the snapshot is invalid, its files are deleted, and nothing is uploaded.
TEST_F(SnapshotDisk, DiskFillingUpDuringTheSnapshotMakesItInvalid) {
  VT_REQUIRE_TMPFS(disk, "980m");
  auto results = run(home_, "OomScenarios.manyReferences",
                     {.agent_options = options_on(disk),
                      .jvm_flags = {"-Xmx512m"},
                      .args = {"8", "1000000"},
                      .process = {.timeout = std::chrono::seconds(300)}});
  EXPECT_EQ(results["request"], "true");

  std::vector<std::string> dirs = snapshot_dirs(disk.path());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(vt::read_file(dirs[0] + "/status.txt"), "cleanup 0");
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/oom_graph.bin"));
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/oom_info.txt"));
  EXPECT_TRUE(vt::file_exists(dirs[0] + "/parameters.txt"));
  EXPECT_TRUE(vt::file_exists(dirs[0] + "/context.lock"));
  EXPECT_TRUE(vt::lock_is_free(dirs[0] + "/context.lock"));
  vt::NativeLog log = home_.log();
  EXPECT_EQ(log.count("Disk is too full to continue snapshot ("), 1u) << log;
  EXPECT_EQ(log.count("Dumping was interrupted with a fatal error: disk is too full to continue."), 1u);
  EXPECT_EQ(notification_summary(collector_, 2),
            (std::vector<std::string>{"preemptive/start/", "preemptive/fatal/disk is too full to continue"}));
  // No upload for an invalid snapshot.
  sleep(2);
  EXPECT_FALSE(vt::file_exists(dirs[0] + "/forked_job.started"));
}

// A file system that is too small from the start stops the snapshot before any file is written,
// and the lock file is given back at once.
TEST_F(SnapshotDisk, TooLittleSpaceFromTheStartStopsBeforeWritingAndReleasesTheLock) {
  VT_REQUIRE_TMPFS(disk, "16m");
  // The JVM stays alive after the requests, so the lock is tested while its process runs.
  auto jvm = start(home_, "OomScenarios.sequence",
                   {.agent_options = options_on(disk), .args = {"request:small,request:again,sleep:60000"}});
  ASSERT_TRUE(wait_for_result(*jvm, "step3_sleeping=true", std::chrono::seconds(120))) << output();
  EXPECT_TRUE(vt::contains(jvm->out(), "RESULT step1_request=true"));
  std::vector<std::string> dirs = snapshot_dirs(disk.path());
  ASSERT_EQ(dirs.size(), 2u);
  for (const std::string &dir : dirs) {
    EXPECT_EQ(vt::list_directory(dir), std::vector<std::string>{"context.lock"});
    EXPECT_TRUE(vt::lock_is_free(dir + "/context.lock"));
  }
  EXPECT_EQ(notification_summary(collector_, 4),
            (std::vector<std::string>{"preemptive/start/", "preemptive/fatal/disk is too full to continue",
                                      "preemptive/start/", "preemptive/fatal/disk is too full to continue"}));
  jvm->kill(SIGKILL);
}

}  // namespace
