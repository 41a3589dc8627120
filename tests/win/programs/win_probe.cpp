// A Windows process for the tests to lock against, watch and start the exit monitor from.
//   win_probe lock PATH
//       exit 0 when it got the exclusive lock of PATH, 3 when another process holds it.
//   win_probe args OUT_FILE ARGUMENTS...
//       writes the arguments as its C runtime split them, each followed by a 0x1f byte.
//   win_probe env OUT_FILE NAMES...
//       writes the value of each named environment variable ("" when unset), each followed by 0x1f.
//   win_probe exit CODE PID_FILE RELEASE_FILE [CRASH_TEXT]
//       writes its process id to PID_FILE, waits until RELEASE_FILE exists, writes CRASH_TEXT (when
//       given) as the crash log hs_err_pid<pid>.log of the temporary directory, and exits with CODE.
//   win_probe agent AGENT_DLL WORK_DIR PORT CODE PID_FILE RELEASE_FILE CRASH_PATTERN CRASH_TEXT
//       acts as the JVM: configures the agent record, starts the exit monitor for itself through
//       the agent's own start (rundll32.exe and the DLL), writes its process id to PID_FILE, waits for RELEASE_FILE,
//       writes CRASH_TEXT where CRASH_PATTERN says, exits with CODE.
//   win_probe archive INFO GRAPH ARCHIVE
//       writes the snapshot archive of the two files; exits 0 when it was written, 1 when not.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent_init.h"
#include "helpers/death_monitor.h"
#include "platform/fileops.h"
#include "core/log.h"
#include "snapshot/oom_compress.h"
#include "base/string_util.h"

namespace {

bool write_text(const char *path, const char *text) {
  FILE *file = fopen(path, "wb");
  if (file == nullptr) return false;
  bool ok = fputs(text, file) >= 0;
  return fclose(file) == 0 && ok;
}

bool wait_for_file(const char *path) {
  for (int i = 0; i < 6000; ++i) {  // a minute at most
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(10);
  }
  return false;
}

int probe_lock(const char *path) {
  locked_file_handle handle;
  if (!create_locked_file(path, &handle)) return 3;
  free_locked_file(handle);
  return 0;
}

int probe_exit(int code, const char *pid_file, const char *release_file, const char *crash_text) {
  char text[32];
  xsnprintf(text, sizeof text, "%lu", GetCurrentProcessId());
  if (!write_text(pid_file, text) || !wait_for_file(release_file)) return 100;
  if (crash_text != nullptr) {
    char temp[MAX_PATH];
    death_monitor_get_temp_dir(temp, sizeof temp);
    char path[MAX_PATH + 64];
    xsnprintf(path, sizeof path, "%shs_err_pid%lu.log", temp, GetCurrentProcessId());
    if (!write_text(path, crash_text)) return 101;
  }
  return code;
}

int probe_agent(char **argv) {
  static agent_globals_record record{};
  safe_strncpy(record.self_executable, argv[2], sizeof record.self_executable);
  safe_strncpy(record.work_dir, argv[3], sizeof record.work_dir);
  safe_strncpy(record.account_id, "probe-account", sizeof record.account_id);
  safe_strncpy(record.jvm_id, "probe-jvm", sizeof record.jvm_id);
  safe_strncpy(record.session_id, "probe-session", sizeof record.session_id);
  safe_strncpy(record.collector_host, "127.0.0.1", sizeof record.collector_host);
  record.collector_port = atoi(argv[4]);
  agent_globals = &record;
  int code = atoi(argv[5]);
  const char *pattern = argv[8];
  log_initialise("agent");
  death_monitor_initialise(nullptr, pattern);
  char text[32];
  xsnprintf(text, sizeof text, "%lu", GetCurrentProcessId());
  if (!write_text(argv[6], text) || !wait_for_file(argv[7])) return 100;
  char crash_path[MAX_PATH];
  if (!death_monitor_apply_hserr_pattern(crash_path, sizeof crash_path, pattern, (int32_t)GetCurrentProcessId()) ||
      !write_text(crash_path, argv[9])) {
    return 101;
  }
  return code;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "args") == 0) {
    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr) return 100;
    for (int i = 3; i < argc; ++i) fprintf(out, "%s\x1f", argv[i]);
    return fclose(out) == 0 ? 0 : 101;
  }
  if (argc >= 3 && strcmp(argv[1], "env") == 0) {
    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr) return 100;
    for (int i = 3; i < argc; ++i) fprintf(out, "%s\x1f", getenv(argv[i]) != nullptr ? getenv(argv[i]) : "");
    return fclose(out) == 0 ? 0 : 101;
  }
  if (argc == 3 && strcmp(argv[1], "lock") == 0) return probe_lock(argv[2]);
  if ((argc == 5 || argc == 6) && strcmp(argv[1], "exit") == 0) {
    return probe_exit(atoi(argv[2]), argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (argc == 10 && strcmp(argv[1], "agent") == 0) return probe_agent(argv);
  if (argc == 5 && strcmp(argv[1], "archive") == 0) return oom_archive_create(argv[2], argv[3], argv[4]) ? 0 : 1;
  fprintf(stderr,
          "usage: win_probe lock PATH | exit CODE PID_FILE RELEASE_FILE [CRASH_TEXT] | agent ... | archive ...\n");
  return 2;
}
