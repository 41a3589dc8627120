// Child tracking: registration, reaping with its log lines, the 128-slot table and its overflow, and the
// executable check.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <vector>

#include "core/log.h"
#include "platform/proc_info.h"
#include "platform/process.h"
#include "test_util.h"

namespace {

class SystemChildTracking : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (logs_.path() + "/logs").c_str()));
    ASSERT_TRUE(proc_setup_child_tracking());
    // Children of earlier tests are gone before this one counts.
    ASSERT_TRUE(vt::wait_until(
        [] {
          proc_reap_children();
          return proc_tracked_child_count() == 0;
        },
        std::chrono::seconds(10)));
  }
  std::string log() { return vt::NativeLog::read(logs_ / "logs").text(); }
  int32_t start(const std::vector<std::string> &argv) {
    std::vector<char *> pointers;
    for (const std::string &arg : argv) pointers.push_back(const_cast<char *>(arg.c_str()));
    pointers.push_back(nullptr);
    int32_t pid = 0;
    EXPECT_TRUE(create_process(argv[0].c_str(), pointers.data(), &pid));
    return pid;
  }
  vt::TempDir logs_{"vorkel-proc"};
};

TEST_F(SystemChildTracking, TheReaperThreadLogsAnExitCodeWithinAboutFiveSeconds) {
  int32_t pid = start({"/bin/sh", "-c", "exit 3"});
  std::string expected = "WARN  - Child process " + std::to_string(pid) + " finished with exit code 3.";
  // The reaper thread runs every five seconds; nothing here reaps.
  EXPECT_TRUE(vt::wait_until([&] { return vt::contains(log(), expected); }, std::chrono::milliseconds(6500))) << log();
  EXPECT_EQ(proc_tracked_child_slot(pid), -1);
}

TEST_F(SystemChildTracking, OutcomesAreLoggedByKind) {
  int32_t ok = start({"/bin/sh", "-c", "exit 0"});
  int32_t killed = start({"/bin/sleep", "30"});
  kill(killed, SIGTERM);
  ASSERT_TRUE(vt::wait_until(
      [] {
        proc_reap_children();
        return proc_tracked_child_count() == 0;
      },
      std::chrono::seconds(5)));
  std::string text = log();
  EXPECT_TRUE(
      vt::contains(text, "DEBUG - Child process " + std::to_string(ok) + " finished successfully with exit code 0."));
  EXPECT_TRUE(vt::contains(text, "WARN  - Child process " + std::to_string(killed) + " exited with signal 15."));
  EXPECT_TRUE(
      vt::contains(text, "DEBUG - Started child process " + std::to_string(ok) + ". Now tracking 1 processes."));
}

TEST_F(SystemChildTracking, ChildrenBeyondTheTableAreTrackedAndReapedAndAFreedMiddleSlotIsReused) {
  std::vector<int32_t> pids;
  for (int i = 0; i < PROC_MAX_TRACKED_CHILDREN; ++i) pids.push_back(start({"/bin/sleep", "60"}));
  EXPECT_EQ(proc_tracked_child_count(), PROC_MAX_TRACKED_CHILDREN);
  // With the table full, short-lived helpers still get reaped: none stays a zombie.
  std::vector<int32_t> extra;
  for (int i = 0; i < 72; ++i) extra.push_back(start({"/bin/sh", "-c", "exit 0"}));
  EXPECT_EQ(proc_tracked_child_slot(extra.back()), PROC_MAX_TRACKED_CHILDREN + 71);
  ASSERT_TRUE(vt::wait_until(
      [] {
        proc_reap_children();
        return proc_tracked_child_count() == PROC_MAX_TRACKED_CHILDREN;
      },
      std::chrono::seconds(10)));
  for (int32_t pid : extra) EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << pid << " was not reaped";

  int32_t middle = pids[5];
  kill(middle, SIGKILL);
  ASSERT_TRUE(vt::wait_until(
      [&] {
        proc_reap_children();
        return proc_tracked_child_slot(middle) == -1;
      },
      std::chrono::seconds(5)));
  int32_t next = start({"/bin/sleep", "60"});
  EXPECT_EQ(proc_tracked_child_slot(next), 5);

  for (int32_t pid : pids) kill(pid, SIGKILL);
  kill(next, SIGKILL);
  ASSERT_TRUE(vt::wait_until(
      [] {
        proc_reap_children();
        return proc_tracked_child_count() == 0;
      },
      std::chrono::seconds(10)));
}

TEST_F(SystemChildTracking, ExecutablePermissionIsGrantedToTheOwnersOwnFile) {
  vt::TempDir dir;
  std::string script = dir / "tool.sh";
  vt::write_file(script, "#!/bin/sh\nexit 0\n");
  chmod(script.c_str(), 0644);
  int32_t pid = start({script});
  EXPECT_GT(pid, 0);
  struct stat info {};
  ASSERT_EQ(stat(script.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IXUSR, 0u);

  EXPECT_FALSE(proc_check_executable_permission((dir / "missing").c_str()));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Executable " + (dir / "missing") + " not found."));
}

TEST(SystemChildTrackingInactive, RegisteringWithoutTheTrackerWarns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        vt::TempDir logs;
        log_use_directory("unit", (logs.path() + "/logs").c_str());
        bool registered = proc_register_child(4242);
        std::string text = vt::NativeLog::read(logs / "logs").text();
        exit(!registered && vt::contains(text,
                                         "Child process 4242 not tracked since process tracker is not active. "
                                         "May leave a zombie process.")
                 ? 0
                 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
