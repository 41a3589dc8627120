// vorkel: loads the agent into a running JVM and takes snapshots of it on demand, through the JVM's
// own attach mechanism; needs no JDK.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "argument_cursor.h"
#include "command_error.h"
#include "commands.h"
#include "vorkel_version.h"

namespace {

using namespace vorkel_command;
using snapshot_reader::ArgumentCursor;

const char kUsage[] =
    "usage: vorkel attach PID [OPTIONS]\n"
    "       vorkel snapshot PID [--out DIR]\n"
    "       vorkel status PID\n"
    "\n"
    "Loads the agent into a running HotSpot JVM and takes heap snapshots of it on demand, through the\n"
    "JVM's own attach mechanism. Run it as the JVM's user, or as root: it then enters the JVM's user\n"
    "and, for a JVM in a container, the JVM's mount namespace.\n"
    "\n"
    "Commands:\n"
    "  attach PID [OPTIONS]   load the agent with the agent options OPTIONS (\"key=value,...\", as after\n"
    "                         -javaagent:vorkel-agent.jar=), passed to it as they are\n"
    "  snapshot PID           load the agent if the JVM has none, take a snapshot, copy it to DIR and\n"
    "                         print its summary and leak suspects\n"
    "  status PID             whether the JVM runs the agent, its version, work directory and snapshots\n"
    "\n"
    "Options:\n"
    "  -o, --out DIR          where snapshot copies the snapshot directory (default: .)\n"
    "      --options OPTIONS  the agent options when snapshot has to load the agent\n"
    "                         (default: notifications=false)\n"
    "      --home DIR         the agent home to load (default: the one vorkel is installed in)\n"
    "  -t, --timeout SECONDS  how long to wait for the JVM's attach mechanism and each answer (default 10)\n"
    "      --snapshot-timeout SECONDS\n"
    "                         how long a snapshot may take (default 900)\n"
    "  -n, --top N            classes in the snapshot's summary (default 10)\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "A JVM of JDK 21 or later warns about an agent loaded into it unless it was started with\n"
    "-XX:+EnableDynamicAgentLoading; with -XX:-EnableDynamicAgentLoading it refuses the agent.\n"
    "\n"
    "Examples:\n"
    "  vorkel snapshot 4242 --out /var/tmp\n"
    "  vorkel attach 4242 host=collector.example,port=8080,filestreams=true\n"
    "  vorkel status 4242\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the agent or the snapshot failed in the JVM, or the copy could not be written\n"
    "  2  usage error\n"
    "  3  no such process\n"
    "  4  not a HotSpot JVM, or one an attach would end (it does not handle SIGQUIT: -Xrs)\n"
    "  5  the JVM takes no attach (-XX:+DisableAttachMechanism) or no agent\n"
    "     (-XX:-EnableDynamicAgentLoading)\n"
    "  6  permission refused (another user's JVM, not running as root)\n"
    "  7  the JVM did not answer in time\n"
    "  8  attach: the agent was already there; nothing was changed\n"
    "  9  status: the JVM runs no agent\n";

int usage_error(const std::string &message) {
  fprintf(stderr, "vorkel: %s\n(see vorkel --help)\n", message.c_str());
  return EXIT_USAGE;
}

bool parse_number(const char *text, long long low, long long high, long long *value) {
  if (text == nullptr || *text == '\0') return false;
  char *end = nullptr;
  errno = 0;
  long long parsed = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

int run(int argc, char **argv) {
  Settings settings;
  std::vector<std::string> words;
  ArgumentCursor args(argc, argv);
  while (args.next()) {
    const std::string &arg = args.name();
    long long number = 0;
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return EXIT_DONE;
    } else if (arg == "--version") {
      printf("vorkel %s (build %s)\n", VORKEL_VERSION, VORKEL_BUILD_NUMBER);
      return EXIT_DONE;
    } else if (arg == "-o" || arg == "--out") {
      const char *text = args.value();
      if (text == nullptr || *text == '\0') return usage_error(arg + " needs a directory");
      settings.out = text;
    } else if (arg == "--options") {
      const char *text = args.value();
      if (text == nullptr) return usage_error(arg + " needs the agent options");
      settings.options = text;
      settings.options_given = true;
    } else if (arg == "--home") {
      const char *text = args.value();
      if (text == nullptr || *text == '\0') return usage_error(arg + " needs a directory");
      settings.home = text;
    } else if (arg == "-t" || arg == "--timeout") {
      if (!parse_number(args.value(), 1, 86400, &number))
        return usage_error(arg + " needs a number of seconds (1 to 86400)");
      settings.timeout_ms = (int)number * 1000;
    } else if (arg == "--snapshot-timeout") {
      if (!parse_number(args.value(), 1, 86400 * 7, &number)) return usage_error(arg + " needs a number of seconds");
      settings.snapshot_timeout_ms = (int)number * 1000;
    } else if (arg == "-n" || arg == "--top") {
      if (!parse_number(args.value(), 1, 100000, &number)) return usage_error(arg + " needs a number");
      settings.top = (size_t)number;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + std::string(args.given()));
    } else {
      words.push_back(args.given());
    }
  }
  if (words.empty()) return usage_error("no command given");
  const std::string command = words[0];
  if (command != "attach" && command != "snapshot" && command != "status") {
    return usage_error("unknown command " + command);
  }
  long long pid = 0;
  if (words.size() < 2) return usage_error(command + " needs the JVM's process id");
  if (!parse_number(words[1].c_str(), 1, 0x7fffffff, &pid)) return usage_error(words[1] + " is not a process id");
  if (command == "attach") {
    if (words.size() > 3) return usage_error("attach takes the agent options as one argument (quote them)");
    if (words.size() == 3) {
      settings.options = words[2];
      settings.options_given = true;
    }
    return run_attach((pid_t)pid, settings);
  }
  if (words.size() > 2) return usage_error("unexpected argument " + words[2]);
  return command == "snapshot" ? run_snapshot((pid_t)pid, settings) : run_status((pid_t)pid, settings);
}

}  // namespace

int main(int argc, char **argv) { return run(argc, argv); }
