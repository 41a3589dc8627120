// The parts of the test helpers that differ on Windows: temporary directories, removal and child
// processes (output through files, since a Windows child's pipes need threads to drain).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "test_util.h"

namespace vt {

namespace {

std::string temp_base() {
  char buffer[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  std::string base = length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string(".\\");
  while (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
  return base;
}

// The Windows argument rule: quotes when needed, backslashes doubled before a quote and at the end.
std::string quote_argument(const std::string &argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string environment_block(const ProcessOptions &options) {
  std::map<std::string, std::string> variables;
  char *current = GetEnvironmentStringsA();
  for (const char *entry = current; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
    std::string text = entry;
    size_t equals = text.find('=', 1);  // "=C:=C:\..." entries start with '='
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  FreeEnvironmentStringsA(current);
  for (const std::string &name : options.unset_env) variables.erase(name);
  for (const auto &[name, value] : options.env) variables[name] = value;
  std::string block;
  for (const auto &[name, value] : variables) block += name + "=" + value + '\0';
  return block + '\0';
}

HANDLE inheritable_file(const std::string &path, bool for_writing) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the program with its standard streams on the given files; null on failure.
HANDLE start(const std::string &program, const std::vector<std::string> &argv, const ProcessOptions &options,
             const std::string &in_path, const std::string &out_path, const std::string &err_path, int *pid) {
  std::string command_line;
  for (const std::string &argument : argv) command_line += (command_line.empty() ? "" : " ") + quote_argument(argument);
  std::string environment = environment_block(options);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable_file(in_path, false);
  startup.hStdOutput = inheritable_file(out_path, true);
  startup.hStdError = inheritable_file(err_path, true);
  PROCESS_INFORMATION process{};
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  BOOL started =
      CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, environment.data(),
                     options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &process);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  if (pid != nullptr) *pid = (int)process.dwProcessId;
  return process.hProcess;
}

int exit_code_of(HANDLE process) {
  DWORD code = 0;
  return GetExitCodeProcess(process, &code) ? (int)code : -1;
}

}  // namespace

TempDir::TempDir(const std::string &prefix, const std::string &base) {
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = (base.empty() ? temp_base() : base) + "\\" + prefix + "." +
                            std::to_string(GetCurrentProcessId()) + "." +
                            std::to_string(GetTickCount() + attempt * 7919u);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
}

// No tmpfs on Windows: the tests that need a small full disk skip there.
TmpfsMount::TmpfsMount(const std::string &) : dir_("vorkel-tmpfs"), error_("Windows has no tmpfs") {}
TmpfsMount::~TmpfsMount() {}

void remove_tree(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    for (const std::string &name : list_directory(path)) remove_tree(path + "\\" + name);
    RemoveDirectoryA(path.c_str());
  } else {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
  }
}

ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options) {
  BackgroundProcess child(program, argv, options);
  return child.wait(options.timeout);
}

BackgroundProcess::BackgroundProcess(const std::string &program, const std::vector<std::string> &argv,
                                     const ProcessOptions &options)
    : files_("vorkel-bg") {
  out_path_ = files_ / "stdout";
  err_path_ = files_ / "stderr";
  std::string in_path = files_ / "stdin";
  write_file(in_path, options.stdin_text);
  handle_ = start(program, argv, options, in_path, out_path_, err_path_, &pid_);
}

BackgroundProcess::~BackgroundProcess() {
  if (handle_ == nullptr) return;
  if (!reaped_) {
    TerminateProcess(handle_, 1);
    WaitForSingleObject(handle_, 10000);
  }
  CloseHandle(handle_);
}

bool BackgroundProcess::running() {
  if (handle_ == nullptr || reaped_) return false;
  if (WaitForSingleObject(handle_, 0) != WAIT_OBJECT_0) return true;
  reaped_ = true;
  status_ = exit_code_of(handle_);
  return false;
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (handle_ == nullptr) {
    result.err = "CreateProcess failed";
    return result;
  }
  if (WaitForSingleObject(handle_, (DWORD)timeout.count()) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(handle_, 1);
    WaitForSingleObject(handle_, 10000);
  }
  reaped_ = true;
  status_ = exit_code_of(handle_);
  result.exit_code = status_;
  result.out = out();
  result.err = err();
  return result;
}

void BackgroundProcess::kill(int) {
  if (handle_ != nullptr && !reaped_) TerminateProcess(handle_, 1);
}

}  // namespace vt
