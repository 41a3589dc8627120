// OOM handling without a JVM: event types, the banner, and the phases that come before any JVMTI
// call (memory and disk guards), with the real notification helper and a loopback collector.
#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent_init.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "snapshot/oom_notify.h"
#include "snapshot/snapshot_memory_tracker.h"
#include "base/string_util.h"
#include "test_collector.h"
#include "test_util.h"

namespace {

TEST(NotifyArguments, GiveTheCollectorAndTheFieldsOrAreRefused) {
  std::vector<std::string> list{"notify", "collector.example", "8080",  "5",         "acc", "jvm", "sess",
                                "desc",   "1700000000000",     "error", "disk_space"};
  std::vector<char *> arguments = vt::argument_vector(list);
  oom_notify_request request;
  ASSERT_TRUE(oom_notify_parse_arguments(arguments.data(), (int)list.size(), &request));
  EXPECT_STREQ(request.host.host, "collector.example");
  EXPECT_EQ(request.host.port, 8080);
  EXPECT_STREQ(request.fields[0].name, "version");
  EXPECT_EQ(request.fields[7].value, arguments[10]);
  EXPECT_EQ(request.fields[8].name, nullptr);
  // A host that does not fit (it was cut) or has a line end, and a port that is no port.
  for (const auto &[index, value] :
       std::vector<std::pair<size_t, std::string>>{{1, std::string(256, 'h')}, {1, "a\nb"}, {2, "8080x"}, {2, ""}}) {
    std::vector<std::string> changed = list;
    changed[index] = value;
    std::vector<char *> pointers = vt::argument_vector(changed);
    EXPECT_FALSE(oom_notify_parse_arguments(pointers.data(), (int)changed.size(), &request)) << value;
  }
}

TEST(OomEvents, TypesFollowDescriptionThenHeapFlag) {
  const jint oom = JVMTI_RESOURCE_EXHAUSTED_OOM_ERROR;
  const jint heap = JVMTI_RESOURCE_EXHAUSTED_JAVA_HEAP;
  EXPECT_EQ(oom_get_event_type(oom | heap, "Java heap space", false), OOM_TYPE_HEAP);
  EXPECT_EQ(oom_get_event_type(oom | heap, "PermGen space", false), OOM_TYPE_METASPACE);
  EXPECT_EQ(oom_get_event_type(oom, "Metaspace", false), OOM_TYPE_METASPACE);
  EXPECT_EQ(oom_get_event_type(oom | JVMTI_RESOURCE_EXHAUSTED_THREADS, "unable to create native thread", false),
            OOM_TYPE_OTHER);
  EXPECT_EQ(oom_get_event_type(oom, nullptr, false), OOM_TYPE_OTHER);
  EXPECT_EQ(oom_get_event_type(oom | heap, "Metaspace", true), OOM_TYPE_PREEMPTIVE);
  EXPECT_STREQ(get_oom_type_string(OOM_TYPE_HEAP), "heap");
  EXPECT_STREQ(get_oom_type_string(OOM_TYPE_METASPACE), "metaspace");
  EXPECT_STREQ(get_oom_type_string(OOM_TYPE_PREEMPTIVE), "preemptive");
  EXPECT_STREQ(get_oom_type_string(7), "other");
}

TEST(OomEvents, BannerLinesAreEightyColumnsAndLongLocationsGetNoPadding) {
  char banner[512];
  oom_format_banner("/tmp/vork1", banner, sizeof banner);
  std::vector<std::string> lines = vt::split_lines(banner);
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string &line : lines) {
    EXPECT_EQ(line.size(), 80u) << line;
    EXPECT_EQ(line.back(), '*') << line;
  }
  EXPECT_EQ(lines[0], std::string(80, '*'));
  EXPECT_EQ(lines[1], "* Vorkel has detected an OutOfMemoryError thrown by the JVM.                   *");
  EXPECT_EQ(lines[2], "* See /tmp/vork1 to find more info." + std::string(44, ' ') + "*");
  std::string sixty(60, 'x');
  oom_format_banner(sixty.c_str(), banner, sizeof banner);
  EXPECT_EQ(vt::split_lines(banner)[2], "* See " + sixty + " to find more info.*");
}

// ---------------------------------------------------------------------------------------------

uint64_t tiny_available() { return 10ULL << 20; }
uint64_t plenty_maximum() { return 16ULL << 30; }
bool allocation_works(uint64_t) { return true; }
const memory_source low_memory{plenty_maximum, tiny_available, allocation_works};

uint64_t plenty_disk(const char *) { return 1ULL << 40; }

// The agent library, which runs the notification helper; absent from builds without the agent.
std::string built_agent_library() {
  char self[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "";
  std::string dir(self, (size_t)length);
  dir = dir.substr(0, dir.rfind('/'));
  std::string library = dir + "/../agent/lib/libvorkel.so";
  return vt::file_exists(library) ? library : "";
}

class OomPhases : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = built_agent_library();
    if (library_.empty()) GTEST_SKIP() << "no agent library in this build";
    log_use_directory("unit", (dir_.path() + "/logs").c_str());
    saved_ = agent_globals;
    globals_ = static_cast<agent_globals_record *>(calloc(1, sizeof(agent_globals_record)));
    xsnprintf(globals_->work_dir, sizeof globals_->work_dir, "%s", dir_.path().c_str());
    xsnprintf(globals_->self_executable, sizeof globals_->self_executable, "%s", library_.c_str());
    xsnprintf(globals_->account_id, sizeof globals_->account_id, "acc");
    xsnprintf(globals_->jvm_id, sizeof globals_->jvm_id, "jvm1");
    xsnprintf(globals_->session_id, sizeof globals_->session_id, "s1");
    agent_globals = globals_;
    oom_pre_initialise();
    oom_configure("127.0.0.1", collector_.port(), "/tmp", true);
  }
  void TearDown() override {
    snapshot_memory_tracker_set_source(nullptr);
    snapshot_set_disk_source(nullptr);
    if (globals_ != nullptr) {
      agent_globals = saved_;
      free(globals_);
    }
  }
  std::string log() { return vt::NativeLog::read(dir_ / "logs").text(); }
  std::vector<std::string> received() {
    std::vector<std::string> lines;
    for (const vt::HttpRequest &request : collector_.requests()) {
      lines.push_back(request.field("status") + "/" + request.field("message"));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  vt::TempDir dir_{"vorkel-oom"};
  vt::TestCollector collector_;
  std::string library_;
  agent_globals_record *saved_ = nullptr;
  agent_globals_record *globals_ = nullptr;
};

// The memory check fails before any JVMTI call: ("fatal", "memory_limit_reached"), no files but
// the lock file, and the lock given back.
TEST_F(OomPhases, FailedInitialMemoryCheckIsFatalAndReleasesTheLock) {
  snapshot_memory_tracker_set_source(&low_memory);
  snapshot_set_disk_source(plenty_disk);
  snapshot_record snapshot;
  snapshot_reset(&snapshot);
  snapshot.start_time = 1234;
  xsnprintf(snapshot.description, sizeof snapshot.description,
            "{\"type\":\"preemptive\",\"flags\":0,\"description\":\"x\"}");
  EXPECT_TRUE(snapshot_process(&snapshot, nullptr, nullptr, 1234));
  std::string dir = dir_ / "oom_1234";
  EXPECT_EQ(vt::list_directory(dir), std::vector<std::string>{"context.lock"});
  EXPECT_TRUE(vt::lock_is_free(dir + "/context.lock"));
  EXPECT_EQ(snapshot.lock_handle, INVALID_LOCKED_FILE);
  ASSERT_TRUE(collector_.wait_for_requests(2, std::chrono::seconds(30)));
  EXPECT_EQ(received(), (std::vector<std::string>{"fatal/memory_limit_reached", "start/"}));
  for (const vt::HttpRequest &request : collector_.requests()) {
    EXPECT_EQ(request.path, "/oom/notification");
    EXPECT_EQ(request.field("timestamp"), "1234");
    EXPECT_EQ(request.field("jvmId"), "jvm1");
    EXPECT_EQ(request.field("description"), "{\"type\":\"preemptive\",\"flags\":0,\"description\":\"x\"}");
  }
  std::string text = log();
  EXPECT_TRUE(vt::contains(text, "Memory snapshot not started due to failed memory usage safety check.")) << text;
  EXPECT_TRUE(vt::contains(text, "Sending snapshot processing error (level fatal): memory_limit_reached")) << text;
}

// A directory that cannot be made: ("fatal", "context_init") and nothing written.
TEST_F(OomPhases, DirectoryThatCannotBeMadeIsFatal) {
  xsnprintf(globals_->work_dir, sizeof globals_->work_dir, "%s/missing/deeper", dir_.path().c_str());
  snapshot_record snapshot;
  snapshot_reset(&snapshot);
  snapshot.start_time = 99;
  EXPECT_TRUE(snapshot_process(&snapshot, nullptr, nullptr, 99));
  EXPECT_FALSE(vt::file_exists(dir_ / "missing"));
  ASSERT_TRUE(collector_.wait_for_requests(2, std::chrono::seconds(30)));
  EXPECT_EQ(received(), (std::vector<std::string>{"fatal/context_init", "start/"}));
  EXPECT_TRUE(
      vt::contains(log(), "Failed to create directory " + dir_.path() + "/missing/deeper/oom_99 for OOM processing."));
  // Only the work directory itself is made again, not its parents.
  EXPECT_TRUE(vt::contains(log(), "/missing/deeper/oom_99 failed: No such file or directory (error 2).")) << log();
}

// Two requested snapshots that both stop at the memory check come within a millisecond of each
// other: each still gets a directory of its own, and each counts as handled.
TEST_F(OomPhases, SnapshotsInTheSameMillisecondGetTheirOwnDirectories) {
  static jvmtiEnv unused_environment{};  // the phases before the heap make no JVMTI call
  globals_->tag_jvmti = &unused_environment;
  oom_configure("127.0.0.1", collector_.port(), "/tmp", false);
  snapshot_memory_tracker_set_source(&low_memory);
  snapshot_set_disk_source(plenty_disk);
  uint32_t before = oom_handled_count(OOM_TYPE_PREEMPTIVE);
  for (int i = 0; i < 5; ++i) start_heap_dump(nullptr, 0, "quick", true);
  std::vector<std::string> dirs;
  for (const std::string &name : vt::list_directory(dir_.path())) {
    if (name.rfind("oom_", 0) == 0) dirs.push_back(name);
  }
  EXPECT_EQ(dirs.size(), 5u);
  EXPECT_EQ(oom_handled_count(OOM_TYPE_PREEMPTIVE), before + 5);
  EXPECT_EQ(vt::count_occurrences(log(), "Memory snapshot not started due to failed memory usage safety check."), 5u);
  EXPECT_EQ(collector_.connection_count(), 0u);  // notifications are off
}

}  // namespace
