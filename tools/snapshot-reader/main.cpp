// snapshot-reader: reads a heap snapshot (its directory or its .tar.bz2 archive) and tells what
// filled the heap; compares two snapshots; and, for test suites, fails when a bar is crossed.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "allocation_sites.h"
#include "analysis.h"
#include "argument_cursor.h"
#include "diff_reports.h"
#include "findings.h"
#include "html_report.h"
#include "json_reports.h"
#include "metaspace_report.h"
#include "progress.h"
#include "reference_strength.h"
#include "snapshot_diff.h"
#include "snapshot_load.h"
#include "snapshot_reader.h"
#include "text_reports.h"
#include "vorkel_version.h"

namespace {

using namespace snapshot_reader;

const char kUsage[] =
    "usage: snapshot-reader COMMAND [OPTIONS] SNAPSHOT\n"
    "       snapshot-reader diff [OPTIONS] OLD NEW\n"
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
    "  suspects               a verdict (leak, spike or none) with its reason; the thread that took\n"
    "                         the snapshot (the one that hit the error) with what its frames hold;\n"
    "                         then the objects, and groups of one class under one dominator, that\n"
    "                         retain at least the threshold of the heap, each with the shortest path\n"
    "                         of fields from a GC root, what inside it holds the most, and where it\n"
    "                         and the followed objects it holds were allocated\n"
    "  threads                every thread, that one first, with what each stack frame holds\n"
    "  metaspace              class metadata by class loader (with the loader's class and its path\n"
    "                         from a GC root), the classes that take most, class names defined by\n"
    "                         more than one loader, and loaders only one object outside them keeps\n"
    "                         alive; needs full class sizes (HotSpot of JDK 11 to 25)\n"
    "  report --html FILE     all of it as one self-contained HTML page: the suspects, a treemap of\n"
    "                         the dominator tree to click into, the threads, the class histogram as\n"
    "                         a sortable table, the biggest objects and the allocation points\n"
    "                         joined to their live objects (with --format json: all of it as JSON)\n"
    "  diff OLD NEW           what grew from one snapshot to another, by allocation site, by class\n"
    "                         and by dominator path (the fields from a root to the holder), largest\n"
    "                         growth first, with the counts and bytes of both sides\n"
    "\n"
    "Options:\n"
    "  -n, --top N            rows to print (summary, dominators, metaspace and diff: 20, histogram: all)\n"
    "  -t, --threshold PCT    the share of the heap that makes a suspect, in percent (default 10)\n"
    "  -o, --html FILE        where report writes its page\n"
    "  -f, --format FORMAT    text (the default) or json (docs/snapshot-analysis.md has its schema)\n"
    "  -p, --paths N          up to N distinct paths from the roots per suspect (default 1)\n"
    "      --soft             count soft references as strong (a heap can die of what they hold);\n"
    "                         weak, final and phantom referents never keep an object alive\n"
    "      --fail-over PCT    exit with 3 when a suspect retains more than PCT percent of the heap\n"
    "                         (for diff: of the new snapshot's heap)\n"
    "      --fail-growth BYTES  diff only: exit with 3 when the heap, or one allocation site, class\n"
    "                         or dominator path, grew by more than BYTES retained bytes\n"
    "      --stats            time and peak memory of each step on standard error\n"
    "  -h, --help             show this help and exit\n"
    "      --version          show the version and exit\n"
    "\n"
    "The retained size of an object is what collecting it would free: its own shallow size and that\n"
    "of every object only reachable through it (those it dominates). Only strong references count:\n"
    "the referent of a soft, weak or phantom reference and the finalizer's reference to an object\n"
    "waiting for finalization do not, so what only they reach is left out of the heap. A thread's\n"
    "stack frames retain what only their locals keep alive. While reading and computing, a progress\n"
    "line is drawn on standard error when that is a terminal.\n"
    "\n"
    "Examples:\n"
    "  snapshot-reader suspects work/oom_1764950400000\n"
    "  snapshot-reader dominators --top 50 oom_1764950400000.tar.bz2\n"
    "  snapshot-reader report --html heap.html oom_1764950400000.tar.bz2\n"
    "  snapshot-reader suspects --format json --fail-over 50 oom_1764950400000\n"
    "  snapshot-reader diff --fail-growth 10000000 oom_1764950400000 oom_1764950700000.tar.bz2\n"
    "\n"
    "Exit status: 0 when done, 1 when a snapshot cannot be read (or, for summary, its two files\n"
    "disagree), 2 on a usage error, 3 when --fail-over or --fail-growth was crossed.\n";

constexpr int kGateCrossed = 3;

bool is_command(const std::string &word) {
  for (const char *command :
       {"summary", "histogram", "dominators", "suspects", "threads", "metaspace", "report", "diff"}) {
    if (word == command) return true;
  }
  return false;
}

int usage_error(const std::string &message) {
  fprintf(stderr, "snapshot-reader: %s\n(see snapshot-reader --help)\n", message.c_str());
  return 2;
}

// --stats: each step's time and the process's peak memory on standard error, one line at a time
// (the two sides of a diff are analysed at once).
class Stats {
 public:
  Stats(bool enabled, std::string side = "") : enabled_(enabled), side_(std::move(side)), start_(Clock::now()) {}
  void step(const char *name) {
    if (!enabled_) return;
    auto now = Clock::now();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::string label = side_.empty() ? name : std::string(name) + " (" + side_ + ")";
    {
      std::lock_guard<std::mutex> hold(lock_);
      fprintf(stderr, "step %-16s %8.3f s   peak memory %8.1f MB\n", label.c_str(),
              std::chrono::duration<double>(now - start_).count(), usage.ru_maxrss / 1024.0);
    }
    start_ = now;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static inline std::mutex lock_;
  bool enabled_;
  std::string side_;
  Clock::time_point start_;
};

struct Options {
  std::string command;
  std::vector<std::string> paths;
  std::string html;
  size_t top = 0;
  bool top_given = false, stats = false, json = false, soft = false;
  double threshold = 10;
  size_t path_count = 1;
  double fail_over = -1;     // percent; below 0 when not given
  int64_t fail_growth = -1;  // bytes; below 0 when not given
};

// A snapshot read and its dominators computed: what every analysing command starts from.
struct Analysed {
  LoadedSnapshot snapshot;
  Dominators dominators;
  std::unique_ptr<FieldNames> names;
  std::unique_ptr<Analysis> analysis;
};

bool analyse(const std::string &path, const Options &options, Stats &stats, Analysed *out, bool show_progress = true) {
  Progress progress(show_progress && isatty(STDERR_FILENO) == 1);
  std::string error;
  if (!load_snapshot(path, &out->snapshot, &progress, &error)) {
    fprintf(stderr, "snapshot-reader: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  stats.step("reading");
  out->names = std::make_unique<FieldNames>(out->snapshot.graph, out->snapshot.info);
  mark_referents(&out->snapshot.graph, out->snapshot.info, *out->names);
  compute_dominators(out->snapshot.graph, &out->dominators, &progress, options.soft);
  stats.step("dominators");
  out->analysis =
      std::make_unique<Analysis>(Analysis{out->snapshot.graph, out->dominators, out->snapshot.info, *out->names});
  return true;
}

std::string share_text(double percent_value) {
  char text[32];
  snprintf(text, sizeof text, "%g%%", percent_value);
  return text;
}

// --fail-over: the largest suspect above that share of the heap.
void check_fail_over(const Analysis &a, double percent_bar, GateResult *gate) {
  gate->asked = true;
  std::vector<Suspect> suspects = find_suspects(a, percent_bar / 100, 0);
  for (size_t i = 0; i < suspects.size(); ++i) {
    if ((double)suspects[i].retained * 100 <= percent_bar * (double)a.heap()) continue;
    gate->crossed = true;
    gate->reason = describe_suspect(a, suspects[i]) + " retains " + percent(suspects[i].retained, a.heap()) +
                   " of the heap, more than --fail-over " + share_text(percent_bar);
    return;
  }
  gate->reason = "no suspect retains more than " + share_text(percent_bar) + " of the heap";
}

int finish(const GateResult &gate) {
  if (!gate.crossed) return 0;
  fprintf(stderr, "snapshot-reader: %s\n", gate.reason.c_str());
  return kGateCrossed;
}

// One side of a diff: the snapshot analysed and boiled down to its profile.
struct DiffSide {
  Profile profile;
  GateResult gate;  // --fail-over, on the new side
  bool ok = false;
};

void analyse_side(const Options &options, int side, DiffSide *out, bool show_progress) {
  try {
    Stats stats(options.stats, side == 0 ? "old" : "new");
    Analysed analysed;
    if (!analyse(options.paths[side], options, stats, &analysed, show_progress)) return;
    out->profile = make_profile(*analysed.analysis);
    if (side == 1 && options.fail_over >= 0) check_fail_over(*analysed.analysis, options.fail_over, &out->gate);
    stats.step("profile");
    out->ok = true;
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "snapshot-reader: %s: not enough memory to analyse this snapshot\n", options.paths[side].c_str());
  }
}

int run_diff(const Options &options, Stats &stats) {
  // Both sides at once, one on each core, when a thread can be had; else one after the other.
  DiffSide sides[2];
  bool parallel = std::thread::hardware_concurrency() > 1;
  if (parallel) {
    try {
      std::thread old_side(analyse_side, std::cref(options), 0, &sides[0], false);
      analyse_side(options, 1, &sides[1], true);
      old_side.join();
    } catch (const std::system_error &) {
      parallel = false;
    }
  }
  if (!parallel) {
    for (int side = 0; side < 2; ++side) {
      analyse_side(options, side, &sides[side], true);
      if (!sides[side].ok) return 1;
    }
  }
  if (!sides[0].ok || !sides[1].ok) return 1;
  GateResult gate = sides[1].gate;
  Profile *profiles[2] = {&sides[0].profile, &sides[1].profile};
  size_t top = options.top_given ? options.top : 20;
  SnapshotDiff diff = compare_profiles(*profiles[0], *profiles[1], top);
  if (options.fail_growth >= 0) {
    std::string what;
    int64_t growth = diff.largest_growth(&what);
    GateResult growth_gate;
    growth_gate.asked = true;
    if (growth > options.fail_growth) {
      growth_gate.crossed = true;
      growth_gate.reason = what + " grew by " + std::to_string(growth) + " bytes, more than --fail-growth " +
                           std::to_string(options.fail_growth);
    } else {
      growth_gate.reason = "nothing grew by more than " + std::to_string(options.fail_growth) +
                           " bytes (the most: " + what + ", " + std::to_string(growth) + ")";
    }
    if (!gate.crossed) gate = growth_gate;  // a crossed --fail-over is said first
  }
  std::string out =
      options.json ? json_diff(diff, top, gate) : format_diff(diff, options.paths[0], options.paths[1], top);
  fputs(out.c_str(), stdout);
  stats.step("diff");
  return finish(gate);
}

int run(int argc, char **argv) {
  Options options;
  ArgumentCursor args(argc, argv);
  while (args.next()) {
    const std::string &arg = args.name();
    auto number = [&](double *out) {
      const char *text = args.value();
      char *end = nullptr;
      return text && *text && (*out = strtod(text, &end), *end == '\0');
    };
    if (arg == "-h" || arg == "--help" || (arg == "help" && options.command.empty())) {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      printf("snapshot-reader %s (vorkel build %s)\n", VORKEL_VERSION, VORKEL_BUILD_NUMBER);
      return 0;
    } else if (arg == "-n" || arg == "--top") {
      const char *text = args.value();
      char *end = nullptr;
      if (!text || !*text || (options.top = strtoul(text, &end, 10), *end != '\0')) {
        return usage_error(arg + " needs a number");
      }
      options.top_given = true;
    } else if (arg == "-t" || arg == "--threshold") {
      if (!number(&options.threshold) || !(options.threshold > 0 && options.threshold <= 100)) {
        return usage_error(arg + " needs a percentage above 0 and at most 100");
      }
    } else if (arg == "--fail-over") {
      if (!number(&options.fail_over) || !(options.fail_over > 0 && options.fail_over < 100)) {
        return usage_error(arg + " needs a percentage above 0 and below 100");
      }
    } else if (arg == "--fail-growth") {
      double bytes = 0;
      if (!number(&bytes) || !(bytes >= 0 && bytes < 9e18) || bytes != (double)(int64_t)bytes) {
        return usage_error(arg + " needs a whole number of bytes");
      }
      options.fail_growth = (int64_t)bytes;
    } else if (arg == "-p" || arg == "--paths") {
      double count = 0;
      if (!number(&count) || !(count >= 1 && count <= 1000) || count != (double)(int)count) {
        return usage_error(arg + " needs a number from 1 to 1000");
      }
      options.path_count = (size_t)count;
    } else if (arg == "-f" || arg == "--format") {
      const char *text = args.value();
      std::string format = text ? text : "";
      if (format != "text" && format != "json") return usage_error(arg + " is text or json");
      options.json = format == "json";
    } else if (arg == "-o" || arg == "--html") {
      const char *text = args.value();
      if (!text || !*text) return usage_error(arg + " needs a file name");
      options.html = text;
    } else if (arg == "--stats" && !args.has_inline()) {
      options.stats = true;
    } else if (arg == "--soft" && !args.has_inline()) {
      options.soft = true;
    } else if (arg.empty() || arg[0] == '-') {
      return usage_error("unknown option " + std::string(args.given()));
    } else if (options.command.empty() && options.paths.empty() && is_command(arg)) {
      options.command = arg;
    } else if (options.paths.size() < (options.command == "diff" ? 2u : 1u)) {
      options.paths.push_back(arg);
    } else {
      return usage_error(options.command.empty() ? "unknown command " + options.paths[0]
                                                 : "unexpected argument " + arg);
    }
  }
  if (options.command.empty()) options.command = "summary";  // the reader's first form: [--top N] SNAPSHOT
  const std::string &command = options.command;
  if (options.paths.empty()) return usage_error(argc == 1 ? "no command and no snapshot given" : "no snapshot given");
  if (command == "diff" && options.paths.size() < 2) return usage_error("diff needs two snapshots, OLD and NEW");
  if (command == "report" && options.html.empty() && !options.json) return usage_error("report needs --html FILE");
  if (!options.html.empty() && command != "report") return usage_error("--html belongs to report");
  if (options.fail_growth >= 0 && command != "diff") return usage_error("--fail-growth belongs to diff");
  if (options.fail_over >= 0 && command == "summary") return usage_error("--fail-over needs an analysing command");

  Stats stats(options.stats);
  if (command == "summary") {
    Report report = read_directory(options.paths[0]);
    size_t top = options.top_given ? options.top : 20;
    fputs((options.json ? json_summary(report, top) : format_report(report, top)).c_str(), stdout);
    stats.step("summary");
    return report.ok ? 0 : 1;
  }
  if (command == "diff") return run_diff(options, stats);

  Analysed analysed;
  if (!analyse(options.paths[0], options, stats, &analysed)) return 1;
  const Analysis &analysis = *analysed.analysis;
  GateResult gate;
  if (options.fail_over >= 0) check_fail_over(analysis, options.fail_over, &gate);
  double share = options.threshold / 100;
  std::string out;
  if (command == "histogram") {
    std::vector<ClassRow> rows = class_histogram(analysis);
    size_t top = options.top_given ? options.top : SIZE_MAX;
    out = options.json ? json_histogram(analysis, rows, top, gate) : format_histogram(analysis, rows, top);
  } else if (command == "dominators") {
    std::vector<uint32_t> ids = top_dominators(analysis, options.top_given ? options.top : 20);
    out = options.json ? json_dominators(analysis, ids, gate) : format_dominators(analysis, ids);
  } else if (command == "metaspace") {
    MetaspaceReport report = metaspace_report(analysis, options.top_given ? options.top : 20);
    out = options.json ? json_metaspace(analysis, report, gate) : format_metaspace(analysis, report);
  } else if (command == "suspects" || command == "threads") {
    Findings findings = gather_findings(analysis, share, options.path_count);
    if (options.json) {
      out = json_findings(analysis, findings, command, gate);
    } else {
      out = command == "threads" ? format_verdict(findings.verdict) + "\n" + format_threads(analysis, findings.threads)
                                 : format_findings(analysis, findings);
    }
  } else {
    Findings findings = gather_findings(analysis, share, options.path_count);
    std::string error;
    if (!options.html.empty()) {
      if (!write_html_report(analysis, options.paths[0], findings, options.html, &error)) {
        fprintf(stderr, "snapshot-reader: %s\n", error.c_str());
        return 1;
      }
    }
    if (options.json) {
      out = json_report(analysis, findings, class_histogram(analysis), top_dominators(analysis, 50),
                        allocation_rows(analysis), gate);
    } else {
      out = "Wrote " + options.html + "\n";
    }
  }
  fputs(out.c_str(), stdout);
  stats.step(command.c_str());
  return finish(gate);
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
