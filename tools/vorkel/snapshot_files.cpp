#include "snapshot_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorkel_command {

namespace {

constexpr const char *kSnapshotFiles[] = {"oom_info.txt", "oom_graph.bin", "parameters.txt", "status.txt"};

std::string first_line(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "";
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (n <= 0) return "";
  std::string text(buffer, (size_t)n);
  return text.substr(0, text.find('\n'));
}

bool regular_file(const std::string &path, struct stat *info) {
  return lstat(path.c_str(), info) == 0 && S_ISREG(info->st_mode);
}

struct OpenedFile {
  std::string name;
  int fd = -1;
  uint64_t size = 0;
};

bool copy_bytes(int from, int to) {
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buffer + done, (size_t)(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

std::vector<std::string> snapshot_names(const std::string &work) {
  std::vector<std::string> names;
  DIR *dir = opendir(work.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.rfind("oom_", 0) == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

uint64_t graph_bytes(const std::string &snapshot_directory) {
  struct stat info {};
  return regular_file(snapshot_directory + "/oom_graph.bin", &info) ? (uint64_t)info.st_size : 0;
}

std::vector<SnapshotEntry> list_snapshots(const std::string &work) {
  std::vector<SnapshotEntry> entries;
  for (const std::string &name : snapshot_names(work)) {
    struct stat info {};
    std::string directory = work + "/" + name;
    if (lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    SnapshotEntry entry;
    entry.name = name;
    entry.status = first_line(directory + "/status.txt");
    entry.graph_bytes = graph_bytes(directory);
    entry.archive = regular_file(directory + "/" + name + ".tar.bz2", &info);
    entries.push_back(entry);
  }
  return entries;
}

bool copy_snapshot(TargetSession &session, const std::string &snapshot_directory, int out_fd, const std::string &out,
                   std::string *copied, CommandError *error) {
  std::string name = snapshot_directory.substr(snapshot_directory.find_last_of('/') + 1);
  if (name.rfind("oom_", 0) != 0 || name.find_first_of("/\\") != std::string::npos || name.size() > 64) {
    return error->set(EXIT_FAILED, "the agent named \"" + snapshot_directory + "\" as its snapshot: not a snapshot");
  }
  std::vector<OpenedFile> files;
  auto close_all = [&files] {
    for (OpenedFile &file : files) close(file.fd);
  };
  bool have_info = false, have_graph = false, archive_only = false;
  for (const char *file : kSnapshotFiles) {
    std::string path = snapshot_directory + "/" + file;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0) continue;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      close(fd);
      continue;
    }
    files.push_back({file, fd, (uint64_t)info.st_size});
    have_info |= strcmp(file, "oom_info.txt") == 0;
    have_graph |= strcmp(file, "oom_graph.bin") == 0;
  }
  if (!have_info || !have_graph) {
    std::string archive = name + ".tar.bz2";
    int fd = open((snapshot_directory + "/" + archive).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      files.push_back({archive, fd, (uint64_t)info.st_size});
      archive_only = true;
    } else {
      if (fd >= 0) close(fd);
      close_all();
      return error->set(EXIT_FAILED, snapshot_directory + " holds neither the snapshot's files nor its archive");
    }
  }
  TargetSession::AsCaller caller(session);
  bool ok = true;
  if (mkdirat(out_fd, name.c_str(), 0755) != 0) {
    ok = error->set(EXIT_FAILED, "cannot make " + out + "/" + name + ": " + strerror(errno));
  }
  int target = ok ? openat(out_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  if (ok && target < 0) ok = error->set(EXIT_FAILED, out + "/" + name + ": " + strerror(errno));
  for (OpenedFile &file : files) {
    if (!ok) break;
    int fd = openat(target, file.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || !copy_bytes(file.fd, fd)) {
      ok = error->set(EXIT_FAILED, "cannot write " + out + "/" + name + "/" + file.name + ": " + strerror(errno));
    }
    if (fd >= 0 && close(fd) != 0 && ok) {
      ok = error->set(EXIT_FAILED, "cannot write " + out + "/" + name + "/" + file.name + ": " + strerror(errno));
    }
  }
  if (target >= 0) close(target);
  close_all();
  if (ok) *copied = out + "/" + name + (archive_only ? "/" + name + ".tar.bz2" : "");
  return ok;
}

}  // namespace vorkel_command
