// The Windows side of the helper processes and the process natives under Wine: the rundll32
// start of the agent's own DLL, the exit monitor's wait and temporary directory, and the
// WindowsProcessInfo natives.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "agent/agent_init.h"
#include "helpers/death_monitor.h"
#include "helpers/execute.h"
#include "core/hires_time.h"
#include "core/log.h"
#include "test_util.h"

extern "C" {
jboolean JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive(JNIEnv *, jclass, jint);
jlong JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getUsedPrivateMemory(JNIEnv *, jclass, jint);
jint JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getProcessId(JNIEnv *, jclass);
jlong JNICALL Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getPerformanceCounterFrequency(JNIEnv *,
                                                                                                        jclass);
}

namespace {

// An agent home with the DLL in lib/, so that helpers log to logs/.
class RundllStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryA((home_ / "lib").c_str(), nullptr));
    dll_ = home_ / "lib\\vorkel.dll";
    ASSERT_TRUE(CopyFileA(VORKEL_WIN_AGENT_DLL, dll_.c_str(), FALSE));
    safe_root_ = read_env("SystemRoot");
    saved_ = agent_globals;
    snprintf(record_.self_executable, sizeof record_.self_executable, "%s", dll_.c_str());
    agent_globals = &record_;
  }
  void TearDown() override {
    SetEnvironmentVariableA("SystemRoot", safe_root_.c_str());
    agent_globals = saved_;
  }
  static std::string read_env(const char *name) {
    char value[1024] = "";
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
  }
  std::string native_log() {
    std::vector<std::string> names = vt::list_directory(home_ / "logs");
    return names.empty() ? "" : vt::read_file(home_ / ("logs\\" + names[0]));
  }

  vt::TempDir home_{"vorkel home"};  // a space in the path: the target must be quoted
  std::string dll_;
  std::string safe_root_;
  agent_globals_record record_{};
  agent_globals_record *saved_ = nullptr;
};

TEST_F(RundllStart, StartsTheDllsEntryThroughRundll32FromSystemRoot) {
  char mode[] = "notify";
  char only[] = "127.0.0.1";
  char *arguments[] = {mode, only, nullptr};
  const char *reason = "unset";
  int32_t pid = 0;
  ASSERT_TRUE(execute_self(arguments, &reason, &pid)) << reason;
  EXPECT_STREQ(reason, "");
  EXPECT_GT(pid, 0);
  // The helper ran inside rundll32.exe, with the DLL's logs beside its lib directory.
  ASSERT_TRUE(
      vt::wait_until([&] { return vt::contains(native_log(), "expected 11, got 2."); }, std::chrono::seconds(60)));
  std::string log = native_log();
  EXPECT_TRUE(vt::contains(log, "[notify  :" + std::to_string(pid))) << log;
  EXPECT_TRUE(vt::contains(log, "ERROR - Invalid number of arguments to OOM notify, expected 11, got 2.")) << log;
}

TEST_F(RundllStart, FailsWithoutAUsableSystemRoot) {
  char mode[] = "notify";
  char *arguments[] = {mode, nullptr};
  const char *reason = nullptr;
  ASSERT_TRUE(SetEnvironmentVariableA("SystemRoot", nullptr));
  EXPECT_FALSE(execute_self(arguments, &reason, nullptr));
  EXPECT_STREQ(reason, "Failed to get system root path or path is too long.");
  std::string long_root(1024, 'r');
  ASSERT_TRUE(SetEnvironmentVariableA("SystemRoot", long_root.c_str()));
  EXPECT_FALSE(execute_self(arguments, &reason, nullptr));
  EXPECT_STREQ(reason, "Failed to get system root path or path is too long.");
  // Room for the root, not for the launcher's path after it.
  std::string near_limit(1023 - 5, 'r');
  ASSERT_TRUE(SetEnvironmentVariableA("SystemRoot", ("C:\\" + near_limit).c_str()));
  EXPECT_FALSE(execute_self(arguments, &reason, nullptr));
  EXPECT_STREQ(reason, "Failed to construct rundll path.");
  // A root that names no launcher fails the start itself.
  ASSERT_TRUE(SetEnvironmentVariableA("SystemRoot", (home_ / "nowhere").c_str()));
  EXPECT_FALSE(execute_self(arguments, &reason, nullptr));
  EXPECT_STREQ(reason, "Failed to start process.");
  SetEnvironmentVariableA("SystemRoot", safe_root_.c_str());
  std::string long_dll(1100, 'd');
  snprintf(record_.self_executable, sizeof record_.self_executable, "%s", long_dll.c_str());
  EXPECT_FALSE(execute_self(arguments, &reason, nullptr));
  EXPECT_STREQ(reason, "Failed to construct rundll target argument.");
}

TEST(WinExitMonitor, WaitsForTheProcessAndReadsItsExitCode) {
  vt::TempDir dir;
  std::string pid_file = dir / "pid", release = dir / "release";
  int32_t pid = 0;
  {
    vt::BackgroundProcess child(VORKEL_WIN_PROBE, {"win_probe", "exit", "7", pid_file, release});
    ASSERT_TRUE(vt::wait_until([&] { return !vt::read_file(pid_file).empty(); }, std::chrono::seconds(60)));
    pid = atoi(vt::read_file(pid_file).c_str());
    EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive(nullptr, nullptr, pid),
              JNI_TRUE);
    EXPECT_GT(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getUsedPrivateMemory(nullptr, nullptr, pid),
              0);
    ASSERT_TRUE(vt::write_file(release, "go"));
    int32_t kind = -1, code = -1;
    ASSERT_TRUE(death_monitor_wait_for_parent(pid, &kind, &code));
    EXPECT_EQ(kind, DEATH_MONITOR_EXITED);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(child.wait(std::chrono::seconds(30)).exit_code, 7);
    EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive(nullptr, nullptr, pid),
              JNI_FALSE);
  }
  // A process that cannot be opened (gone, or never there) is reported at once, with code 0.
  int32_t kind = -1, code = -1;
  ASSERT_TRUE(death_monitor_wait_for_parent(0x3ffffffc, &kind, &code));
  EXPECT_EQ(kind, DEATH_MONITOR_EXITED);
  EXPECT_EQ(code, 0);
}

TEST(WinExitMonitor, CrashLogsAreFoundInTheWindowsTemporaryDirectory) {
  char temp[1024];
  death_monitor_get_temp_dir(temp, sizeof temp);
  size_t length = strlen(temp);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(temp[length - 1], '\\');
  EXPECT_EQ(GetFileAttributesA(temp) & FILE_ATTRIBUTE_DIRECTORY, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_STREQ(death_monitor_platform_name(), "windows");
  int32_t pid = 400000 + (int32_t)(GetCurrentProcessId() % 1000);
  std::string log = std::string(temp) + "hs_err_pid" + std::to_string(pid) + ".log";
  ASSERT_TRUE(vt::write_file(log, "crash\x1b\r\n"));
  char found[1024];
  FILE *file = death_monitor_open_crash_log(pid, nullptr, found, sizeof found);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::string(found), log);
  size_t read = 0;
  char *text = death_monitor_read_crash_log(file, &read);
  fclose(file);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "crash?\r\n");
  death_monitor_release_crash_log(text);
  DeleteFileA(log.c_str());
  std::string nested = std::string(temp) + "jvm-" + std::to_string(pid);
  ASSERT_TRUE(CreateDirectoryA(nested.c_str(), nullptr));
  ASSERT_TRUE(vt::write_file(nested + "\\hs_error.log", "second"));
  file = death_monitor_open_crash_log(pid, nullptr, found, sizeof found);
  ASSERT_NE(file, nullptr);
  fclose(file);
  EXPECT_EQ(std::string(found), nested + "/hs_error.log");
  vt::remove_tree(nested);
}

TEST(WinProcessInfo, NativesAnswerForThisProcess) {
  EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getProcessId(nullptr, nullptr),
            (jint)GetCurrentProcessId());
  EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getPerformanceCounterFrequency(nullptr, nullptr),
            (jlong)perfCounterFrequency());
  jint own = (jint)GetCurrentProcessId();
  EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_isProcessAlive(nullptr, nullptr, own), JNI_TRUE);
  EXPECT_GT(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getUsedPrivateMemory(nullptr, nullptr, own),
            1 << 20);
  EXPECT_EQ(Java_vorkel_runtime_agent_tools_process_WindowsProcessInfo_getUsedPrivateMemory(nullptr, nullptr, -5), 0);
}

}  // namespace
