// The threads of a snapshot with what their stack frames hold, the one that took the snapshot (the
// one that hit the error, for an OutOfMemoryError) first, and the verdict that tells a leak (a
// static or long-lived holder grew) from a spike (one thread's locals hold most of the heap).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"

namespace snapshot_reader {

struct FrameRow {
  int32_t depth = 0;
  std::string method;     // "vorkel.demo.Shop.main" (the stack line as written when it does not parse)
  int32_t line = -1;      // source line, -1 when unknown
  uint64_t retained = 0;  // what the locals of this frame alone keep alive
};

struct ThreadRow {
  int64_t java_id = 0;
  std::string name;
  std::string state;  // "RUNNABLE", "WAITING", ...
  bool current = false;
  uint32_t stack = 0;     // its stack node, 0 when no local of it is a root
  uint64_t retained = 0;  // what its stack frames alone keep alive, counted once
  std::vector<FrameRow> frames;
};

// Every listed thread, the current one first, then by what their frames retain.
std::vector<ThreadRow> thread_rows(const Analysis &analysis);

// The Java thread state of a JVMTI thread state ("RUNNABLE", "BLOCKED", "WAITING", "TIMED_WAITING",
// "NEW", "TERMINATED").
const char *thread_state_name(int jvmti_state);

struct Verdict {
  enum class Kind { kLeak, kSpike, kNone };
  Kind kind = Kind::kNone;
  std::string reason;  // one line
  int suspect = -1;    // for a leak: the suspect that tells it (index in the list)
  int64_t thread = 0;  // for a spike: the thread whose frames hold the most
};
const char *verdict_name(Verdict::Kind kind);  // "leak", "spike", "none"

// A spike when the frames of one thread hold at least share of the heap and more than any
// suspect that outlives them; else a leak when a suspect held by a static, a JNI global, a monitor
// or a thread object retains at least share; else none.
Verdict decide_verdict(const Analysis &analysis, const std::vector<Suspect> &suspects,
                       const std::vector<ThreadRow> &threads, double share);

// Whether a suspect lies in what a thread's stack holds (its dominator chain passes a stack node).
bool held_by_a_stack(const Analysis &analysis, const Suspect &suspect);

}  // namespace snapshot_reader
