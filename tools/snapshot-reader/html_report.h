// The analysis as one self-contained HTML file (no network, no external scripts): the verdict, the
// suspects with their allocation sites, a treemap of the dominator tree that can be clicked into,
// the threads with what their frames hold, the class histogram as a sortable table, the biggest
// objects and the allocation points joined to their live objects.
#pragma once

#include <string>

#include "analysis.h"
#include "findings.h"

namespace snapshot_reader {

std::string html_report(const Analysis &analysis, const std::string &title, const Findings &findings);
bool write_html_report(const Analysis &analysis, const std::string &title, const Findings &findings,
                       const std::string &path, std::string *error);

}  // namespace snapshot_reader
