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
#include "progress.h"
#include "snapshot_load.h"
#include "snapshot_reader.h"
#include "text_reports.h"

namespace {

using namespace snapshot_reader;

const char kUsage[] =
    "usage: snapshot-reader COMMAND [OPTIONS] SNAPSHOT\n"
    "\n"
    "SNAPSHOT is a snapshot directory (oom_info.txt and oom_graph.bin) or its .tar.bz2 archive,\n"
    "which is read as a stream without unpacking it.\n"
    "\n"
    "Commands:\n"
    "  summary [--top N]      check the graph against the info file, count objects and references\n"
    "                         by kind, list the top N classes by instances and by shallow bytes\n"
    "                         (default 20); exits 1 when the two files disagree\n"
    "  histogram [--top N]    instances, shallow and retained bytes per class, largest retained\n"
    "                         first (all classes unless --top)\n"
    "  dominators [--top N]   the N objects that retain the most (default 20): class, shallow and\n"
    "                         retained size, share of the heap, immediate dominator\n"
    "  suspects               objects, or groups of one class under one dominator, that retain at\n"
    "                         least 10% of the heap, each with the shortest path of fields from a GC\n"
    "                         root, the root's kind and, for stack and thread roots, the thread\n"
    "  report --html FILE     one self-contained HTML file: the suspects, a treemap of the dominator\n"
    "                         tree to click into, the histogram as a sortable table, and the\n"
    "                         allocation points joined to their live objects\n"
    "\n"
    "Options:\n"
    "  --top N                how many rows to print\n"
    "  --threshold PERCENT    the share of the heap that makes a suspect (default 10)\n"
    "  --stats                time and peak memory of each step on standard error\n"
    "  -h, --help             this text\n"
    "\n"
    "Retained size: the bytes that would be freed with the object, that is, the shallow sizes of\n"
    "every object it dominates (every path from a GC root to them passes through it).\n"
    "A progress line is drawn on standard error while reading and computing, when it is a terminal.\n"
    "Exit status: 0 when done, 1 when the snapshot cannot be read or is inconsistent, 2 on bad usage.\n";

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
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') command = argv[i++];
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--top") {
      const char *text = value("--top");
      char *end = nullptr;
      if (!text || (top = strtoul(text, &end, 10), *end != '\0')) return usage_error("--top needs a number");
      top_given = true;
    } else if (arg == "--threshold") {
      const char *text = value("--threshold");
      char *end = nullptr;
      if (!text || (threshold = strtod(text, &end), *end != '\0') || threshold <= 0 || threshold > 100) {
        return usage_error("--threshold needs a percentage above 0");
      }
    } else if (arg == "--html") {
      const char *text = value("--html");
      if (!text) return usage_error("--html needs a file name");
      html = text;
    } else if (arg == "--stats") {
      stats_wanted = true;
    } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
      path = arg;
    } else {
      return usage_error("unexpected argument " + arg);
    }
  }
  if (command.empty()) command = "summary";  // the reader's first form: [--top N] SNAPSHOT
  if (command != "summary" && command != "histogram" && command != "dominators" && command != "suspects" &&
      command != "report") {
    return usage_error("unknown command " + command);
  }
  if (path.empty()) return usage_error("no snapshot given");
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
