// The diff command's text and JSON forms.
#pragma once

#include <cstddef>
#include <string>

#include "json_reports.h"
#include "snapshot_diff.h"

namespace snapshot_reader {

// old_name and new_name: what the user named the two snapshots.
std::string format_diff(const SnapshotDiff &diff, const std::string &old_name, const std::string &new_name, size_t top);
std::string json_diff(const SnapshotDiff &diff, size_t top, const GateResult &gate);

}  // namespace snapshot_reader
