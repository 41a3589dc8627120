#include "text_reports.h"

#include <cinttypes>
#include <cstdio>

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
                    std::to_string(a.dominators.reached - 1) + " reachable objects\n";
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
    out +=
        line + object_label(a, id) + " (" + (idom == 0 ? std::string("the roots") : "#" + std::to_string(idom)) + ")\n";
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
    if (s.path.found) {
      out += "  GC root: " + root_kind_name(s.path.root_kind);
      if (!s.path.thread.empty()) out += ", thread " + s.path.thread;
      if (!s.path.frame.empty()) out += ", in " + s.path.frame;
      out += "\n  path:\n";
      for (const PathStep &step : s.path.steps) out += "    " + format_step(a, step) + "\n";
    } else {
      out += "  no path from a GC root\n";
    }
    steps("inside it", s.inside);
    if (s.held_members > 0) {
      out += "  holding " + objects(s.held_members) + " of " + java_class_name(a.names.class_signature(s.held_class)) +
             " that retain " + human_bytes(s.held_retained) + " (" + percent(s.held_retained, a.heap()) + ")\n";
    }
    steps(s.group ? "the largest of them" : "the largest of those", s.sample);
  }
  return out;
}

}  // namespace snapshot_reader
