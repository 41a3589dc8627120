#include "hotspot_attach.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace vorkel_command {

namespace {

constexpr size_t kAnswerLimit = 8 * 1024 * 1024;
constexpr int kTickMs = 100;

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? (int)left : 0;
}

std::string seconds_text(int milliseconds) {
  char text[32];
  snprintf(text, sizeof text, "%g s", milliseconds / 1000.0);
  return text;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool process_alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

bool parse_attach_answer(const std::string &raw, AttachAnswer *answer) {
  size_t end = raw.find('\n');
  std::string line = raw.substr(0, end);
  if (line.empty() || line.size() > 11) return false;
  size_t at = line[0] == '-' ? 1 : 0;
  if (at == line.size()) return false;
  for (size_t i = at; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  answer->status = (int)strtol(line.c_str(), nullptr, 10);
  answer->text = end == std::string::npos ? "" : raw.substr(end + 1);
  return true;
}

LoadResult parse_load_answer(const AttachAnswer &answer) {
  LoadResult result;
  const std::string prefix = "return code: ";
  size_t at = answer.text.find(prefix);
  if (answer.status == 0 && at != std::string::npos && (at == 0 || answer.text[at - 1] == '\n')) {
    std::string number = answer.text.substr(at + prefix.size());
    number = number.substr(0, number.find('\n'));
    char *end = nullptr;
    long code = strtol(number.c_str(), &end, 10);
    if (!number.empty() && *end == '\0') {
      result.loaded = true;
      result.code = (int)code;
      return result;
    }
  }
  result.reason = answer.text;
  while (!result.reason.empty() && (result.reason.back() == '\n' || result.reason.back() == ' '))
    result.reason.pop_back();
  if (result.reason.empty()) result.reason = "the JVM answered " + std::to_string(answer.status) + " and nothing else";
  result.dynamic_loading_disabled = answer.text.find("Dynamic agent loading is not enabled") != std::string::npos;
  return result;
}

std::string HotSpotAttach::socket_path() const {
  return "/tmp/.java_pid" + std::to_string((long long)session_.status().own_pid());
}

// The socket is the JVM's when its user owns it.
bool HotSpotAttach::socket_ready(CommandError *error) const {
  struct stat info {};
  if (lstat(socket_path().c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  if (info.st_uid != session_.status().euid) {
    return error->set(EXIT_PERMISSION, socket_path() + " belongs to uid " + std::to_string(info.st_uid) +
                                           ", not to the JVM's user (uid " + std::to_string(session_.status().euid) +
                                           "): not talking to it");
  }
  return true;
}

bool HotSpotAttach::ensure_listener(CommandError *error) {
  const pid_t pid = session_.pid();
  const std::string own = std::to_string((long long)session_.status().own_pid());
  if (socket_ready(error)) return true;
  if (error->exit_code != EXIT_DONE) return false;
  // Without the attach listener, SIGQUIT is what wakes it; a JVM that does not catch it would die.
  if (!session_.status().catches(SIGQUIT)) {
    return error->set(EXIT_NOT_HOTSPOT, "process " + std::to_string(pid) +
                                            " does not handle SIGQUIT (a JVM started with -Xrs, or no JVM): an attach "
                                            "would end it, so none is tried");
  }
  if (session_.attach_disabled_by_its_flags()) {
    return error->set(EXIT_ATTACH_DISABLED, "process " + std::to_string(pid) +
                                                " was started with -XX:+DisableAttachMechanism: it takes no attach");
  }
  // The trigger file: in the JVM's working directory, else in /tmp; the JVM takes it only from
  // its own user (or root).
  std::string name = ".attach_pid" + own;
  std::string trigger;
  int dir = openat(session_.proc_fd(), "cwd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fd = dir >= 0 ? openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) {
    trigger = "cwd";
  } else {
    if (dir >= 0) close(dir);
    dir = -1;
    fd = open(("/tmp/" + name).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return error->set(EXIT_PERMISSION, "cannot create /tmp/" + name + ": " + strerror(errno));
    trigger = "/tmp";
  }
  close(fd);
  auto remove_trigger = [&] {
    if (dir >= 0) {
      unlinkat(dir, name.c_str(), 0);
      close(dir);
      dir = -1;
    } else {
      unlink(("/tmp/" + name).c_str());
    }
  };
  if (kill(pid, SIGQUIT) != 0) {
    int code = errno;
    remove_trigger();
    if (code == ESRCH) return error->set(EXIT_NO_PROCESS, "process " + std::to_string(pid) + " ended");
    return error->set(EXIT_PERMISSION, "cannot signal process " + std::to_string(pid) + ": " + strerror(code));
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  bool ready = false;
  for (int wait_ms = 10;; wait_ms = wait_ms < 200 ? wait_ms * 2 : 200) {
    if ((ready = socket_ready(error)) || error->exit_code != EXIT_DONE) break;
    if (!process_alive(pid)) {
      remove_trigger();
      return error->set(EXIT_NO_PROCESS, "process " + std::to_string(pid) + " ended");
    }
    if (remaining_ms(deadline) == 0) break;
    usleep((useconds_t)std::min(wait_ms, remaining_ms(deadline) + 1) * 1000);
  }
  remove_trigger();
  if (ready) return true;
  if (error->exit_code != EXIT_DONE) return false;
  return error->set(EXIT_TIMEOUT, "process " + std::to_string(pid) + " opened no attach socket within " +
                                      seconds_text(timeout_ms_) +
                                      " (its attach mechanism may be switched off, or the JVM is not responding)");
}

bool HotSpotAttach::execute(const std::string &operation, const std::vector<std::string> &arguments,
                            AttachAnswer *answer, CommandError *error, int timeout_ms,
                            const std::function<void()> &tick) {
  const std::string pid = std::to_string(session_.pid());
  if (timeout_ms <= 0) timeout_ms = timeout_ms_;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string request = std::string("1") + '\0' + operation + '\0';
  for (size_t i = 0; i < 3; ++i) {
    request += i < arguments.size() ? arguments[i] : "";
    request += '\0';
  }
  Fd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket_fd.get() < 0) return error->set(EXIT_FAILED, std::string("socket: ") + strerror(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = socket_path();
  if (path.size() >= sizeof address.sun_path) return error->set(EXIT_FAILED, path + ": name too long");
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (;;) {
    if (connect(socket_fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) break;
    // A full backlog (the listener busy with another client) answers EAGAIN: try again.
    if ((errno == EAGAIN || errno == EINTR) && remaining_ms(deadline) > 0) {
      usleep(20000);
      continue;
    }
    if (errno == EAGAIN)
      return error->set(EXIT_TIMEOUT, "process " + pid + " took no connection within " + seconds_text(timeout_ms));
    if (errno == EACCES || errno == EPERM) return error->set(EXIT_PERMISSION, path + ": " + strerror(errno));
    return error->set(EXIT_FAILED, "cannot connect to " + path + " of process " + pid + ": " + strerror(errno));
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(socket_fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += (size_t)n;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd out{socket_fd.get(), POLLOUT, 0};
      if (remaining_ms(deadline) == 0)
        return error->set(EXIT_TIMEOUT, "process " + pid + " took no request within " + seconds_text(timeout_ms));
      poll(&out, 1, std::min(remaining_ms(deadline), kTickMs));
      continue;
    }
    return error->set(EXIT_PERMISSION, "process " + pid + " closed the attach connection (" + strerror(errno) +
                                           "): it does not take this user");
  }
  std::string raw;
  char buffer[65536];
  for (;;) {
    int left = remaining_ms(deadline);
    if (left == 0) {
      return error->set(EXIT_TIMEOUT,
                        "process " + pid + " did not answer \"" + operation + "\" within " + seconds_text(timeout_ms));
    }
    pollfd in{socket_fd.get(), POLLIN, 0};
    int ready = poll(&in, 1, std::min(left, kTickMs));
    if (ready < 0 && errno != EINTR) return error->set(EXIT_FAILED, std::string("poll: ") + strerror(errno));
    if (ready <= 0) {
      if (tick) tick();
      continue;
    }
    ssize_t n = recv(socket_fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return error->set(EXIT_FAILED, "reading the answer of process " + pid + ": " + strerror(errno));
    if (n == 0) break;
    raw.append(buffer, (size_t)n);
    if (raw.size() > kAnswerLimit) {
      return error->set(EXIT_FAILED, "process " + pid + " answered more than " + std::to_string(kAnswerLimit >> 20) +
                                         " MB to \"" + operation + "\": not an attach answer");
    }
  }
  if (raw.empty()) {
    return error->set(EXIT_PERMISSION, "process " + pid +
                                           " closed the attach connection without an answer: it does "
                                           "not take this user (the JVM answers root and its own user only)");
  }
  if (!parse_attach_answer(raw, answer)) {
    return error->set(EXIT_FAILED, "process " + pid + " answered \"" + operation +
                                       "\" with something that is not an "
                                       "attach answer");
  }
  return true;
}

}  // namespace vorkel_command
