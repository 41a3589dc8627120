// What the suspects, threads and report commands tell, gathered once for their text, HTML and
// JSON forms.
#pragma once

#include <cstddef>
#include <vector>

#include "allocation_sites.h"
#include "analysis.h"
#include "reference_strength.h"
#include "threads.h"

namespace snapshot_reader {

struct Findings {
  double share = 0.10;            // the part of the heap that makes a suspect
  std::vector<Suspect> suspects;  // with their allocation sites
  std::vector<ThreadRow> threads;
  Verdict verdict;
  WeakReach weak;  // what only soft, weak, final or phantom references reach
};

// paths: distinct paths from the roots per suspect.
Findings gather_findings(const Analysis &analysis, double share, size_t paths);

}  // namespace snapshot_reader
