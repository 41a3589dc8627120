// The exit monitor's crash log: the pattern's expansion, the search among the places a crash log
// may be, and the reading and cleaning of what was found. The first byte tells where a crash log
// is put (nowhere, at the expanded pattern, as hs_err_pid<pid>.log in the current or the
// temporary directory, or as jvm-<pid>/hs_error.log in the temporary directory) and the size of a
// small buffer for the expansion; the next two bytes are the pid; then come the pattern, a NUL,
// and the crash log. Everything happens in a directory of its own.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "helpers/death_monitor.h"

namespace {

// A failed check names itself on standard error (shown when the input is run again by hand).
void fail(const char *condition, int line) {
  fprintf(stderr, "check failed at line %d: %s\n", line, condition);
  abort();
}
#define check(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

std::string sandbox;

void remove_sandbox() {
  rmdir((sandbox + "/cwd").c_str());
  rmdir((sandbox + "/tmp").c_str());
  rmdir(sandbox.c_str());
}

bool write_file(const std::string &path, const std::string &content) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
  return fclose(file) == 0 && written;
}

std::string expand(const char *pattern, int32_t pid, size_t size, bool *fits) {
  std::string buffer(size, '\0');
  *fits = death_monitor_apply_hserr_pattern(buffer.data(), size, pattern, pid);
  return size > 0 ? std::string(buffer.c_str()) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // In memory where there is a tmpfs: a file system on disk makes every input wait for it.
  struct stat shm {};
  std::string name = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
  name += "/vorkel-crash-log-fuzz-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) abort();
  sandbox = name;
  if (mkdir((sandbox + "/cwd").c_str(), 0700) != 0 || mkdir((sandbox + "/tmp").c_str(), 0700) != 0) abort();
  if (chdir((sandbox + "/cwd").c_str()) != 0) abort();
  setenv("TMPDIR", (sandbox + "/tmp").c_str(), 1);
  atexit(remove_sandbox);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  int place = data[0] % 5;
  size_t small = (size_t)(data[0] / 5) * 3;
  int32_t pid = (int32_t)(data[1] | data[2] << 8) + 1;
  std::string rest(reinterpret_cast<const char *>(data + 3), size - 3);
  size_t nul = rest.find('\0');
  std::string pattern = rest.substr(0, nul);
  std::string content = nul == std::string::npos ? std::string() : rest.substr(nul + 1);

  // The expansion always fits a buffer five times the pattern's length; a smaller buffer holds
  // a cut of it and says so.
  bool fits = false;
  std::string full = expand(pattern.c_str(), pid, pattern.size() * 5 + 16, &fits);
  check(fits);
  std::string cut = expand(pattern.c_str(), pid, small, &fits);
  check(fits == (full.size() < small));
  if (small > 0) check(cut.size() < small && full.compare(0, cut.size(), cut) == 0);

  // The search, with the pattern only when it names a file in the current directory.
  bool use_pattern = pattern.size() >= 2 && full.find('/') == std::string::npos && full.size() < 1024;
  const char *given = use_pattern ? pattern.c_str() : nullptr;
  const std::string cwd = sandbox + "/cwd/", tmp = sandbox + "/tmp/";
  std::string expected, directory;
  const std::string pid_name = "hs_err_pid" + std::to_string(pid) + ".log";
  if (place == 1 && use_pattern && full.size() <= 255 && full != "." && full != "..") expected = full;
  if (place == 2) expected = cwd + pid_name;
  if (place == 3) expected = tmp + pid_name;
  if (place == 4) {
    directory = tmp + "jvm-" + std::to_string(pid);
    expected = directory + "/hs_error.log";
    check(mkdir(directory.c_str(), 0700) == 0);
  }
  if (!expected.empty()) check(write_file(expected, content));

  char path[1024];
  FILE *file = death_monitor_open_crash_log(pid, given, path, sizeof path);
  size_t length = 7;
  char *text = death_monitor_read_crash_log(file, &length);
  if (file != nullptr) fclose(file);
  if (expected.empty()) {
    check(text == nullptr && length == 0);
  } else {
    check(path == expected || (place == 2 && path == pid_name));
    check(length == content.size() && (text == nullptr) == content.empty());
    for (size_t i = 0; i < length; ++i) {
      unsigned char c = (unsigned char)content[i];
      bool keep = (c >= 32 && c < 127) || c == '\t' || c == '\n' || c == '\r';
      check(text[i] == (keep ? (char)c : '?'));
    }
    if (text != nullptr) check(text[length] == '\0');
  }
  death_monitor_release_crash_log(text);
  if (!expected.empty()) unlink(expected.c_str());
  if (!directory.empty()) rmdir(directory.c_str());
  return 0;
}
