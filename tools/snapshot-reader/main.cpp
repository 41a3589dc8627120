// snapshot-reader: reads a heap snapshot (its directory or its .tar.bz2 archive) and tells what
// filled the heap.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "analysis.h"
#include "html_report.h"
#include "metaspace_report.h"
#include "progress.h"
#include "snapshot_load.h"
#include "snapshot_reader.h"
#include "text_reports.h"
#include "vorkel_version.h"

namespace {

using namespace snapshot_reader;

const char kUsage[] =
    "usage: snapshot-reader COMMAND [OPTIONS] SNAPSHOT\n"
    "       snapshot-reader [--top N] SNAPSHOT          (the same as summary)\n"
    "\n"
    "Tells what filled the heap of a snapshot. SNAPSHOT is a snapshot directory (oom_info.txt and\n"
    "oom_graph.bin) or its .tar.bz2 archive, which is read as a stream without unpacking it.\n"
    "\n"
    "Commands:\n"
    "  summary                check the graph against the info file; count objects and references\n"
    "                         by kind; the top classes by instances and by shallow bytes\n"
    "  histogram              instances, shallow and retained bytes per class, most retained first\n"
    "  dominators             the objects that retain the most: class, shallow and retained size,\n"
    "                         share of the heap, immediate dominator\n"
    "  suspects               objects, and groups of one class under one dominator, that retain at\n"
    "                         least the threshold of the heap, each with the shortest path of fields\n"
    "                         from a GC root, the root's kind and, for stack and thread roots, the\n"
    "                         thread; then what inside it holds the most\n"
    "  metaspace              class metadata by class loader (with the loader's class and its path\n"
    "                         from a GC root), the classes that take most, class names defined by\n"
    "                         more than one loader, and loaders only one object outside them keeps\n"
    "                         alive; needs full class sizes (HotSpot of JDK 11 to 25)\n"
    "  report --html FILE     all of it as one self-contained HTML page: the suspects, a treemap of\n"
    "                         the dominator tree to click into, the class histogram as a sortable\n"
    "                         table, the biggest objects, the allocation points joined to their\n"
    "                         live objects and the metaspace report\n"
    "\n"
    "Options:\n"
    "  -n, --top N            rows to print (summary, dominators, metaspace: 20, histogram: all)\n"
    "  -t, --threshold PCT    the share of the heap that makes a suspect, in percent (default 10)\n"
    "  -o, --html FILE        where report writes its page\n"
    "      --stats            time and peak memory of each step on standard error\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "The retained size of an object is what collecting it would free: its own shallow size and that\n"
    "of every object only reachable through it (those it dominates). While reading and computing, a\n"
    "progress line is drawn on standard error when that is a terminal.\n"
    "\n"
    "Examples:\n"
    "  snapshot-reader suspects work/oom_1764950400000\n"
    "  snapshot-reader dominators --top 50 oom_1764950400000.tar.bz2\n"
    "  snapshot-reader report --html heap.html oom_1764950400000.tar.bz2\n"
    "\n"
    "Exit status: 0 when done, 1 when the snapshot cannot be read (or, for summary, its two files\n"
    "disagree), 2 on a usage error.\n";

bool is_command(const std::string &word) {
  for (const char *command : {"summary", "histogram", "dominators", "suspects", "metaspace", "report"}) {
    if (word == command) return true;
  }
  return false;
}

int usage_error(const std::string &message) {
  fprintf(stderr, "snapshot-reader: %s\n(see snapshot-reader --help)\n", message.c_str());
  return 2;
}

class Stats {
 public:
  explicit Stats(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}
  void step(const char *name) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    fprintf(stderr, "step %-12s %8.3f s   peak memory %8.1f MB\n", name,
            std::chrono::duration<double>(now - start_).count(), usage.ru_maxrss / 1024.0);
    start_ = now;
  }

 private:
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
};

int run(int argc, char **argv) {
  std::string command, path, html;
  size_t top = 0;
  bool top_given = false, stats_wanted = false;
  double threshold = 10;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], inline_value;
    bool has_inline = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {  // --name=value
      inline_value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      has_inline = true;
    }
    auto value = [&]() -> const char * {
      if (has_inline) return inline_value.c_str();
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    if (arg == "-h" || arg == "--help" || (arg == "help" && command.empty())) {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      printf("snapshot-reader %s (vorkel build %s)\n", VORKEL_VERSION, VORKEL_BUILD_NUMBER);
      return 0;
    } else if (arg == "-n" || arg == "--top") {
      const char *text = value();
      char *end = nullptr;
      if (!text || !*text || (top = strtoul(text, &end, 10), *end != '\0')) return usage_error(arg + " needs a number");
      top_given = true;
    } else if (arg == "-t" || arg == "--threshold") {
      const char *text = value();
      char *end = nullptr;
      if (!text || !*text || (threshold = strtod(text, &end), *end != '\0') || !(threshold > 0 && threshold <= 100)) {
        return usage_error(arg + " needs a percentage above 0 and at most 100");
      }
    } else if (arg == "-o" || arg == "--html") {
      const char *text = value();
      if (!text || !*text) return usage_error(arg + " needs a file name");
      html = text;
    } else if (arg == "--stats" && !has_inline) {
      stats_wanted = true;
    } else if (arg.empty() || arg[0] == '-') {
      return usage_error("unknown option " + std::string(argv[i]));
    } else if (command.empty() && path.empty() && is_command(arg)) {
      command = arg;
    } else if (path.empty()) {
      path = arg;
    } else {
      return usage_error(command.empty() ? "unknown command " + path : "unexpected argument " + arg);
    }
  }
  if (command.empty()) command = "summary";  // the reader's first form: [--top N] SNAPSHOT
  if (path.empty()) return usage_error(argc == 1 ? "no command and no snapshot given" : "no snapshot given");
  if (command == "report" && html.empty()) return usage_error("report needs --html FILE");

  Stats stats(stats_wanted);
  if (command == "summary") {
    Report report = read_directory(path);
    fputs(format_report(report, top_given ? top : 20).c_str(), stdout);
    stats.step("summary");
    return report.ok ? 0 : 1;
  }

  Progress progress;
  LoadedSnapshot snapshot;
  std::string error;
  if (!load_snapshot(path, &snapshot, &progress, &error)) {
    fprintf(stderr, "snapshot-reader: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  stats.step("reading");
  Dominators dominators;
  compute_dominators(snapshot.graph, &dominators, &progress);
  stats.step("dominators");
  FieldNames names(snapshot.graph, snapshot.info);
  Analysis analysis{snapshot.graph, dominators, snapshot.info, names};
  if (command == "histogram") {
    fputs(format_histogram(analysis, class_histogram(analysis), top_given ? top : SIZE_MAX).c_str(), stdout);
  } else if (command == "dominators") {
    fputs(format_dominators(analysis, top_dominators(analysis, top_given ? top : 20)).c_str(), stdout);
  } else if (command == "suspects") {
    fputs(format_suspects(analysis, find_suspects(analysis, threshold / 100), threshold / 100).c_str(), stdout);
  } else if (command == "metaspace") {
    fputs(format_metaspace(analysis, metaspace_report(analysis, top_given ? top : 20)).c_str(), stdout);
  } else {
    if (!write_html_report(analysis, path, html, threshold / 100, &error)) {
      fprintf(stderr, "snapshot-reader: %s\n", error.c_str());
      return 1;
    }
    printf("Wrote %s\n", html.c_str());
  }
  stats.step(command.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc &) {
    fputs("snapshot-reader: not enough memory to analyse this snapshot\n", stderr);
    return 1;
  }
}
