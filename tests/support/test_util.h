// Helpers for tests: temporary directories, files, child processes and waiting.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace vt {

// A fresh directory under $TMPDIR (or /tmp), or under base when given, removed with everything in
// it at destruction.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "vorkel-test", const std::string &base = "");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates each directory with its missing parents (mkdir -p); false when one cannot be made.
bool make_directories(const std::vector<std::string> &paths);
// Full paths of the entries of directory whose names start with prefix, sorted.
std::vector<std::string> entries_with_prefix(const std::string &directory, const std::string &prefix);
// Whether an exclusive flock on the existing file path could be taken (and given back) right now,
// or is held by someone else; both are false when the file cannot be opened.
bool lock_is_free(const std::string &path);
bool lock_is_held(const std::string &path);

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
bool is_directory(const std::string &path);
std::vector<std::string> list_directory(const std::string &path);  // names, sorted
void remove_tree(const std::string &path);
bool copy_file(const std::string &from, const std::string &to, unsigned mode = 0644);
std::vector<std::string> split_lines(const std::string &text);
bool contains(const std::string &text, const std::string &part);
size_t count_occurrences(const std::string &text, const std::string &part);
// The processor an ELF file is built for (its e_machine, EM_X86_64, EM_AARCH64), or 0 (EM_NONE)
// when it is no readable ELF file.
#ifndef _WIN32
int elf_machine(const std::string &path);
#endif

// A native log as it stands when read: every file of a log directory, concatenated in name order.
// Streams as its whole text, for failure messages.
class NativeLog {
 public:
  explicit NativeLog(std::string text = "") : text_(std::move(text)) {}
  static NativeLog read(const std::string &directory);
  const std::string &text() const { return text_; }
  bool empty() const { return text_.empty(); }
  bool contains(const std::string &part) const;
  // Lines whose text contains part, and how many there are.
  std::vector<std::string> lines_with(const std::string &part) const;
  size_t count(const std::string &part) const { return lines_with(part).size(); }
  // Error lines the agent itself logged inside the JVM (helper processes such as the exit monitor
  // write to the same file under roles of their own).
  std::vector<std::string> agent_errors() const;

 private:
  std::string text_;
};
inline std::ostream &operator<<(std::ostream &out, const NativeLog &log) { return out << log.text(); }

// A small tmpfs mounted on a fresh directory for the lifetime of the object (a full disk made
// real). Needs root; without it, or where mounting is refused, mounted() is false and error() says
// why. Tests use VT_REQUIRE_TMPFS, which skips them cleanly then.
class TmpfsMount {
 public:
  explicit TmpfsMount(const std::string &size);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount &) = delete;
  TmpfsMount &operator=(const TmpfsMount &) = delete;
  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }
  const std::string &path() const { return dir_.path(); }
  std::string operator/(const std::string &name) const { return dir_ / name; }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};

// Polls the predicate until it holds or the timeout passes; returns its last value.
bool wait_until(const std::function<bool()> &predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval = std::chrono::milliseconds(50));

struct ProcessResult {
  int exit_code = -1;      // exit status when the process exited
  int signal = 0;          // terminating signal, 0 when it exited
  bool timed_out = false;  // killed after the timeout
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string cwd;
  std::map<std::string, std::string> env;  // added to (or replacing in) the current environment
  std::vector<std::string> unset_env;
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  std::string stdin_text;
};

// Runs program with argv (argv[0] included) and collects its output.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options = {});

// A started child with its own output files; killed (SIGKILL) at destruction unless waited for.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::string &program, const std::vector<std::string> &argv,
                    const ProcessOptions &options = {});
  ~BackgroundProcess();
  int pid() const { return pid_; }
  bool running();
  // Waits for the end; returns the result with the output gathered so far.
  ProcessResult wait(std::chrono::milliseconds timeout);
  void kill(int signal);  // signals the child's whole process group
  std::string out() const;
  std::string err() const;

 private:
  int pid_ = -1;
  void *handle_ = nullptr;  // the process handle on Windows
  bool reaped_ = false;
  int status_ = 0;
  std::string out_path_, err_path_;
  TempDir files_;
};

// The texts as an argument vector (char **, ended by a null) for code that reads one; valid while
// texts is unchanged.
inline std::vector<char *> argument_vector(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (std::string &text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace vt

// Declares vt::TmpfsMount name(size) and skips the test (or the fixture's SetUp) when it could not
// be mounted.
#define VT_REQUIRE_TMPFS(name, size) \
  ::vt::TmpfsMount name(size);       \
  if (!name.mounted()) GTEST_SKIP() << "no tmpfs here: " << name.error()
