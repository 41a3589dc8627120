// The commands' --format json documents. Every document is one object that starts with
// "schema": "vorkel-snapshot-analysis" and "version" (kJsonSchemaVersion), then "command" and the
// snapshot's facts; field names are stable within a version (docs/snapshot-analysis.md), and the
// same snapshot gives byte-identical output, from its directory or from its archive.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "allocation_sites.h"
#include "analysis.h"
#include "findings.h"
#include "json_writer.h"
#include "snapshot_reader.h"

namespace snapshot_reader {

constexpr int kJsonSchemaVersion = 1;

// The CI gate's outcome, given when --fail-over or --fail-growth was.
struct GateResult {
  bool asked = false;
  bool crossed = false;
  std::string reason;
};

std::string json_summary(const Report &report, size_t top);
std::string json_histogram(const Analysis &analysis, const std::vector<ClassRow> &rows, size_t top,
                           const GateResult &gate);
std::string json_dominators(const Analysis &analysis, const std::vector<uint32_t> &ids, const GateResult &gate);
// command: "suspects" (verdict, current thread, suspects) or "threads" (verdict, every thread).
std::string json_findings(const Analysis &analysis, const Findings &findings, const std::string &command,
                          const GateResult &gate);
// Everything report --html shows.
std::string json_report(const Analysis &analysis, const Findings &findings, const std::vector<ClassRow> &histogram,
                        const std::vector<uint32_t> &dominators, const std::vector<AllocationRow> &allocations,
                        const GateResult &gate);

// Parts shared with the diff's document.
void json_header(JsonWriter &json, const std::string &command);
void json_snapshot_facts(JsonWriter &json, const InfoFile &info);
void json_gate(JsonWriter &json, const GateResult &gate);
// A path from a GC root: {"root": {"kind", "thread", "frame"}, "steps": [{"via", "id", "type", "retained"}]}.
void json_root_path(JsonWriter &json, const Analysis &analysis, const RootPath &path);

}  // namespace snapshot_reader
