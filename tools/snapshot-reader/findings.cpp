#include "findings.h"

namespace snapshot_reader {

Findings gather_findings(const Analysis &analysis, double share, size_t paths) {
  Findings findings;
  findings.share = share;
  findings.suspects = find_suspects(analysis, share, paths);
  find_suspect_sites(analysis, &findings.suspects);
  findings.threads = thread_rows(analysis);
  findings.verdict = decide_verdict(analysis, findings.suspects, findings.threads, share);
  findings.weak = weak_reach(analysis.graph, analysis.dominators);
  return findings;
}

}  // namespace snapshot_reader
