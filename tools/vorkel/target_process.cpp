#include "target_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace vorkel_command {

namespace {

// The whitespace-separated numbers after "Name:" on the line; false when one is not a number.
bool numbers(const std::string &rest, std::vector<uint64_t> *out, int base = 10) {
  std::istringstream in(rest);
  std::string word;
  while (in >> word) {
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(word.c_str(), &end, base);
    if (errno != 0 || end == word.c_str() || *end != '\0') return false;
    out->push_back(value);
  }
  return true;
}

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

ProcessStatus parse_process_status(const std::string &text) {
  ProcessStatus status;
  bool have_uid = false, have_gid = false, have_groups = false, have_signals = false, have_name = false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), rest = line.substr(colon + 1);
    std::vector<uint64_t> values;
    if (key == "Name") {
      size_t first = rest.find_first_not_of(" \t");
      status.name = first == std::string::npos ? "" : rest.substr(first);
      have_name = true;
    } else if (key == "Uid" && numbers(rest, &values) && values.size() == 4) {
      status.uid = (uid_t)values[0];
      status.euid = (uid_t)values[1];
      have_uid = true;
    } else if (key == "Gid" && numbers(rest, &values) && values.size() == 4) {
      status.gid = (gid_t)values[0];
      status.egid = (gid_t)values[1];
      have_gid = true;
    } else if (key == "Groups" && numbers(rest, &values)) {
      for (uint64_t value : values) status.groups.push_back((gid_t)value);
      have_groups = true;
    } else if (key == "NSpid" && numbers(rest, &values) && !values.empty()) {
      for (uint64_t value : values) status.ns_pids.push_back((pid_t)value);
    } else if (key == "SigCgt" && numbers(rest, &values, 16) && values.size() == 1) {
      status.caught_signals = values[0];
      have_signals = true;
    }
  }
  status.valid = have_name && have_uid && have_gid && have_groups && have_signals && !status.ns_pids.empty();
  return status;
}

ProcessLibraries scan_process_maps(const std::string &maps) {
  ProcessLibraries libraries;
  bool jvm = false, j9 = false;
  std::istringstream in(maps);
  std::string line;
  while (std::getline(in, line)) {
    // address perms offset device inode path: the path is what follows the fifth field.
    size_t at = 0;
    for (int field = 0; field < 5 && at != std::string::npos; ++field) {
      at = line.find_first_not_of(' ', at);
      if (at != std::string::npos) at = line.find(' ', at);
    }
    if (at == std::string::npos) continue;
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos || line[at] != '/') continue;
    std::string path = line.substr(at);
    bool deleted = ends_with(path, " (deleted)");
    if (deleted) path.resize(path.size() - 10);
    if (ends_with(path, "/libjvm.so")) jvm = true;
    if (path.find("/libj9vm") != std::string::npos) j9 = true;
    if (ends_with(path, "/libvorkel.so") && libraries.agent_library.empty()) {
      libraries.agent_library = path;
      libraries.agent_deleted = deleted;
    }
  }
  libraries.hotspot = jvm && !j9;
  return libraries;
}

bool attach_disabled_by_flags(const std::string &cmdline, const std::string &environ) {
  std::vector<std::string> words;
  auto add_words = [&](const std::string &text, char separator) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find(separator, start);
      if (end == std::string::npos) end = text.size();
      if (end > start) words.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  };
  auto variable = [&](const char *name) {
    std::string prefix = std::string(name) + "=";
    size_t start = 0;
    while (start < environ.size()) {
      size_t end = environ.find('\0', start);
      if (end == std::string::npos) end = environ.size();
      if (environ.compare(start, prefix.size(), prefix) == 0) {
        add_words(environ.substr(start + prefix.size(), end - start - prefix.size()), ' ');
      }
      start = end + 1;
    }
  };
  // The order in which the JVM reads them: a later setting wins.
  variable("JAVA_TOOL_OPTIONS");
  variable("JDK_JAVA_OPTIONS");
  add_words(cmdline, '\0');
  variable("_JAVA_OPTIONS");
  bool disabled = false;
  for (const std::string &word : words) {
    if (word == "-XX:+DisableAttachMechanism") disabled = true;
    if (word == "-XX:-DisableAttachMechanism") disabled = false;
  }
  return disabled;
}

bool read_proc_file(int dir_fd, const char *name, size_t limit, std::string *text) {
  text->clear();
  int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, (size_t)n);
    if (text->size() > limit) {
      text->resize(limit);
      break;
    }
  }
  close(fd);
  return true;
}

}  // namespace vorkel_command
