// Starting other processes: the uploader fork's command line and environment, and the Windows
// command lines (argument quoting, the raw rundll32 target, the 2048-byte limit), read back with
// the Windows argument parser's rules.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <vector>

#include "agent/agent_init.h"
#include "helpers/execute.h"
#include "core/log.h"
#include "snapshot/oom.h"
#include "base/string_util.h"
#include "test_util.h"
#include "platform/win/command_line.h"

namespace {

// The Windows argument parser's rules: arguments are separated by spaces and tabs outside
// quotes; 2n backslashes before a quote give n backslashes and the quote opens or closes a
// quoted part; 2n + 1 backslashes before a quote give n backslashes and a literal quote;
// backslashes elsewhere are literal.
std::vector<std::string> windows_parse(const std::string &line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string current;
    bool quoted = false;
    while (i < n) {
      char c = line[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t count = 0;
        while (i < n && line[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && line[i] == '"') {
          current.append(count / 2, '\\');
          if (count % 2 == 1) {
            current += '"';
            ++i;
          }
        } else {
          current.append(count, '\\');
        }
        continue;
      }
      if (c == '"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      current += c;
      ++i;
    }
    arguments.push_back(current);
  }
  return arguments;
}

std::string quote(const char *argument, bool quote_comma = false) {
  char storage[256];
  appendable buffer;
  appendable_init(&buffer, storage, sizeof storage);
  EXPECT_TRUE(command_line_append_argument(&buffer, argument, quote_comma));
  return storage;
}

TEST(WindowsArguments, AreQuotedOnlyWhenTheyMustBe) {
  EXPECT_EQ(quote("plain"), "plain");
  EXPECT_EQ(quote("C:\\no\\spaces\\"), "C:\\no\\spaces\\");
  EXPECT_EQ(quote("a,b"), "a,b");
  EXPECT_EQ(quote("a,b", true), "\"a,b\"");
  EXPECT_EQ(quote(""), "\"\"");
  EXPECT_EQ(quote("with space"), "\"with space\"");
  EXPECT_EQ(quote("new\nline"), "\"new\nline\"");
  EXPECT_EQ(quote("v\vtab"), "\"v\vtab\"");
  // n backslashes before a quote become 2n + 1; n trailing backslashes become 2n.
  EXPECT_EQ(quote("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(quote("a\\\\\"b"), "\"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(quote("dir with space\\"), "\"dir with space\\\\\"");
  EXPECT_EQ(quote("C:\\a b\\c"), "\"C:\\a b\\c\"");
}

TEST(WindowsArguments, ReadBackUnchangedByTheWindowsParser) {
  const char *texts[] = {"",
                         "plain",
                         "with space",
                         "tab\there",
                         "quote\"inside",
                         "back\\slash",
                         "trail\\",
                         "trail space\\",
                         "\\\"",
                         "a\\\\\"b c",
                         "C:\\Program Files\\x\\\\",
                         "\"",
                         "\\\\\\",
                         " "};
  std::vector<char *> list;
  for (const char *text : texts) list.push_back(const_cast<char *>(text));
  list.push_back(nullptr);
  char line[COMMAND_LINE_SIZE];
  ASSERT_TRUE(command_line_build(line, sizeof line, list.data(), COMMAND_LINE_NO_RAW_ARGUMENT));
  std::vector<std::string> parsed = windows_parse(line);
  ASSERT_EQ(parsed.size(), std::size(texts) + 1) << line;
  EXPECT_EQ(parsed[0], "vorkel");
  for (size_t i = 0; i < std::size(texts); ++i) EXPECT_EQ(parsed[i + 1], texts[i]) << i << ": " << line;
}

TEST(WindowsArguments, TheRundllStartKeepsItsTargetAsItIs) {
  char target[COMMAND_LINE_RUNDLL_TARGET_SIZE];
  ASSERT_TRUE(command_line_rundll_target(target, sizeof target, "C:\\Program Files\\vorkel\\lib\\vorkel.dll"));
  EXPECT_STREQ(target, "\"C:\\Program Files\\vorkel\\lib\\vorkel.dll\",agent_win32_entry");
  ASSERT_TRUE(command_line_rundll_target(target, sizeof target, "C:\\vorkel,1\\vorkel.dll"));
  EXPECT_STREQ(target, "\"C:\\vorkel,1\\vorkel.dll\",agent_win32_entry");
  ASSERT_TRUE(command_line_rundll_target(target, sizeof target, "C:\\vorkel\\vorkel.dll"));
  EXPECT_STREQ(target, "C:\\vorkel\\vorkel.dll,agent_win32_entry");
  // The path, the comma and "agent_win32_entry" share 1023 characters.
  std::string long_path(1005, 'p');
  EXPECT_TRUE(command_line_rundll_target(target, sizeof target, long_path.c_str()));
  long_path += 'p';
  EXPECT_FALSE(command_line_rundll_target(target, sizeof target, long_path.c_str()));

  char quoted_target[] = "\"C:\\Program Files\\vorkel.dll\",agent_win32_entry";
  char mode[] = "monitor", pid[] = "4242", work[] = "C:\\work dir\\", empty[] = "";
  char *list[] = {quoted_target, mode, pid, work, empty, nullptr};
  char line[COMMAND_LINE_SIZE];
  ASSERT_TRUE(command_line_build(line, sizeof line, list, 0));
  EXPECT_STREQ(line,
               "vorkel \"C:\\Program Files\\vorkel.dll\",agent_win32_entry monitor 4242 \"C:\\work dir\\\\\" \"\"");
  // An empty raw entry is still written as an empty argument.
  char *empty_first[] = {empty, mode, nullptr};
  ASSERT_TRUE(command_line_build(line, sizeof line, empty_first, 0));
  EXPECT_STREQ(line, "vorkel \"\" monitor");
}

TEST(WindowsArguments, TheCommandLineHas2048Bytes) {
  vt::TempDir logs("vorkel-exec");
  ASSERT_TRUE(log_use_directory("unit", logs.path().c_str()));
  char line[COMMAND_LINE_SIZE];
  // "vorkel" and a space leave 2040 characters before the terminator.
  std::string fits(2040, 'a');
  char *list[] = {fits.data(), nullptr};
  EXPECT_TRUE(command_line_build(line, sizeof line, list, COMMAND_LINE_NO_RAW_ARGUMENT));
  EXPECT_EQ(strlen(line), 2047u);
  std::string too_long(2041, 'a');
  list[0] = too_long.data();
  EXPECT_FALSE(command_line_build(line, sizeof line, list, COMMAND_LINE_NO_RAW_ARGUMENT));
  std::string log = vt::NativeLog::read(logs.path()).text();
  EXPECT_TRUE(vt::contains(log, "ERROR - Argument buffer too small. (create_process_special:79)")) << log;
}

// The uploader fork, started for real: a stand-in launcher records what it was given.
class SystemUploaderFork : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
    saved_ = agent_globals;
    globals_ = static_cast<agent_globals_record *>(calloc(1, sizeof(agent_globals_record)));
    agent_globals = globals_;
    std::string launcher = dir_ / "java";
    vt::write_file(
        launcher,
        "#!/bin/sh\n"
        "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; printf 'VORKEL_HOME=%s\\n' \"$VORKEL_HOME\"; } > " +
            (dir_ / "seen.tmp") + " && mv " + (dir_ / "seen.tmp") + " " + (dir_ / "seen") + "\n");
    chmod(launcher.c_str(), 0755);
    safe_strncpy(globals_->java_executable, launcher.c_str(), sizeof globals_->java_executable);
    safe_strncpy(globals_->agent_jar, "/opt/vorkel/lib/vorkel-agent.jar", sizeof globals_->agent_jar);
    safe_strncpy(globals_->home_dir, "/opt/vorkel home", sizeof globals_->home_dir);
    safe_strncpy(globals_->work_dir, (dir_ / "work").c_str(), sizeof globals_->work_dir);
  }
  void TearDown() override {
    agent_globals = saved_;
    free(globals_);
  }
  std::string seen() {
    EXPECT_TRUE(vt::wait_until([&] { return vt::file_exists(dir_ / "seen"); }, std::chrono::seconds(10)));
    std::string text = vt::read_file(dir_ / "seen");
    unlink((dir_ / "seen").c_str());
    return text;
  }
  vt::TempDir dir_{"vorkel-fork"};
  agent_globals_record *saved_ = nullptr;
  agent_globals_record *globals_ = nullptr;
};

TEST_F(SystemUploaderFork, GetsTheListedArgumentsAndTheHomeVariable) {
  unsetenv("VORKEL_HOME");
  ASSERT_TRUE(oom_start_fork("oom", "/work/oom_1234"));
  // Only the child's environment has it: the JVM's own is never changed while its threads run.
  EXPECT_EQ(getenv("VORKEL_HOME"), nullptr);
  EXPECT_EQ(seen(),
            "-Xmx256m\n-DvorkelFork=1\n-jar\n/opt/vorkel/lib/vorkel-agent.jar\nforked_job\noom\n/work/oom_1234\n"
            "VORKEL_HOME=/opt/vorkel home\n");

  char first[] = "-Dx=a b", second[] = "-Xss1m";
  char *arguments[] = {first, second};
  globals_->jvm_arguments = arguments;
  globals_->jvm_argument_count = 2;
  ASSERT_TRUE(oom_start_fork("all", "/work"));
  globals_->jvm_arguments = nullptr;
  globals_->jvm_argument_count = 0;
  EXPECT_EQ(
      seen(),
      "-Dx=a b\n-Xss1m\n-Xmx256m\n-DvorkelFork=1\n-jar\n/opt/vorkel/lib/vorkel-agent.jar\nforked_job\nall\n/work\n"
      "VORKEL_HOME=/opt/vorkel home\n");
}

TEST_F(SystemUploaderFork, AMissingLauncherIsReported) {
  safe_strncpy(globals_->java_executable, (dir_ / "no-java").c_str(), sizeof globals_->java_executable);
  EXPECT_FALSE(oom_start_fork("oom", "/work"));
  std::string log = vt::NativeLog::read(dir_ / "logs").text();
  EXPECT_TRUE(vt::contains(log, "ERROR - Executable " + (dir_ / "no-java") + " not found.")) << log;
  agent_globals = nullptr;
  EXPECT_FALSE(oom_start_fork("oom", "/work"));
}

}  // namespace
