#include "text_reports.h"

#include <cinttypes>
#include <cstdio>

#include "allocation_sites.h"

namespace snapshot_reader {

std::string human_bytes(uint64_t bytes) {
  static const char *units[] = {"bytes", "kB", "MB", "GB", "TB"};
  double value = (double)bytes;
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
  } else {
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

std::string percent(uint64_t part, uint64_t whole) {
  char text[16];
  snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * (double)part / (double)whole);
  return text;
}

std::string format_histogram(const Analysis &a, const std::vector<ClassRow> &rows, size_t top) {
  std::string out = "Class histogram: " + std::to_string(rows.size()) + " classes, " + human_bytes(a.heap()) + " in " +
                    std::to_string(a.reachable_objects()) + " reachable objects\n";
  out += "     instances    shallow bytes   retained bytes  retained  class\n";
  for (size_t i = 0; i < rows.size() && i < top; ++i) {
    char line[96];
    snprintf(line, sizeof line, "%14" PRIu64 " %16" PRIu64 " %16" PRIu64 " %8s  ", rows[i].instances, rows[i].shallow,
             rows[i].retained, percent(rows[i].retained, a.heap()).c_str());
    out += line + java_class_name(a.names.class_signature(rows[i].class_id)) + "\n";
  }
  return out;
}

std::string format_dominators(const Analysis &a, const std::vector<uint32_t> &ids) {
  std::string out = "Biggest objects by retained size (of " + human_bytes(a.heap()) + "):\n";
  out += "  retained bytes  retained    shallow  object (dominated by)\n";
  for (uint32_t id : ids) {
    char line[80];
    snprintf(line, sizeof line, "%16" PRIu64 " %9s %10u  ", a.dominators.retained[id],
             percent(a.dominators.retained[id], a.heap()).c_str(), a.graph.shallow[id]);
    uint32_t idom = a.dominators.idom[id];
    std::string by = idom == 0                     ? std::string("the roots")
                     : a.graph.is_stack_node(idom) ? a.names.describe_type(idom)
                                                   : "#" + std::to_string(idom);
    out += line + object_label(a, id) + " (" + by + ")\n";
  }
  return out;
}

std::string format_step(const Analysis &a, const PathStep &step) {
  std::string label = object_label(a, step.id);
  return step.via.empty() ? label : step.via + " -> " + label;
}

std::string describe_suspect(const Analysis &a, const Suspect &s) {
  if (!s.group) return "one " + object_label(a, s.id);
  return std::to_string(s.members) + " objects of " + java_class_name(a.names.class_signature(s.group_class)) +
         (s.id == 0 ? std::string(" held by GC roots") : " under " + object_label(a, s.id));
}

namespace {

std::string objects(uint64_t count) { return std::to_string(count) + (count == 1 ? " object" : " objects"); }

std::string retains(const Analysis &a, uint64_t bytes) {
  return "retains " + human_bytes(bytes) + " (" + percent(bytes, a.heap()) + ")";
}

}  // namespace

std::string format_suspects(const Analysis &a, const std::vector<Suspect> &suspects, double share) {
  char threshold[16];
  snprintf(threshold, sizeof threshold, "%g%%", share * 100);
  if (suspects.empty()) {
    return std::string("No leak suspects: no object or group of objects retains ") + threshold + " of the heap (" +
           human_bytes(a.heap()) + ").\n";
  }
  std::string out =
      std::string("Leak suspects (retaining at least ") + threshold + " of the heap, " + human_bytes(a.heap()) + "):\n";
  auto steps = [&](const char *title, const std::vector<PathStep> &list) {
    if (list.empty()) return;
    out += std::string("  ") + title + ":\n";
    for (const PathStep &step : list) {
      out += "    " + format_step(a, step) + " " + retains(a, a.dominators.retained[step.id]) + "\n";
    }
  };
  for (size_t i = 0; i < suspects.size(); ++i) {
    const Suspect &s = suspects[i];
    out += "\nSuspect " + std::to_string(i + 1) + ": " + describe_suspect(a, s) + " retains " +
           std::to_string(s.retained) + " bytes (" + human_bytes(s.retained) + ", " + percent(s.retained, a.heap()) +
           " of the heap)\n";
    if (s.holder_followed) out += "  made at " + s.holder_site.birthplace + "\n";
    auto root_path = [&](const RootPath &path, const std::string &title) {
      out += "  GC root: " + root_kind_name(path.root_kind);
      if (!path.thread.empty()) out += ", thread " + path.thread;
      if (!path.frame.empty()) out += ", in " + path.frame;
      out += "\n  " + title + ":\n";
      for (const PathStep &step : path.steps) out += "    " + format_step(a, step) + "\n";
    };
    if (s.path.found) {
      root_path(s.path, "path");
      for (size_t k = 0; k < s.more_paths.size(); ++k) root_path(s.more_paths[k], "path " + std::to_string(k + 2));
    } else {
      out += "  no path from a GC root\n";
    }
    steps("inside it", s.inside);
    if (s.held_members > 0) {
      out += "  holding " + objects(s.held_members) + " of " + java_class_name(a.names.class_signature(s.held_class)) +
             " that retain " + human_bytes(s.held_retained) + " (" + percent(s.held_retained, a.heap()) + ")\n";
    }
    steps(s.group ? "the largest of them" : "the largest of those", s.sample);
    if (!s.sites.empty()) {
      out += "  it holds followed objects made at (objects, retained bytes counted once):\n";
      for (size_t k = 0; k < s.sites.size() && k < 5; ++k) {
        char line[64];
        snprintf(line, sizeof line, "    %12" PRIu64 " %10s  ", s.sites[k].live,
                 human_bytes(s.sites[k].retained).c_str());
        out += line + site_name(s.sites[k]) + "\n";
      }
      if (s.sites.size() > 5) out += "    and " + std::to_string(s.sites.size() - 5) + " more allocation points\n";
    }
  }
  return out;
}

std::string format_verdict(const Verdict &verdict) {
  return std::string("Verdict: ") + verdict_name(verdict.kind) + ": " + verdict.reason + "\n";
}

std::string format_thread(const Analysis &a, const ThreadRow &thread, size_t max_frames) {
  std::string out = "Thread \"" + thread.name + "\" (id " + std::to_string(thread.java_id) + ", " + thread.state + ")";
  if (thread.current) out += ", the one that took the snapshot";
  out += thread.retained > 0 ? ": its stack frames hold " + human_bytes(thread.retained) + " (" +
                                   percent(thread.retained, a.heap()) + ")\n"
                             : ": its stack frames hold nothing of their own\n";
  for (size_t k = 0; k < thread.frames.size() && k < max_frames; ++k) {
    const FrameRow &frame = thread.frames[k];
    std::string at = "    at " + frame.method + (frame.line >= 0 ? ":" + std::to_string(frame.line) : std::string());
    if (frame.retained > 0) {
      if (at.size() < 64) at.resize(64, ' ');
      at += " holds " + human_bytes(frame.retained) + " (" + percent(frame.retained, a.heap()) + ")";
    }
    out += at + "\n";
  }
  if (thread.frames.size() > max_frames) {
    out += "    ... " + std::to_string(thread.frames.size() - max_frames) + " more frames\n";
  }
  return out;
}

std::string format_threads(const Analysis &a, const std::vector<ThreadRow> &threads) {
  std::string out =
      "Threads (" + std::to_string(threads.size()) + "), with what their stack frames alone keep alive:\n";
  for (const ThreadRow &thread : threads) out += "\n" + format_thread(a, thread, SIZE_MAX);
  return out;
}

std::string format_findings(const Analysis &a, const Findings &findings) {
  std::string out = format_verdict(findings.verdict);
  for (const ThreadRow &thread : findings.threads) {
    if (thread.current) out += "\n" + format_thread(a, thread, 12);
  }
  const WeakReach &weak = findings.weak;
  if (weak.total_objects() > 0) {
    out += "\nLeft out of the heap: " + std::to_string(weak.total_objects()) + " objects (" +
           human_bytes(weak.total_bytes()) + ") that only";
    const char *kinds[] = {"soft", "weak", "final", "phantom"};
    std::string listed;
    for (int k = 0; k < 4; ++k) {
      if (weak.objects[k] == 0) continue;
      listed += std::string(listed.empty() ? " " : ", ") + kinds[k] + " (" + std::to_string(weak.objects[k]) +
                " objects, " + human_bytes(weak.bytes[k]) + ")";
    }
    out += listed + " references reach\n";
  }
  return out + "\n" + format_suspects(a, findings.suspects, findings.share);
}

}  // namespace snapshot_reader
