// The Windows platform modules under Wine: locked files against another process, writes, disk
// space, the clocks, thread numbers, command lines read back by a real child, sockets.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/agent_locks.h"
#include "agent/execute_modes.h"
#include "platform/fileops.h"
#include "core/hires_time.h"
#include "platform/proc_info.h"
#include "platform/sockets.h"
#include "test_util.h"
#include "platform/win/win_process.h"

namespace {

int probe(const std::vector<std::string> &arguments) {
  std::vector<std::string> argv = {"win_probe"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  vt::ProcessResult result = vt::run_process(VORKEL_WIN_PROBE, argv);
  return result.exit_code;
}

TEST(WinFiles, ALockedFileIsRefusedToAnotherProcessUntilReleased) {
  vt::TempDir dir;
  std::string path = dir / "context.lock";
  locked_file_handle handle = INVALID_LOCKED_FILE;
  ASSERT_TRUE(create_locked_file(path.c_str(), &handle));
  EXPECT_EQ(probe({"lock", path}), 3);
  // Within the process the handle is exclusive too.
  locked_file_handle second = INVALID_LOCKED_FILE;
  EXPECT_FALSE(create_locked_file(path.c_str(), &second));
  EXPECT_EQ(second, INVALID_LOCKED_FILE);
  free_locked_file(handle);
  EXPECT_EQ(probe({"lock", path}), 0);
  free_locked_file(INVALID_LOCKED_FILE);  // ignored
}

TEST(WinFiles, WriteFlushAppendsWholeTextsToASharedFile) {
  vt::TempDir dir;
  std::string path = dir / "native.log";
  EXPECT_FALSE(file_write_flush(nullptr, "x"));
  FILE *first = file_open_append_shared_write(path.c_str());
  FILE *second = file_open_append_shared_write(path.c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(file_write_flush(first, "one\n"));
  EXPECT_TRUE(file_write_flush(second, "two\n"));
  EXPECT_TRUE(file_write_flush(first, "three\n"));
  // Another reader sees every byte at once, with no line-end translation.
  EXPECT_EQ(vt::read_file(path), "one\ntwo\nthree\n");
  file_close(first);
  file_close(second);
  file_close(nullptr);
  EXPECT_TRUE(create_directory((dir / "sub").c_str()));
  EXPECT_TRUE(create_directory((dir / "sub").c_str()));
  EXPECT_FALSE(create_directory((dir / "missing\\sub").c_str()));
  EXPECT_TRUE(file_delete(path.c_str()));
  EXPECT_FALSE(file_delete(path.c_str()));
}

TEST(WinFiles, FreeDiskSpaceOfTheVolumeOrZero) {
  vt::TempDir dir;
  EXPECT_GT(disk_get_free_space(dir.path().c_str()), 0u);
  EXPECT_EQ(disk_get_free_space((dir / "missing\\deeper").c_str()), 0u);
  EXPECT_EQ(disk_get_free_space(nullptr), 0u);
}

TEST(WinTime, SystemTimeIsUnixMillisecondsAndTheCounterIsMonotonic) {
  int64_t before = (int64_t)time(nullptr) * 1000;
  int64_t now = systemTimeMillis();
  int64_t after = (int64_t)time(nullptr) * 1000 + 1000;
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  uint64_t frequency = perfCounterFrequency();
  ASSERT_GT(frequency, 0u);
  EXPECT_EQ(perfCounterFrequency(), frequency);
  EXPECT_EQ(perfCounterFrequencyMsec(), frequency / 1000);
  uint64_t start = perfCounterCurrent();
  Sleep(20);
  uint64_t elapsed = perfCounterCurrent() - start;
  EXPECT_GE(elapsed, frequency / 1000 * 15);  // the sleep lasts at least about its time
  date_record date{};
  date_get_current(&date);
  SYSTEMTIME local;
  GetLocalTime(&local);
  EXPECT_EQ(date.year, local.wYear);
  EXPECT_EQ(date.month, local.wMonth);
  EXPECT_LT(date.millisecond, 1000);
}

TEST(WinThreads, ThreadNumbersAreStableAndDistinct) {
  uint32_t own = getCurrentThreadId();
  EXPECT_NE(own, 0u);
  EXPECT_EQ(getCurrentThreadId(), own);
  std::vector<uint32_t> numbers(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < numbers.size(); ++i) {
    threads.emplace_back([&numbers, i] {
      uint32_t first = getCurrentThreadId();
      numbers[i] = getCurrentThreadId() == first ? first : 0;
    });
  }
  for (std::thread &thread : threads) thread.join();
  std::set<uint32_t> distinct(numbers.begin(), numbers.end());
  distinct.insert(own);
  EXPECT_EQ(distinct.size(), numbers.size() + 1);
  EXPECT_EQ(distinct.count(0u), 0u);

  thread_local_key key = thread_local_initialise();
  EXPECT_EQ(thread_local_get(key), nullptr);
  int value = 0;
  EXPECT_TRUE(thread_local_set(key, &value));
  void *seen_elsewhere = &value;
  std::thread([&] { seen_elsewhere = thread_local_get(key); }).join();
  EXPECT_EQ(thread_local_get(key), &value);
  EXPECT_EQ(seen_elsewhere, nullptr);
}

// The agent's mutexes as critical sections: made by the first lock from zeroed static storage
// even when threads race to it, entered again by their holder, exclusive, made afresh after destroy.
agent_mutex win_test_mutex;
TEST(WinThreads, AgentMutexesAreRecursiveExclusiveAndMadeOnFirstUse) {
  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < 20000; ++i) {
        agent_mutex_guard outer(win_test_mutex);
        agent_mutex_guard inner(win_test_mutex);
        int64_t seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);

  std::atomic<bool> entered{false};
  agent_mutex_lock(win_test_mutex);
  std::thread other([&] {
    agent_mutex_guard guard(win_test_mutex);
    entered = true;
  });
  Sleep(100);
  EXPECT_FALSE(entered.load()) << "another thread entered a held mutex";
  agent_mutex_unlock(win_test_mutex);
  other.join();
  EXPECT_TRUE(entered.load());

  agent_mutex_destroy(win_test_mutex);
  EXPECT_EQ(win_test_mutex.state.load(), 0);
  agent_mutex_guard again(win_test_mutex);
  EXPECT_EQ(win_test_mutex.state.load(), 2);
}

std::vector<std::string> split_fields(const std::string &text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t at = text.find('\x1f'); at != std::string::npos; at = text.find('\x1f', start)) {
    fields.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  return fields;
}

TEST(WinProcesses, AChildReadsEveryArgumentBackUnchanged) {
  vt::TempDir dir;
  std::string out = dir / "args.txt";
  std::vector<std::string> expected = {"plain",         "",          "with space",   "C:\\Program Files\\vorkel\\",
                                       "quote\"inside", "tab\there", "trailing\\\\", "a\\\\\"b"};
  std::vector<std::string> list = {"argv0", "args", out};
  list.insert(list.end(), expected.begin(), expected.end());
  std::vector<char *> pointers;
  for (std::string &text : list) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  int32_t pid = 0;
  ASSERT_TRUE(create_process(VORKEL_WIN_PROBE, pointers.data(), &pid));
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(vt::wait_until([&] { return split_fields(vt::read_file(out)).size() == expected.size(); },
                             std::chrono::seconds(60)));
  EXPECT_EQ(split_fields(vt::read_file(out)), expected);
}

TEST(WinProcesses, TheCommandLineHoldsAt2048BytesAndIsRefusedBeyond) {
  vt::TempDir dir;
  std::string out = dir / "args.txt";
  // "vorkel args OUT " and one long argument filling the line to the last byte.
  std::string head = "vorkel args " + out + " ";
  std::string fitting(COMMAND_LINE_SIZE - 1 - head.size(), 'x');
  std::vector<std::string> list = {"args", out, fitting};
  std::vector<char *> pointers = {list[0].data(), list[1].data(), list[2].data(), nullptr};
  ASSERT_TRUE(create_process_special(VORKEL_WIN_PROBE, pointers.data(), COMMAND_LINE_NO_RAW_ARGUMENT, nullptr));
  ASSERT_TRUE(vt::wait_until([&] { return !split_fields(vt::read_file(out)).empty(); }, std::chrono::seconds(60)));
  EXPECT_EQ(split_fields(vt::read_file(out)), std::vector<std::string>{fitting});
  list[2] += "x";
  pointers[2] = list[2].data();
  EXPECT_FALSE(create_process_special(VORKEL_WIN_PROBE, pointers.data(), COMMAND_LINE_NO_RAW_ARGUMENT, nullptr));
  char *none[] = {nullptr};
  EXPECT_FALSE(create_process((dir / "missing.exe").c_str(), none, nullptr));
}

TEST(WinProcesses, ModulePathDirectoryAndEnvironment) {
  char path[1024];
  ASSERT_TRUE(process_get_module_path(path, sizeof path, reinterpret_cast<const void *>(&probe)));
  EXPECT_TRUE(vt::contains(path, "vorkel_unit_tests.exe")) << path;
  char small[8];
  EXPECT_FALSE(process_get_module_path(small, sizeof small, reinterpret_cast<const void *>(&probe)));
  int local = 0;
  EXPECT_FALSE(process_get_module_path(path, sizeof path, &local));  // the stack is no module
  char directory[1024];
  ASSERT_TRUE(process_get_cwd(directory, sizeof directory));
  EXPECT_EQ(directory[1], ':');
  EXPECT_FALSE(process_get_cwd(small, 2));
  EXPECT_EQ(process_get_id(), (int32_t)GetCurrentProcessId());
  // A child gets the environment with the given variables; this process's stays as it was.
  vt::TempDir dir;
  std::string out = dir / "env.txt";
  ASSERT_TRUE(SetEnvironmentVariableA("VORKEL_WIN_KEPT", "kept"));
  std::vector<std::string> list = {"argv0", "env", out, "VORKEL_WIN_TEST", "VORKEL_WIN_KEPT"};
  std::vector<char *> pointers;
  for (std::string &text : list) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  const char *variables[] = {"VORKEL_WIN_TEST=value", nullptr};
  ASSERT_TRUE(create_process(VORKEL_WIN_PROBE, pointers.data(), nullptr, variables));
  ASSERT_TRUE(vt::wait_until([&] { return split_fields(vt::read_file(out)).size() == 2; }, std::chrono::seconds(60)));
  EXPECT_EQ(split_fields(vt::read_file(out)), (std::vector<std::string>{"value", "kept"}));
  char value[16] = "";
  EXPECT_EQ(GetEnvironmentVariableA("VORKEL_WIN_TEST", value, sizeof value), 0u);
}

TEST(WinSockets, WinsockStartsOnceAndOptionsApply) {
  sockets_initialize(nullptr);
  sockets_initialize(nullptr);
  // One start-up was made: one clean-up ends it.
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);

  addrinfo *addresses = nullptr;
  ASSERT_EQ(socket_resolve("127.0.0.1", "9", &addresses), 0);
  socket_handle s = socket_open(addresses);
  ASSERT_NE(s, SOCKET_INVALID_HANDLE);
  ASSERT_TRUE(socket_set_timeout(s, SOCKET_RECEIVE_TIMEOUT, 1500));
  DWORD value = 0;
  int length = sizeof value;
  ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&value), &length), 0);
  EXPECT_EQ(value, 1500u);
  EXPECT_TRUE(socket_set_non_blocking(s, true));
  EXPECT_TRUE(socket_set_non_blocking(s, false));
  EXPECT_TRUE(socket_is_blocking_error(WSAEWOULDBLOCK));
  EXPECT_TRUE(socket_is_interrupt_error(WSAEINTR));
  EXPECT_TRUE(socket_is_timeout_error(WSAETIMEDOUT));
  EXPECT_FALSE(socket_is_timeout_error(WSAEWOULDBLOCK));
  socket_close(s);
  socket_free_addresses(addresses);
}

// A refused non-blocking connect ends the wait at once (Winsock reports it in the exception set,
// not as writable) and its outcome is the refusal.
TEST(WinSockets, ARefusedConnectEndsTheWaitWithItsError) {
  sockets_initialize(nullptr);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
  closesocket(listener);  // nobody listens on the port now

  addrinfo *addresses = nullptr;
  ASSERT_EQ(socket_resolve("127.0.0.1", std::to_string(ntohs(address.sin_port)).c_str(), &addresses), 0);
  socket_handle s = socket_open(addresses);
  ASSERT_NE(s, SOCKET_INVALID_HANDLE);
  ASSERT_TRUE(socket_set_non_blocking(s, true));
  if (!socket_connect(s, addresses)) {
    ASSERT_TRUE(socket_is_blocking_error(socket_get_error()));
    EXPECT_EQ(socket_wait(s, true, 20000), 1) << "the wait ran into its time-out";
  }
  EXPECT_EQ(socket_get_connect_error(s), WSAECONNREFUSED);
  socket_close(s);
  socket_free_addresses(addresses);
}

}  // namespace
