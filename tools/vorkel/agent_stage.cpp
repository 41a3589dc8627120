#include "agent_stage.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vorkel_command {

namespace {

std::string parent_of(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const std::string &path, const struct stat &expected) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_dev == expected.st_dev && info.st_ino == expected.st_ino;
}

// Whether the current (effective) user may make files in the directory.
bool writable_directory(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool home_is_usable(const std::string &home) {
  if (writable_directory(home)) return true;
  return writable_directory(home + "/logs") && writable_directory(home + "/work");
}

// A directory of the current user's own, made when missing.
bool own_directory(const std::string &path, CommandError *error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return error->set(EXIT_PERMISSION, "cannot make " + path + ": " + strerror(errno));
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return error->set(EXIT_PERMISSION, path + ": " + strerror(errno));
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    return error->set(EXIT_PERMISSION, path + " is not a directory of uid " + std::to_string(geteuid()) +
                                           ": not staging the agent there");
  }
  return true;
}

bool read_all(int fd, std::vector<char> *bytes) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  bytes->resize((size_t)info.st_size);
  size_t done = 0;
  while (done < bytes->size()) {
    ssize_t n = pread(fd, bytes->data() + done, bytes->size() - done, (off_t)done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += (size_t)n;
  }
  return true;
}

// The staged copy of source, unless the file there has the same bytes already.
bool stage_file(int source_fd, const std::string &directory, const std::string &name, mode_t mode,
                CommandError *error) {
  std::vector<char> bytes, present;
  if (!read_all(source_fd, &bytes)) return error->set(EXIT_FAILED, "cannot read the agent's " + name);
  std::string target = directory + "/" + name;
  int existing = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (existing >= 0) {
    bool same = read_all(existing, &present) && present == bytes;
    close(existing);
    if (same) return true;
  }
  std::string temporary = directory + "/." + name + "." + std::to_string(getpid());
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return error->set(EXIT_PERMISSION, "cannot write " + temporary + ": " + strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += (size_t)n;
  }
  bool written = done == bytes.size() && fchmod(fd, mode) == 0;
  int code = errno;
  if (close(fd) != 0) written = false;
  if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
    if (written) code = errno;
    unlink(temporary.c_str());
    return error->set(EXIT_FAILED, "cannot stage " + target + ": " + strerror(code));
  }
  return true;
}

}  // namespace

AgentFiles::~AgentFiles() {
  if (lib_fd >= 0) close(lib_fd);
  if (jar_fd >= 0) close(jar_fd);
}

bool find_agent_files(const std::string &home, AgentFiles *files, CommandError *error) {
  std::string base = home;
  if (base.empty()) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
      return error->set(EXIT_FAILED, std::string("cannot find the command's own file: ") + strerror(errno));
    self[length] = '\0';
    base = parent_of(parent_of(self));  // HOME/bin/vorkel
  } else {
    char resolved[PATH_MAX];
    if (realpath(base.c_str(), resolved) == nullptr) return error->set(EXIT_USAGE, base + ": " + strerror(errno));
    base = resolved;
  }
  files->home = base;
  files->lib = base + "/lib/libvorkel.so";
  files->jar = base + "/lib/vorkel-agent.jar";
  files->lib_fd = open(files->lib.c_str(), O_RDONLY | O_CLOEXEC);
  files->jar_fd = open(files->jar.c_str(), O_RDONLY | O_CLOEXEC);
  if (files->lib_fd < 0 || files->jar_fd < 0 || fstat(files->lib_fd, &files->lib_info) != 0 ||
      fstat(files->jar_fd, &files->jar_info) != 0) {
    return error->set(EXIT_FAILED, "no agent in " + base + " (lib/libvorkel.so and lib/vorkel-agent.jar): give " +
                                       "the agent home with --home DIR");
  }
  return true;
}

bool agent_home_for_target(const AgentFiles &files, std::string *home, bool *staged, CommandError *error) {
  if (same_file(files.lib, files.lib_info) && same_file(files.jar, files.jar_info) && home_is_usable(files.home)) {
    *home = files.home;
    *staged = false;
    return true;
  }
  std::string directory = "/tmp/vorkel-" + std::to_string(geteuid());
  if (!own_directory(directory, error) || !own_directory(directory + "/lib", error)) return false;
  if (!stage_file(files.lib_fd, directory + "/lib", "libvorkel.so", 0755, error) ||
      !stage_file(files.jar_fd, directory + "/lib", "vorkel-agent.jar", 0644, error)) {
    return false;
  }
  *home = directory;
  *staged = true;
  return true;
}

}  // namespace vorkel_command
