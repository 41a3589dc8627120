// The POSIX platform layer: files, locks, directories, threads, processes and sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/fileops.h"
#include "core/agent_state.h"
#include "core/agent_util.h"
#include "core/log.h"
#include "platform/proc_info.h"
#include "platform/sockets.h"
#include "test_util.h"

namespace {

int open_descriptors() { return (int)vt::list_directory("/proc/self/fd").size(); }

TEST(Files, CreateDirectoryAcceptsExistingAndNeedsAParent) {
  vt::TempDir dir;
  std::string path = dir / "one";
  EXPECT_TRUE(create_directory(path.c_str()));
  EXPECT_TRUE(create_directory(path.c_str()));
  EXPECT_FALSE(create_directory((dir / "missing/child").c_str()));
}

TEST(Files, WriteFlushAppendsAndRefusesNull) {
  vt::TempDir dir;
  std::string path = dir / "log.txt";
  FILE *file = file_open_append_shared_write(path.c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file_write_flush(file, "one\n"));
  EXPECT_EQ(vt::read_file(path), "one\n");  // flushed at once
  EXPECT_TRUE(file_write_flush(file, "two\n"));
  file_close(file);
  EXPECT_EQ(vt::read_file(path), "one\ntwo\n");
  EXPECT_FALSE(file_write_flush(nullptr, "x"));
  file_close(nullptr);
}

TEST(Files, SizeRestoresThePosition) {
  vt::TempDir dir;
  std::string path = dir / "data";
  vt::write_file(path, std::string(10000, 'z'));
  FILE *file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(xfseek64(file, 123, SEEK_SET), 0);
  EXPECT_EQ(xfsize64(file), 10000);
  EXPECT_EQ(xftell64(file), 123);
  fclose(file);
}

TEST(Files, DeleteReportsFailure) {
  vt::TempDir dir;
  std::string path = dir / "gone";
  vt::write_file(path, "x");
  EXPECT_TRUE(file_delete(path.c_str()));
  EXPECT_FALSE(vt::file_exists(path));
  EXPECT_FALSE(file_delete(path.c_str()));
}

TEST(Files, FreeSpaceIsZeroForAMissingPath) {
  vt::TempDir dir;
  EXPECT_GT(disk_get_free_space(dir.path().c_str()), 0u);
  EXPECT_EQ(disk_get_free_space((dir / "missing/deeper").c_str()), 0u);
}

// The lock is taken in another process, as the Java half or a second agent would.
TEST(SystemLockedFile, HeldElsewhereGivesFileLockInUseAndLeavesNoDescriptor) {
  vt::TempDir dir;
  std::string path = dir / "context.lock";
  // "-o": only flock itself holds the lock, not its sleep, so that the lock is free once the
  // holder has been waited for.
  vt::BackgroundProcess holder("/usr/bin/flock", {"flock", "-o", "-x", path, "sleep", "30"});
  // Wait until the other process really holds the lock, not only until it made the file.
  ASSERT_TRUE(vt::wait_until(
      [&] {
        int probe = open(path.c_str(), O_RDONLY);
        if (probe < 0) return false;
        bool held = flock(probe, LOCK_EX | LOCK_NB) != 0;
        close(probe);
        return held;
      },
      std::chrono::seconds(10)));
  vt::TempDir logs;
  log_use_directory("unit", (logs.path() + "/logs").c_str());

  int before = open_descriptors();
  locked_file_handle handle = 123;
  EXPECT_FALSE(create_locked_file(path.c_str(), &handle));
  EXPECT_EQ(handle, INVALID_LOCKED_FILE);
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_TRUE(vt::NativeLog::read(logs / "logs").contains("ERROR - File lock in use."));

  holder.kill(SIGKILL);
  holder.wait(std::chrono::seconds(5));
  ASSERT_TRUE(create_locked_file(path.c_str(), &handle));
  EXPECT_GE(handle, 0);
  // The lock is not handed down to children the agent starts.
  EXPECT_NE(fcntl((int)handle, F_GETFD) & FD_CLOEXEC, 0);
  free_locked_file(handle);
  free_locked_file(INVALID_LOCKED_FILE);
}

TEST(Threads, NumbersAreSmallStableAndUnique) {
  uint32_t mine = getCurrentThreadId();
  EXPECT_GE(mine, 1u);
  EXPECT_EQ(getCurrentThreadId(), mine);
  std::vector<uint32_t> ids(16);
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&ids, i] {
      ids[i] = getCurrentThreadId();
      EXPECT_EQ(getCurrentThreadId(), ids[i]);
    });
  }
  for (std::thread &t : threads) t.join();
  std::set<uint32_t> unique(ids.begin(), ids.end());
  unique.insert(mine);
  EXPECT_EQ(unique.size(), 17u);
  EXPECT_EQ(unique.count(0), 0u);
}

// VMDeath sets the flag on one thread while others read it: here the error check, which stops
// asking JVMTI once the VM is dead and then reports a dead phase once. Under ThreadSanitizer a
// plain byte there is a data race.
agent_globals_record dying_vm_record{};

TEST(Threads, TheVmDeadFlagIsSetWhileOtherThreadsReadIt) {
  vt::TempDir logs;
  ASSERT_TRUE(log_use_directory("unit", logs.path().c_str()));
  agent_globals_record *saved = agent_globals;
  agent_globals = &dying_vm_record;
  std::thread reader([] {
    for (int i = 0; i < 400; ++i) {
      check_jvmti_error_no_exception(nullptr, nullptr, JVMTI_ERROR_WRONG_PHASE, "probe");
      if (i == 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  dying_vm_record.vm_dead = 1;
  reader.join();
  agent_globals = saved;
  std::string text = vt::NativeLog::read(logs.path()).text();
  EXPECT_EQ(vt::count_occurrences(text, "ERROR: JVMTI: 112(JVMTI_ERROR_WRONG_PHASE): probe"), 1u) << text;
}

TEST(Threads, ThreadLocalSlotsArePerThread) {
  thread_local_key key = thread_local_initialise();
  EXPECT_EQ(thread_local_get(key), nullptr);
  int here = 1, there = 2;
  EXPECT_TRUE(thread_local_set(key, &here));
  std::thread other([&] {
    EXPECT_EQ(thread_local_get(key), nullptr);
    thread_local_set(key, &there);
    EXPECT_EQ(thread_local_get(key), &there);
  });
  other.join();
  EXPECT_EQ(thread_local_get(key), &here);
}

TEST(Processes, ModulePathCwdAndId) {
  char path[4096];
  ASSERT_TRUE(process_get_module_path(path, sizeof path, reinterpret_cast<const void *>(&process_get_id)));
  EXPECT_TRUE(vt::contains(path, "vorkel_unit_tests")) << path;
  char tiny[4];
  EXPECT_FALSE(process_get_module_path(tiny, sizeof tiny, reinterpret_cast<const void *>(&process_get_id)));
  char cwd[4096];
  EXPECT_TRUE(process_get_cwd(cwd, sizeof cwd));
  EXPECT_EQ(process_get_id(), (int32_t)getpid());
}

TEST(SystemProcesses, ChildGetsItsOwnGroupArgv0AndTheCurrentEnvironment) {
  vt::TempDir dir;
  std::string out = dir / "out";
  ASSERT_EQ(setenv("VORKEL_TEST_VALUE", "from-parent", 1), 0);
  // A listening socket without close-on-exec, as the JVM opens them: the child must not hold it.
  int listening = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listening, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listening, 1), 0);
  ASSERT_EQ(dup2(listening, 200), 200);
  close(listening);
  std::string script =
      "echo \"$0|$1|$VORKEL_TEST_VALUE|$VORKEL_TEST_ADDED|$(ps -o pgid= -p $$ | tr -d ' ')|$$|"
      "$(test -e /proc/$$/fd/200 && echo held || echo closed)\" > " +
      out;
  // argv[0] of the child is the list's first entry; "sh -c" shows its next arguments as $0 and $1.
  char *with_script[] = {const_cast<char *>("sh"),        const_cast<char *>("-c"),    script.data(),
                         const_cast<char *>("mode-word"), const_cast<char *>("first"), nullptr};
  int32_t pid = 0;
  const char *variables[] = {"VORKEL_TEST_ADDED=for-the-child", nullptr};
  ASSERT_TRUE(create_process("/bin/sh", with_script, &pid, variables));
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(vt::wait_until([&] { return vt::contains(vt::read_file(out), "\n"); }, std::chrono::seconds(5)));
  std::string line = vt::split_lines(vt::read_file(out))[0];
  // pgid equals the child's own pid: a process group of its own.
  std::string expected =
      "mode-word|first|from-parent|for-the-child|" + std::to_string(pid) + "|" + std::to_string(pid) + "|closed";
  EXPECT_EQ(line, expected);
  EXPECT_EQ(getenv("VORKEL_TEST_ADDED"), nullptr);
  EXPECT_FALSE(create_process((dir / "missing-program").c_str(), with_script, &pid));
  close(200);
}

TEST(Sockets, TimeoutIsSplitIntoSecondsAndMicroseconds) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  ASSERT_TRUE(socket_set_timeout(s, SO_RCVTIMEO, 1500));
  timeval value{};
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, &length), 0);
  EXPECT_EQ(value.tv_sec, 1);
  EXPECT_EQ(value.tv_usec, 500000);
  EXPECT_TRUE(socket_set_non_blocking(s, true));
  EXPECT_NE(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_TRUE(socket_set_non_blocking(s, false));
  EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_TRUE(socket_is_blocking_error(EINPROGRESS));
  EXPECT_TRUE(socket_is_interrupt_error(EINTR));
  EXPECT_TRUE(socket_is_timeout_error(ETIMEDOUT));
  socket_close(s);
}

}  // namespace
