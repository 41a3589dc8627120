#!/usr/bin/env bash
# Analysis benchmark: the snapshot analyser on the snapshot of bench/snapshot_bench.sh (a heap of
# about three million objects, kept with its -k option), read from the directory and from a
# .tar.bz2 archive of it in alternating rounds. Per round and input, `snapshot-reader report --html`
# reports the time of reading, dominators and the HTML report and the peak memory (--stats); the
# medians are printed beside what jcmd GC.heap_dump took on the same heap, the time a user would
# otherwise spend just to get a dump to open.
# Targets: the whole analysis of the directory under 5 s; peak memory under 48 bytes per object
# plus 12 per reference.
# Usage: bench/analysis_bench.sh [-s SNAPSHOT_DIR] [BUILD_DIR [ROUNDS]]   (default: build 5)
#   -s uses a snapshot kept before with bench/snapshot_bench.sh -k SNAPSHOT_DIR instead of taking one
set -euo pipefail
cd "$(dirname "$0")/.."
snapshot=""
while getopts "s:h" option; do
  case "$option" in
    s) snapshot="$(cd "$OPTARG" && pwd)" ;;
    *) echo "usage: $0 [-s SNAPSHOT_DIR] [BUILD_DIR [ROUNDS]]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build="$(cd "${1:-build}" && pwd)"
rounds="${2:-5}"
reader="$build/tools/snapshot-reader/snapshot-reader"

work="$(mktemp -d /tmp/vorkel-analysis-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
if [ -z "$snapshot" ]; then
  echo "== Taking the snapshot (bench/snapshot_bench.sh, one round)"
  snapshot="$work/snapshot"
  bench/snapshot_bench.sh -k "$snapshot" "$build" 1 | sed 's/^/  /'
fi
for file in oom_info.txt oom_graph.bin heap_dump.txt; do
  [ -f "$snapshot/$file" ] || { echo "no $file in $snapshot (keep one with bench/snapshot_bench.sh -k DIR)" >&2; exit 1; }
done
archive="$work/snapshot.tar.bz2"
tar -cjf "$archive" -C "$snapshot" oom_info.txt oom_graph.bin

summary() { sed -n "s/^$1: //p" "$snapshot/oom_info.txt"; }
objects=$(summary "Object count")
references=$(summary "Reference count")
read -r dump_ms dump_bytes <"$snapshot/heap_dump.txt"
echo "Snapshot: $objects objects, $references references; graph $(stat -c %s "$snapshot/oom_graph.bin") bytes," \
  "archive $(stat -c %s "$archive") bytes"

# One analysis: "READING DOMINATORS REPORT PEAK_MB" from --stats.
analyse() {
  "$reader" report --stats --html "$work/report.html" "$1" 2>"$work/stats" >/dev/null
  awk '/^step / { t[$2] = $3; peak = $(NF - 1) } END { print t["reading"], t["dominators"], t["report"], peak }' \
    "$work/stats"
}
: >"$work/directory"
: >"$work/archive"
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then order="directory archive"; else order="archive directory"; fi
  for input in $order; do
    if [ "$input" = directory ]; then line="$(analyse "$snapshot")"; else line="$(analyse "$archive")"; fi
    echo "$line" >>"$work/$input"
    read -r reading dominators report peak <<<"$line"
    echo "Round $round, $input: reading $reading s, dominators $dominators s, report $report s, peak $peak MB"
  done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$2" '{ print $c }' "$work/$1" | median; }
for input in directory archive; do
  reading=$(column "$input" 1); dominators=$(column "$input" 2); report=$(column "$input" 3); peak=$(column "$input" 4)
  awk -v i="$input" -v r="$reading" -v d="$dominators" -v h="$report" -v p="$peak" -v o="$objects" \
      -v e="$references" -v dump="$dump_ms" -v n="$rounds" 'BEGIN {
    total = r + d + h; budget = (48 * o + 12 * e) / 1048576;
    printf "From the %s (medians of %d): reading %.2f s, dominators %.2f s, HTML report %.2f s, total %.2f s\n",
      i, n, r, d, h, total;
    printf "  peak memory %.1f MB; budget of 48 bytes per object and 12 per reference: %.1f MB\n", p, budget;
    printf "  analysis / jcmd GC.heap_dump (%d ms): %.2f\n", dump, total * 1000 / dump;
    if (i == "directory") {
      printf "  target whole analysis < 5 s: %s; target peak memory within budget: %s\n",
        total < 5 ? "met" : "missed", p <= budget ? "met" : "missed";
    }
  }'
done
echo "Heap dump of the same heap (jcmd GC.heap_dump, once): $dump_ms ms, $dump_bytes bytes"
