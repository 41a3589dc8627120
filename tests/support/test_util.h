// Helpers for tests: temporary directories, files, child processes and waiting.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vt {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "vorkel-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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

// Polls the predicate until it holds or the timeout passes; returns its last value.
bool wait_until(const std::function<bool()> &predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds interval = std::chrono::milliseconds(50));

struct ProcessResult {
  int exit_code = -1;     // exit status when the process exited
  int signal = 0;         // terminating signal, 0 when it exited
  bool timed_out = false; // killed after the timeout
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

}  // namespace vt
