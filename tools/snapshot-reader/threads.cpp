#include "threads.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "field_names.h"
#include "text_reports.h"

namespace snapshot_reader {

namespace {

// "Lvorkel/demo/Shop;.main:10(4)" -> method "vorkel.demo.Shop.main", line 10.
void parse_frame(const std::string &text, FrameRow *row) {
  size_t dot = text.find(";.");
  size_t colon = text.rfind(':');
  size_t paren = text.rfind('(');
  if (text.empty() || text[0] != 'L' || dot == std::string::npos || colon == std::string::npos || colon < dot ||
      paren == std::string::npos || paren < colon) {
    row->method = text;
    return;
  }
  row->method = java_class_name(text.substr(0, dot + 1)) + "." + text.substr(dot + 2, colon - dot - 2);
  std::string number = text.substr(colon + 1, paren - colon - 1);
  char *end = nullptr;
  long value = strtol(number.c_str(), &end, 10);
  if (!number.empty() && *end == '\0' && value >= 0) row->line = (int32_t)value;
}

}  // namespace

const char *thread_state_name(int state) {
  if (state & 0x2) return "TERMINATED";
  if (!(state & 0x1)) return "NEW";
  if (state & 0x400) return "BLOCKED";
  if (state & 0x20) return "TIMED_WAITING";
  if (state & 0x10) return "WAITING";
  return "RUNNABLE";
}

const char *verdict_name(Verdict::Kind kind) {
  switch (kind) {
    case Verdict::Kind::kLeak:
      return "leak";
    case Verdict::Kind::kSpike:
      return "spike";
    default:
      return "none";
  }
}

std::vector<ThreadRow> thread_rows(const Analysis &a) {
  const HeapGraph &graph = a.graph;
  int64_t current = 0;
  auto found = a.info.metadata.find("Current thread");
  if (found != a.info.metadata.end()) current = strtoll(found->second.c_str(), nullptr, 10);
  // The stack nodes by thread: the stack's own, then its frames by depth.
  std::unordered_map<uint64_t, uint32_t> stack_of;
  for (uint32_t id = graph.first_stack_node; id < graph.node_count; ++id) {
    if (graph.stack_node(id).depth < 0) stack_of[graph.stack_node(id).thread_id] = id;
  }
  std::vector<ThreadRow> rows;
  for (const ThreadEntry &thread : a.info.thread_list) {
    ThreadRow row;
    row.java_id = thread.java_id;
    row.name = thread.name;
    row.state = thread_state_name(thread.state);
    row.current = thread.java_id == current;
    auto stack = stack_of.find((uint64_t)thread.java_id);
    std::unordered_map<int32_t, uint64_t> frame_retained;
    if (stack != stack_of.end()) {
      row.stack = stack->second;
      row.retained = a.dominators.retained[row.stack];
      for (uint32_t id = row.stack + 1; id < graph.node_count && graph.stack_node(id).depth >= 0; ++id) {
        frame_retained[graph.stack_node(id).depth] = a.dominators.retained[id];
      }
    }
    for (size_t depth = 0; depth < thread.frames.size(); ++depth) {
      FrameRow frame;
      frame.depth = (int32_t)depth;
      parse_frame(thread.frames[depth], &frame);
      auto retained = frame_retained.find(frame.depth);
      if (retained != frame_retained.end()) frame.retained = retained->second;
      row.frames.push_back(std::move(frame));
    }
    rows.push_back(std::move(row));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const ThreadRow &x, const ThreadRow &y) {
    if (x.current != y.current) return x.current;
    if (x.retained != y.retained) return x.retained > y.retained;
    return x.java_id < y.java_id;
  });
  return rows;
}

bool held_by_a_stack(const Analysis &a, const Suspect &suspect) {
  uint32_t at = suspect.id;
  for (int steps = 0; at != 0 && at != Dominators::kUnreached && steps < 1 << 20; ++steps) {
    if (a.graph.is_stack_node(at)) return true;
    at = a.dominators.idom[at];
  }
  return false;
}

Verdict decide_verdict(const Analysis &a, const std::vector<Suspect> &suspects, const std::vector<ThreadRow> &threads,
                       double share) {
  Verdict verdict;
  uint64_t bar = std::max<uint64_t>(1, (uint64_t)((double)a.heap() * share));
  const ThreadRow *busiest = nullptr;
  for (const ThreadRow &thread : threads) {
    if (!busiest || thread.retained > busiest->retained) busiest = &thread;
  }
  int lasting = -1;  // the largest suspect that outlives the frames
  for (size_t i = 0; i < suspects.size() && lasting < 0; ++i) {
    if (!held_by_a_stack(a, suspects[i])) lasting = (int)i;
  }
  uint64_t lasting_bytes = lasting < 0 ? 0 : suspects[lasting].retained;
  uint64_t frames_bytes = busiest ? busiest->retained : 0;
  std::string most_frames = busiest && frames_bytes > 0
                                ? "the stack frames of thread \"" + busiest->name + "\" (id " +
                                      std::to_string(busiest->java_id) + ") hold " + percent(frames_bytes, a.heap())
                                : std::string("no thread's stack frames hold anything");
  if (frames_bytes >= bar && frames_bytes > lasting_bytes) {
    verdict.kind = Verdict::Kind::kSpike;
    verdict.thread = busiest->java_id;
    verdict.reason = most_frames + " of the heap, more than any holder that outlives them (" +
                     (lasting < 0 ? std::string("none retains ") + percent(bar, a.heap())
                                  : "the largest retains " + percent(lasting_bytes, a.heap())) +
                     "): one thread's work at that moment, not a leak";
  } else if (lasting >= 0 && lasting_bytes >= bar) {
    const Suspect &s = suspects[lasting];
    verdict.kind = Verdict::Kind::kLeak;
    verdict.suspect = lasting;
    std::string through = s.path.found ? " through a " + root_kind_name(s.path.root_kind) + " root" : std::string();
    verdict.reason = "suspect " + std::to_string(lasting + 1) + " (" + describe_suspect(a, s) + ") retains " +
                     percent(lasting_bytes, a.heap()) + " of the heap" + through + " and outlives any request; " +
                     most_frames + (frames_bytes > 0 ? " of it" : "");
  } else {
    verdict.reason = "no holder retains " + percent(bar, a.heap()) + " of the heap, and " + most_frames +
                     (frames_bytes > 0 ? " of it" : "");
  }
  return verdict;
}

}  // namespace snapshot_reader
