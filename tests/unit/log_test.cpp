// Native logging: line format, the daily file and its rollover, and standard error for errors
// delivered nowhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "core/log.h"
#include "test_util.h"

namespace {

date_record fake_today{2026, 12, 8, 23, 59, 59, 999};
void fake_date(date_record *date) { *date = fake_today; }

// A clock that moves on by a day every 50 readings, whichever thread reads it, from the 10th to
// the 29th.
std::atomic<int> clock_readings{0};
void a_day_every_50_readings(date_record *date) {
  *date = {2026, 12, 10 + std::min(clock_readings.fetch_add(1) / 50, 19), 23, 59, 59, 999};
}

TEST(LogDirectory, IsTheLastLibComponentsParentPlusLogs) {
  char directory[1024];
  ASSERT_TRUE(log_directory_for_module("/opt/agent/lib/libagent.dylib", directory, sizeof directory));
  EXPECT_STREQ(directory, "/opt/agent/logs/");
  ASSERT_TRUE(log_directory_for_module("/a/lib/b/lib/libvorkel.so", directory, sizeof directory));
  EXPECT_STREQ(directory, "/a/lib/b/logs/");
  ASSERT_TRUE(log_directory_for_module("C:\\agent\\lib\\vorkel.dll", directory, sizeof directory));
  EXPECT_STREQ(directory, "C:\\agent\\logs/");
  // A directory named "library" is not "lib"; a file named lib is not a directory.
  EXPECT_FALSE(log_directory_for_module("/opt/library/libvorkel.so", directory, sizeof directory));
  EXPECT_FALSE(log_directory_for_module("/opt/agent/lib", directory, sizeof directory));
  EXPECT_FALSE(log_directory_for_module("libvorkel.so", directory, sizeof directory));
  char small[8];
  EXPECT_FALSE(log_directory_for_module("/opt/agent/lib/libvorkel.so", small, sizeof small));
}

// Runs in a child process of its own, so that logging there starts uninitialised.
TEST(SystemLogBeforeInitialisation, ErrorsGoToStandardErrorOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        log_info(nullptr, "an info line nobody sees");
        log_error_raw(nullptr, "early failure %d (%s:%d)", 7, "somewhere", 12);
        fflush(stderr);
        exit(0);
      },
      ::testing::ExitedWithCode(0),
      // Only what both of GoogleTest's regular expression dialects read (Windows has the simple one).
      "....-..-.. ..:..:..,... \\[        :0    \\] ERROR - early failure 7 \\(somewhere:12\\)");
}

class LogFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new vt::TempDir("vorkel-log");
    log_set_date_source(fake_date);
    ASSERT_TRUE(log_use_directory("unit", (dir_->path() + "/logs").c_str()));
  }
  static void TearDownTestSuite() {
    log_set_date_source(nullptr);
    delete dir_;
  }
  static std::string file(const char *day) { return dir_->path() + "/logs/vorkel-native." + day + ".log"; }
  static vt::TempDir *dir_;
};
vt::TempDir *LogFile::dir_;

TEST_F(LogFile, LinesHaveTheExactFormat) {
  log_warn(nullptr, "disk at %d%%", 91);
  std::string content = vt::read_file(file("20261208"));
  std::regex line(R"((^|\n)2026-12-08 23:59:59,999 \[unit    :\d{1,5} *\] WARN  - disk at 91%\n)");
  EXPECT_TRUE(std::regex_search(content, line)) << content;
}

TEST_F(LogFile, MidnightOpensTheNextDaysFile) {
  fake_today = {2026, 12, 8, 23, 59, 59, 999};
  log_info(nullptr, "before midnight");
  fake_today = {2026, 12, 9, 0, 0, 0, 1};
  log_info(nullptr, "after midnight");
  fake_today = {2026, 12, 8, 23, 59, 59, 999};
  std::string old_day = vt::read_file(file("20261208"));
  std::string new_day = vt::read_file(file("20261209"));
  EXPECT_TRUE(vt::contains(old_day, "before midnight"));
  EXPECT_FALSE(vt::contains(old_day, "after midnight"));
  EXPECT_TRUE(vt::contains(new_day, "2026-12-09 00:00:00,001"));
  EXPECT_TRUE(vt::contains(new_day, "after midnight"));
}

TEST_F(LogFile, LongMessagesAreCutAndTheFirstRoleStays) {
  log_initialise("other");  // already initialised: the first role stays
  std::string long_message(2000, 'm');
  log_debug(nullptr, "%s", long_message.c_str());
  std::string content = vt::read_file(file("20261208"));
  std::smatch match;
  ASSERT_TRUE(std::regex_search(content, match, std::regex(R"(\[unit    :\d+ *\] DEBUG - (m+)\n)")));
  EXPECT_EQ(match[1].length(), 1023);

  log_rename("renamed");
  log_info(nullptr, "after rename");
  log_rename("unit");
  content = vt::read_file(file("20261208"));
  EXPECT_TRUE(std::regex_search(content, std::regex(R"(\[renamed :\d+ *\] INFO  - after rename)"))) << content;
}

TEST_F(LogFile, DeliveredErrorsDoNotReachStandardError) {
  testing::internal::CaptureStderr();
  log_error_raw(nullptr, "delivered to the file (%s:%d)", "here", 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_TRUE(vt::contains(vt::read_file(file("20261208")), "ERROR - delivered to the file (here:1)"));
}

TEST_F(LogFile, LinesOfSeveralThreadsAcrossMidnightsLandWholeAndOnceInTheFileOfTheirDay) {
  constexpr int THREADS = 4;
  constexpr int LINES = 250;
  log_set_date_source(a_day_every_50_readings);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < LINES; ++i) log_info(nullptr, "thread %d line %d", t, i);
    });
  }
  for (std::thread &thread : threads) thread.join();
  log_set_date_source(fake_date);

  std::regex line(R"(2026-12-(\d\d) 23:59:59,999 \[unit    :\d+ *\] INFO  - thread (\d) line (\d+))");
  std::set<std::pair<int, int>> seen;
  for (int day = 10; day <= 29; ++day) {
    std::string content = vt::read_file(file(("202612" + std::to_string(day)).c_str()));
    for (const std::string &text : vt::split_lines(content)) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(text, match, line)) << "a broken line in the file of the " << day << "th: " << text;
      EXPECT_EQ(std::stoi(match[1]), day) << text;
      EXPECT_TRUE(seen.insert({std::stoi(match[2]), std::stoi(match[3])}).second) << "twice: " << text;
    }
  }
  EXPECT_EQ(seen.size(), (size_t)THREADS * LINES);
}

}  // namespace
