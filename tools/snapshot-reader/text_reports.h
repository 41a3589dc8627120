// The analyser's text reports: histogram, dominators and suspects.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"
#include "findings.h"

namespace snapshot_reader {

std::string human_bytes(uint64_t bytes);             // "58.4 MB"
std::string percent(uint64_t part, uint64_t whole);  // "92.1%"

std::string format_histogram(const Analysis &analysis, const std::vector<ClassRow> &rows, size_t top);
std::string format_dominators(const Analysis &analysis, const std::vector<uint32_t> &ids);
// share: the part of the heap that made a suspect (0.10 for 10%).
std::string format_suspects(const Analysis &analysis, const std::vector<Suspect> &suspects, double share);
// The verdict, the thread that took the snapshot with its frames, what only weaker references
// reach, then the suspects with their allocation sites.
std::string format_findings(const Analysis &analysis, const Findings &findings);
// Every thread, the one that took the snapshot first, with what each of its frames holds.
std::string format_threads(const Analysis &analysis, const std::vector<ThreadRow> &threads);
std::string format_verdict(const Verdict &verdict);  // "Verdict: leak: ..."
// One thread's header and up to max_frames of its frames.
std::string format_thread(const Analysis &analysis, const ThreadRow &thread, size_t max_frames);
// One line of a path: "class vorkel.demo.LeakyShop #19" or ".SESSION_CACHE -> java.util.HashMap #981".
std::string format_step(const Analysis &analysis, const PathStep &step);
std::string describe_suspect(const Analysis &analysis, const Suspect &suspect);  // "one java.util.HashMap #981"

}  // namespace snapshot_reader
