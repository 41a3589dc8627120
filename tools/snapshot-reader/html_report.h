// The analysis as one self-contained HTML file (no network, no external scripts): the suspects, a
// treemap of the dominator tree that can be clicked into, the class histogram as a sortable table,
// the biggest objects and the allocation points joined to their live objects.
#pragma once

#include <string>

#include "analysis.h"

namespace snapshot_reader {

std::string html_report(const Analysis &analysis, const std::string &title, double share);
bool write_html_report(const Analysis &analysis, const std::string &title, const std::string &path, double share,
                       std::string *error);

}  // namespace snapshot_reader
