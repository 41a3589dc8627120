// The exit monitor's parts that run in any process: the crash log pattern, where the crash log is
// looked for, how much of it is read and how it is cleaned, and the temporary directory.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "helpers/death_monitor.h"
#include "core/log.h"
#include "test_util.h"

namespace {

std::string expand(const char *pattern, int32_t pid, size_t size = 1024) {
  std::string buffer(size, '\0');
  bool fits = death_monitor_apply_hserr_pattern(buffer.data(), size, pattern, pid);
  EXPECT_TRUE(fits) << pattern;
  return buffer.c_str();
}

TEST(CrashLogPattern, ExpandsPidAndPercentAndKeepsEverythingElse) {
  EXPECT_EQ(expand("/var/log/err_%p_%%.log", 4242), "/var/log/err_4242_%.log");
  EXPECT_EQ(expand("x%", 7), "x%");
  EXPECT_EQ(expand("%t%p%p", 12), "%t1212");
  EXPECT_EQ(expand("plain", 1), "plain");
  // A result that does not fit is refused rather than used as another file's name.
  char small[8];
  EXPECT_FALSE(death_monitor_apply_hserr_pattern(small, sizeof small, "/tmp/hs_err_%p.log", 1234));
  // No room at all holds not even the empty text (it was taken as fitting, unterminated).
  EXPECT_FALSE(death_monitor_apply_hserr_pattern(small, 0, "", 1234));
}

bool parse_monitor(std::vector<std::string> list, death_monitor_parameters *parameters) {
  std::vector<char *> arguments = vt::argument_vector(list);
  return death_monitor_parse_arguments(arguments.data(), (int)list.size(), parameters);
}

TEST(MonitorArguments, AreTakenWholeOrRefused) {
  const std::vector<std::string> good{"monitor",           "4242", "/work",          "acc", "jvm", "sess",
                                      "collector.example", "8080", "/logs/hs_%p.log"};
  death_monitor_parameters parameters{};
  ASSERT_TRUE(parse_monitor(good, &parameters));
  EXPECT_EQ(parameters.pid, 4242);
  EXPECT_STREQ(parameters.work_dir, "/work");
  EXPECT_STREQ(parameters.session_id, "sess");
  EXPECT_STREQ(parameters.collector.host, "collector.example");
  EXPECT_EQ(parameters.collector.port, 8080);
  EXPECT_TRUE(parameters.has_pattern);
  EXPECT_STREQ(parameters.crash_log_pattern, "/logs/hs_%p.log");
  std::vector<std::string> longest = good;
  longest[2] = std::string(1023, 'd');
  ASSERT_TRUE(parse_monitor(longest, &parameters));
  EXPECT_EQ(strlen(parameters.work_dir), 1023u);

  // Cut to its place, a text would name another directory, JVM or file (it was cut silently); a
  // line end in the host would start a header of its own in the request; a port must be one.
  const std::vector<std::pair<size_t, std::string>> refused{{1, "0"},
                                                            {2, std::string(1024, 'd')},
                                                            {3, std::string(64, 'a')},
                                                            {8, std::string(1024, 'p')},
                                                            {6, "a\r\nX: 1"},
                                                            {6, ""},
                                                            {7, "80x"},
                                                            {7, "65536"}};
  for (const auto &[index, value] : refused) {
    std::vector<std::string> list = good;
    list[index] = value;
    EXPECT_FALSE(parse_monitor(list, &parameters)) << index << " " << value;
  }
}

TEST(CrashLogSanitising, KeepsTabsAndLineEndsAndReplacesOtherControlBytes) {
  std::string text("a\tb\nc\r\x1b[0m\x7f\x80\xff\x01\x00z", 16);
  death_monitor_sanitise(text.data(), text.size());
  EXPECT_EQ(text, "a\tb\nc\r?[0m?????z");
}

class CrashLogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    const char *tmp = getenv("TMPDIR");
    had_tmpdir_ = tmp != nullptr;
    if (had_tmpdir_) old_tmpdir_ = tmp;
    ASSERT_TRUE(vt::make_directories({dir_ / "cwd", dir_ / "tmp"}));
    ASSERT_EQ(chdir((dir_ / "cwd").c_str()), 0);
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_cwd_), 0);
    if (had_tmpdir_)
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  std::string open_path(int32_t pid, const char *pattern) {
    char path[1024];
    FILE *file = death_monitor_open_crash_log(pid, pattern, path, sizeof path);
    if (file != nullptr) fclose(file);
    return file != nullptr ? path : "none";
  }
  vt::TempDir dir_{"vorkel-crashlog"};
  char old_cwd_[4096];
  bool had_tmpdir_ = false;
  std::string old_tmpdir_;
};

TEST_F(CrashLogFiles, CandidatesAreTriedInOrder) {
  const int32_t pid = 31337;
  std::string pattern = dir_ / "errors/hs_%p.log";
  std::string in_cwd = dir_ / "cwd/hs_err_pid31337.log";
  std::string in_tmp = dir_ / "tmp/hs_err_pid31337.log";
  std::string in_jvm_dir = dir_ / "tmp/jvm-31337/hs_error.log";
  EXPECT_EQ(open_path(pid, pattern.c_str()), "none");

  ASSERT_TRUE(vt::make_directories({dir_ / "tmp/jvm-31337", dir_ / "errors"}));
  vt::write_file(in_jvm_dir, "d");
  EXPECT_EQ(open_path(pid, pattern.c_str()), in_jvm_dir);
  vt::write_file(in_tmp, "c");
  EXPECT_EQ(open_path(pid, pattern.c_str()), in_tmp);
  vt::write_file(in_cwd, "b");
  EXPECT_EQ(open_path(pid, pattern.c_str()), in_cwd);
  vt::write_file(dir_ / "errors/hs_31337.log", "a");
  EXPECT_EQ(open_path(pid, pattern.c_str()), dir_ / "errors/hs_31337.log");
  // Without a pattern (or with one of a single character) the fallbacks are used.
  EXPECT_EQ(open_path(pid, nullptr), in_cwd);
  EXPECT_EQ(open_path(pid, "x"), in_cwd);
  // Another pid finds none of them.
  EXPECT_EQ(open_path(pid + 1, pattern.c_str()), "none");
  // A pattern that names a directory (read as empty, it ended the search) or a pipe (it kept the
  // monitor waiting) is passed over.
  EXPECT_EQ(open_path(pid, (dir_ / "errors").c_str()), in_cwd);
  ASSERT_EQ(mkfifo((dir_ / "errors/pipe").c_str(), 0600), 0);
  EXPECT_EQ(open_path(pid, (dir_ / "errors/pipe").c_str()), in_cwd);
}

TEST_F(CrashLogFiles, TheTemporaryDirectoryComesFromTmpdirOrIsTmp) {
  char buffer[1024];
  death_monitor_get_temp_dir(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), dir_ / "tmp/");
  setenv("TMPDIR", "/var/tmp/", 1);
  death_monitor_get_temp_dir(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), "/var/tmp/");
  unsetenv("TMPDIR");
  death_monitor_get_temp_dir(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), "/tmp/");
  setenv("TMPDIR", std::string(2000, 'd').c_str(), 1);
  death_monitor_get_temp_dir(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), "/tmp/");
}

std::string read_crash_log(const std::string &path) {
  FILE *file = fopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  if (file == nullptr) return "";
  size_t length = 12345;
  char *text = death_monitor_read_crash_log(file, &length);
  fclose(file);
  std::string result = text != nullptr ? std::string(text, length) : "(none)";
  if (text != nullptr)
    EXPECT_EQ(text[length], '\0');
  else
    EXPECT_EQ(length, 0u);
  death_monitor_release_crash_log(text);
  return result;
}

TEST_F(CrashLogFiles, ALargeCrashLogIsCutTo4MiBAndCleaned) {
  std::string large(10 * 1024 * 1024, 'x');
  for (size_t i = 0; i < large.size(); i += 4096) large[i] = '\n';
  large[5] = '\x1b';
  large[DEATH_MONITOR_MAX_CRASH_LOG] = '\x1b';  // beyond the cut
  ASSERT_TRUE(vt::write_file(dir_ / "large.log", large));
  std::string read = read_crash_log(dir_ / "large.log");
  ASSERT_EQ(read.size(), 4194304u);
  std::string expected = large.substr(0, 4194304);
  expected[5] = '?';
  EXPECT_TRUE(read == expected);

  ASSERT_TRUE(vt::write_file(dir_ / "empty.log", ""));
  EXPECT_EQ(read_crash_log(dir_ / "empty.log"), "(none)");
  ASSERT_TRUE(vt::write_file(dir_ / "small.log", std::string("#\tA fatal error\x00\n", 17)));
  EXPECT_EQ(read_crash_log(dir_ / "small.log"), "#\tA fatal error?\n");
}

}  // namespace
