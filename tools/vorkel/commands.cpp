#include "commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <map>
#include <new>
#include <set>
#include <thread>

#include "agent_stage.h"
#include "analysis.h"
#include "agent/attach_protocol.h"
#include "command_error.h"
#include "hotspot_attach.h"
#include "java_properties.h"
#include "progress.h"
#include "snapshot_files.h"
#include "snapshot_load.h"
#include "snapshot_reader.h"
#include "target_session.h"
#include "text_reports.h"

namespace vorkel_command {

namespace {

using Properties = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

int fail(const CommandError &error) {
  fprintf(stderr, "vorkel: %s\n", error.message.c_str());
  return error.exit_code != EXIT_DONE ? error.exit_code : EXIT_FAILED;
}

std::string get(const Properties &properties, const char *key) {
  auto found = properties.find(key);
  return found != properties.end() ? found->second : "";
}

std::string mib(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

// The JVM's system properties.
bool read_properties(HotSpotAttach &attach, Properties *properties, CommandError *error) {
  AttachAnswer answer;
  if (!attach.execute("properties", {}, &answer, error)) return false;
  if (answer.status != 0) return error->set(EXIT_FAILED, "the JVM refused to list its properties: " + answer.text);
  *properties = parse_java_properties(answer.text);
  return true;
}

// The session opened and entered, the process checked to be a HotSpot JVM.
bool open_jvm(pid_t pid, TargetSession *session, ProcessLibraries *libraries, CommandError *error) {
  if (!session->open(pid, error) || !session->enter(error) || !session->read_libraries(libraries, error)) return false;
  if (!libraries->hotspot) {
    return error->set(EXIT_NOT_HOTSPOT,
                      "process " + std::to_string(pid) + " (" + session->status().name + ") is not a HotSpot JVM");
  }
  return true;
}

// Loads the agent with options into a JVM without it and waits for its start to end.
// library: the agent library as the target names it.
bool start_agent(TargetSession &session, HotSpotAttach &attach, const AgentFiles &files, const std::string &options,
                 int timeout_ms, Properties *properties, std::string *library, CommandError *error) {
  std::string home;
  bool staged = false;
  if (!agent_home_for_target(files, &home, &staged, error)) return false;
  std::string pid = std::to_string(session.pid());
  *library = home + "/lib/libvorkel.so";
  AttachAnswer answer;
  if (!attach.execute("load", {*library, "true", options}, &answer, error)) return false;
  LoadResult load = parse_load_answer(answer);
  if (!load.loaded && load.dynamic_loading_disabled) {
    return error->set(EXIT_ATTACH_DISABLED, "process " + pid +
                                                " loads no agent: it was started with "
                                                "-XX:-EnableDynamicAgentLoading (" +
                                                load.reason + ")");
  }
  if (!load.loaded) return error->set(EXIT_FAILED, "process " + pid + " did not load the agent: " + load.reason);
  if (load.code == ATTACH_ALREADY_LOADED) {
    return error->set(EXIT_ALREADY_LOADED, "process " + pid + " runs the agent already; nothing was changed");
  }
  if (load.code != ATTACH_OK) {
    return error->set(EXIT_FAILED,
                      "the agent refused to start in process " + pid + " (code " + std::to_string(load.code) + ")");
  }
  // The Java half starts on a thread of its own: its state tells when it is done.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (!read_properties(attach, properties, error)) return false;
    std::string state = get(*properties, ATTACH_PROPERTY_STATE);
    if (state == "started") return true;
    if (state != "starting" && !state.empty()) {
      return error->set(EXIT_FAILED, "the agent did not start in process " + pid + ": " +
                                         state.substr(state.rfind("failed: ", 0) == 0 ? 8 : 0) + " (its log is in " +
                                         home + "/logs)");
    }
    if (Clock::now() >= deadline) {
      return error->set(EXIT_TIMEOUT, "the agent did not finish its start in process " + pid + " within " +
                                          std::to_string(timeout_ms / 1000) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void print_agent(pid_t pid, const Properties &properties) {
  printf("Agent in process %d: %s%s\n", (int)pid, get(properties, ATTACH_PROPERTY_STATE).c_str(),
         get(properties, ATTACH_PROPERTY_ATTACHED) == "true" ? " (loaded into the running JVM)" : "");
  printf("  version  %s\n", get(properties, ATTACH_PROPERTY_VERSION).c_str());
  printf("  home     %s\n", get(properties, ATTACH_PROPERTY_HOME).c_str());
  printf("  work     %s\n", get(properties, ATTACH_PROPERTY_WORK).c_str());
}

std::string start_time_text(const std::string &name) {
  char *end = nullptr;
  long long millis = strtoll(name.c_str() + 4, &end, 10);
  if (end == name.c_str() + 4 || *end != '\0') return "";
  time_t seconds = (time_t)(millis / 1000);
  struct tm local {};
  char text[32];
  if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "";
  }
  return text;
}

// The snapshot reader's summary and leak suspects of the copied snapshot.
int print_analysis(const std::string &path, size_t top) {
  using namespace snapshot_reader;
  try {
    Report report = read_directory(path);
    fputs(format_report(report, top).c_str(), stdout);
    if (!report.ok) return EXIT_FAILED;
    Progress progress;
    LoadedSnapshot snapshot;
    std::string error;
    if (!load_snapshot(path, &snapshot, &progress, &error)) {
      fprintf(stderr, "vorkel: %s: %s\n", path.c_str(), error.c_str());
      return EXIT_FAILED;
    }
    Dominators dominators;
    compute_dominators(snapshot.graph, &dominators, &progress);
    progress.done();
    FieldNames names(snapshot.graph, snapshot.info);
    Analysis analysis{snapshot.graph, dominators, snapshot.info, names};
    printf("\n");
    fputs(format_suspects(analysis, find_suspects(analysis, 0.10), 0.10).c_str(), stdout);
    return EXIT_DONE;
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "vorkel: not enough memory to analyse %s\n", path.c_str());
    return EXIT_FAILED;
  }
}

}  // namespace

int run_attach(pid_t pid, const Settings &settings) {
  CommandError error;
  AgentFiles files;
  TargetSession session;
  ProcessLibraries libraries;
  if (!open_jvm(pid, &session, &libraries, &error)) return fail(error);
  HotSpotAttach attach(session, settings.timeout_ms);
  if (!libraries.agent_library.empty()) {
    printf("The agent is already loaded in process %d (%s); nothing was changed.\n", (int)pid,
           libraries.agent_library.c_str());
    Properties properties;
    if (attach.ensure_listener(&error) && read_properties(attach, &properties, &error) &&
        !get(properties, ATTACH_PROPERTY_STATE).empty()) {
      print_agent(pid, properties);
    }
    return EXIT_ALREADY_LOADED;
  }
  // The agent's files are opened as the caller, before the target's namespace hides them.
  session.leave();
  if (!find_agent_files(settings.home, &files, &error) || !session.enter(&error)) return fail(error);
  Properties properties;
  std::string library;
  if (!attach.ensure_listener(&error) ||
      !start_agent(session, attach, files, settings.options, settings.timeout_ms * 3, &properties, &library, &error)) {
    if (error.exit_code == EXIT_ALREADY_LOADED) {
      printf("The agent is already loaded in process %d; nothing was changed.\n", (int)pid);
      return EXIT_ALREADY_LOADED;
    }
    return fail(error);
  }
  print_agent(pid, properties);
  return EXIT_DONE;
}

int run_snapshot(pid_t pid, const Settings &settings) {
  CommandError error;
  AgentFiles files;
  TargetSession session;
  ProcessLibraries libraries;
  // The copy goes where the caller says, as the caller: opened before anything else.
  int out_fd = open(settings.out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (out_fd < 0) {
    fprintf(stderr, "vorkel: %s: %s\n", settings.out.c_str(), strerror(errno));
    return EXIT_USAGE;
  }
  struct OutGuard {
    int fd;
    ~OutGuard() { close(fd); }
  } out_guard{out_fd};
  if (!open_jvm(pid, &session, &libraries, &error)) return fail(error);
  if (libraries.agent_library.empty()) {
    // The agent's files are opened as the caller, before the target's namespace hides them.
    session.leave();
    if (!find_agent_files(settings.home, &files, &error) || !session.enter(&error)) return fail(error);
  }
  if (libraries.agent_deleted) {
    error.set(EXIT_FAILED, "the agent library of process " + std::to_string(pid) + " (" + libraries.agent_library +
                               ") was removed or replaced since the JVM loaded it: requests cannot reach it");
    return fail(error);
  }
  HotSpotAttach attach(session, settings.timeout_ms);
  Properties properties;
  if (!attach.ensure_listener(&error)) return fail(error);
  std::string library = libraries.agent_library;
  if (library.empty()) {
    // No collector is named: the agent's notifications stay off unless options say otherwise.
    std::string options = settings.options_given ? settings.options : "notifications=false";
    if (!start_agent(session, attach, files, options, settings.timeout_ms * 3, &properties, &library, &error)) {
      return fail(error);
    }
    printf("Loaded the agent into process %d (home %s).\n", (int)pid, get(properties, ATTACH_PROPERTY_HOME).c_str());
  } else if (!read_properties(attach, &properties, &error)) {
    return fail(error);
  }
  std::string state = get(properties, ATTACH_PROPERTY_STATE);
  if (state != "started") {
    error.set(EXIT_FAILED, "the agent in process " + std::to_string(pid) + " is not running (" +
                               (state.empty() ? "its Java half has not started" : state) + ")");
    return fail(error);
  }
  std::string work = get(properties, ATTACH_PROPERTY_WORK);
  std::vector<std::string> before = snapshot_names(work);
  std::set<std::string> known(before.begin(), before.end());

  snapshot_reader::Progress progress;
  auto started = Clock::now();
  std::string current;
  auto tick = [&] {
    if (current.empty()) {
      for (const std::string &name : snapshot_names(work)) {
        if (known.count(name) == 0) current = name;
      }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    char line[256];
    if (current.empty()) {
      snprintf(line, sizeof line, "vorkel: snapshot of process %d: starting, %.1f s", (int)pid, seconds);
    } else {
      snprintf(line, sizeof line, "vorkel: snapshot of process %d: %s, graph %s, %.1f s", (int)pid, current.c_str(),
               mib(graph_bytes(work + "/" + current)).c_str(), seconds);
    }
    progress.step(line);
  };
  AttachAnswer answer;
  bool answered = attach.execute(
      "load", {library, "true", std::string(ATTACH_REQUEST_PREFIX) + std::string(ATTACH_REQUEST_SNAPSHOT)}, &answer,
      &error, settings.snapshot_timeout_ms, tick);
  progress.done();
  if (!answered) return fail(error);
  LoadResult load = parse_load_answer(answer);
  if (!load.loaded) {
    error.set(load.dynamic_loading_disabled ? EXIT_ATTACH_DISABLED : EXIT_FAILED,
              "process " + std::to_string(pid) + " did not take the snapshot request: " + load.reason);
    return fail(error);
  }
  if (load.code != ATTACH_OK) {
    std::string why = load.code == ATTACH_SNAPSHOT_FAILED ? "the snapshot was not taken or is not valid"
                      : load.code == ATTACH_NOT_STARTED   ? "the agent is not started"
                                                          : "the agent answered code " + std::to_string(load.code);
    error.set(EXIT_FAILED, "no snapshot of process " + std::to_string(pid) + ": " + why + " (see the agent's log in " +
                               get(properties, ATTACH_PROPERTY_HOME) + "/logs)");
    return fail(error);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (!read_properties(attach, &properties, &error)) return fail(error);
  std::string directory = get(properties, ATTACH_PROPERTY_SNAPSHOT);
  std::string copied;
  if (!copy_snapshot(session, directory, out_fd, settings.out, &copied, &error)) return fail(error);
  session.leave();
  printf("Snapshot of process %d taken in %.1f s: %s, copied to %s\n\n", (int)pid, seconds, directory.c_str(),
         copied.c_str());
  fflush(stdout);
  return print_analysis(copied, settings.top);
}

int run_status(pid_t pid, const Settings &settings) {
  CommandError error;
  TargetSession session;
  ProcessLibraries libraries;
  if (!open_jvm(pid, &session, &libraries, &error)) return fail(error);
  if (libraries.agent_library.empty()) {
    printf("Process %d (%s): no agent loaded.\n", (int)pid, session.status().name.c_str());
    return EXIT_NOT_LOADED;
  }
  HotSpotAttach attach(session, settings.timeout_ms);
  Properties properties;
  if (!attach.ensure_listener(&error) || !read_properties(attach, &properties, &error)) return fail(error);
  if (get(properties, ATTACH_PROPERTY_STATE).empty()) {
    printf("Process %d: the agent library %s is loaded, its Java half has not started.\n", (int)pid,
           libraries.agent_library.c_str());
    return EXIT_DONE;
  }
  print_agent(pid, properties);
  printf("  library  %s%s\n", libraries.agent_library.c_str(), libraries.agent_deleted ? " (deleted)" : "");
  std::vector<SnapshotEntry> snapshots = list_snapshots(get(properties, ATTACH_PROPERTY_WORK));
  printf("Snapshots: %zu\n", snapshots.size());
  for (const SnapshotEntry &entry : snapshots) {
    std::string what = entry.valid() ? "valid" : entry.status.empty() ? "unknown" : entry.status;
    printf("  %s  %s  %-8s  graph %s%s\n", entry.name.c_str(), start_time_text(entry.name).c_str(), what.c_str(),
           mib(entry.graph_bytes).c_str(), entry.archive ? ", archived" : "");
  }
  return EXIT_DONE;
}

}  // namespace vorkel_command
