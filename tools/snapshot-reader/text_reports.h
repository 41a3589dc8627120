// The analyser's text reports: histogram, dominators and suspects.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"

namespace snapshot_reader {

std::string human_bytes(uint64_t bytes);             // "58.4 MB"
std::string percent(uint64_t part, uint64_t whole);  // "92.1%"

std::string format_histogram(const Analysis &analysis, const std::vector<ClassRow> &rows, size_t top);
std::string format_dominators(const Analysis &analysis, const std::vector<uint32_t> &ids);
// share: the part of the heap that made a suspect (0.10 for 10%).
std::string format_suspects(const Analysis &analysis, const std::vector<Suspect> &suspects, double share);
// One line of a path: "class vorkel.demo.LeakyShop #19" or ".SESSION_CACHE -> java.util.HashMap #981".
std::string format_step(const Analysis &analysis, const PathStep &step);
std::string describe_suspect(const Analysis &analysis, const Suspect &suspect);  // "one java.util.HashMap #981"

}  // namespace snapshot_reader
