#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <elf.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
extern char **environ;
#endif

namespace vt {

// Directories, removal and processes of Windows are in win/test_util_win.cpp.
#ifndef _WIN32
TempDir::TempDir(const std::string &prefix, const std::string &base) {
  const char *tmpdir = getenv("TMPDIR");
  std::string parent = !base.empty() ? base : tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp";
  std::string pattern = parent + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

#endif

TempDir::~TempDir() {
  if (!path_.empty() && getenv("VORKEL_KEEP_TEST_FILES") == nullptr) remove_tree(path_);
}

bool make_directories(const std::vector<std::string> &paths) {
  for (const std::string &path : paths) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      std::string prefix = path.substr(0, slash);
#ifdef _WIN32
      if (mkdir(prefix.c_str()) != 0 && errno != EEXIST) return false;
#else
      if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
#endif
      if (slash == std::string::npos) break;
    }
    if (!is_directory(path)) return false;
  }
  return true;
}

std::vector<std::string> entries_with_prefix(const std::string &directory, const std::string &prefix) {
  std::vector<std::string> paths;
  for (const std::string &name : list_directory(directory)) {
    if (name.rfind(prefix, 0) == 0) paths.push_back(directory + "/" + name);
  }
  return paths;
}

// File locks and mounts are POSIX-only helpers.
#ifndef _WIN32
namespace {
// 1 when the lock could be taken, 0 when someone holds it, -1 when the file cannot be opened.
int try_lock(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int taken = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
  close(fd);
  return taken;
}
}  // namespace

bool lock_is_free(const std::string &path) { return try_lock(path) == 1; }
bool lock_is_held(const std::string &path) { return try_lock(path) == 0; }

#endif

NativeLog NativeLog::read(const std::string &directory) {
  std::string all;
  for (const std::string &name : list_directory(directory)) all += read_file(directory + "/" + name);
  return NativeLog(std::move(all));
}

bool NativeLog::contains(const std::string &part) const { return vt::contains(text_, part); }

std::vector<std::string> NativeLog::lines_with(const std::string &part) const {
  std::vector<std::string> lines;
  for (const std::string &line : split_lines(text_)) {
    if (vt::contains(line, part)) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> NativeLog::agent_errors() const {
  std::vector<std::string> lines;
  for (const std::string &line : lines_with("] ERROR - ")) {
    if (vt::contains(line, "[agent ")) lines.push_back(line);
  }
  return lines;
}

#ifndef _WIN32
TmpfsMount::TmpfsMount(const std::string &size) : dir_("vorkel-tmpfs") {
  if (geteuid() != 0) {
    error_ = "mounting a tmpfs needs root";
  } else if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
    error_ = std::string("mount: ") + strerror(errno);
  } else {
    mounted_ = true;
  }
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
}

#endif

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

#ifndef _WIN32
int elf_machine(const std::string &path) {
  Elf64_Ehdr header{};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char *>(&header), sizeof header) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return EM_NONE;
  }
  return header.e_machine;
}
#endif

bool write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

bool file_exists(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> list_directory(const std::string &path) {
  std::vector<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

#ifndef _WIN32
void remove_tree(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    for (const std::string &name : list_directory(path)) remove_tree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

#endif

bool copy_file(const std::string &from, const std::string &to, unsigned mode) {
  std::string content = read_file(from);
  if (!write_file(to, content)) return false;
  return chmod(to.c_str(), mode) == 0;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

size_t count_occurrences(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

bool wait_until(const std::function<bool()> &predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(interval);
  }
}

#ifndef _WIN32
namespace {

std::vector<std::string> build_environment(const ProcessOptions &options) {
  std::vector<std::string> env;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (options.env.count(name) != 0) continue;
    if (std::find(options.unset_env.begin(), options.unset_env.end(), name) != options.unset_env.end()) continue;
    env.push_back(text);
  }
  for (const auto &[name, value] : options.env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (std::string &text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int spawn(const std::string &program, const std::vector<std::string> &argv, const ProcessOptions &options, int stdin_fd,
          int stdout_fd, int stderr_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a timeout can end the child and whatever it started.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = build_environment(options);
  std::vector<char *> arg_pointers = pointers(args);
  std::vector<char *> env_pointers = pointers(env);
  pid_t pid = -1;
  int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

void fill_status(ProcessResult &result, int status) {
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
    result.err = "pipe failed";
    return result;
  }
  int pid = spawn(program, argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(in_pipe[0]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(in_pipe[1]);
    result.err = "spawn failed";
    return result;
  }
  if (!options.stdin_text.empty()) {
    ssize_t ignored = write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
    (void)ignored;
  }
  close(in_pipe[1]);
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  char buffer[65536];
  int status = 0;
  bool exited = false;
  // Reads until the child has exited and its pipes are drained. Grandchildren that inherited the
  // pipes (helper processes the agent starts) are not waited for.
  while (open_count > 0) {
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      if (!exited) {
        result.timed_out = true;
        ::kill(-pid, SIGKILL);
      }
      break;
    }
    int ready = poll(fds, 2, exited ? 0 : (int)std::min<long long>(left.count(), 50));
    if (ready <= 0) {
      if (exited) break;  // nothing more buffered
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, (size_t)n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd &fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (!exited) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  fill_status(result, status);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::string &program, const std::vector<std::string> &argv,
                                     const ProcessOptions &options)
    : files_("vorkel-bg") {
  out_path_ = files_ / "stdout";
  err_path_ = files_ / "stderr";
  int out_fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = spawn(program, argv, options, in_fd, out_fd, err_fd);
  close(out_fd);
  close(err_fd);
  close(in_fd);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

bool BackgroundProcess::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return result == 0;
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (!wait_until([this] { return !running(); }, timeout, std::chrono::milliseconds(20))) {
    result.timed_out = true;
    kill(SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  fill_status(result, status_);
  result.out = out();
  result.err = err();
  return result;
}

void BackgroundProcess::kill(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(-pid_, signal);  // the whole group the child leads
}

#endif

std::string BackgroundProcess::out() const { return read_file(out_path_); }
std::string BackgroundProcess::err() const { return read_file(err_path_); }

}  // namespace vt
