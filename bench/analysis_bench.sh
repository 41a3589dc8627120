#!/usr/bin/env bash
# Analysis benchmark: the snapshot analyser at scale.
#   1. The snapshot of bench/snapshot_bench.sh with its heap made SCALE times larger (-x, default
#      10: about thirty million objects in its 3 GB heap), kept with its -k option; analysed from
#      the directory (`snapshot-reader suspects`: reading, dominators, suspects with their paths,
#      sites, threads and verdict), and diffed against itself (`snapshot-reader diff`: both sides
#      analysed and profiled by site, class and dominator path, the work of two such snapshots).
#   2. A synthetic snapshot of OBJECTS objects (-y, default 100 million; 0 leaves it out) written by
#      the test generator (vorkel_synthetic_snapshot, no JVM), analysed the same way.
# Each round runs them one after the other, in an order that alternates between rounds; the
# medians of the wall time, the CPU time (user + system) and the peak memory (--stats) are printed
# beside the memory budget (48 bytes per object and 12 per reference) and beside what jcmd
# GC.heap_dump took on the same JVM heap. The machine's load average is printed with each round,
# since its two cores are shared.
# Targets: the analysis of the thirty-million-object snapshot under 10 s and within the budget;
# its diff under 15 s; the synthetic snapshot within the budget and the same time per object.
# Usage: bench/analysis_bench.sh [-s SNAPSHOT_DIR] [-x SCALE] [-y OBJECTS] [-a] [BUILD_DIR [ROUNDS]]
#   -s uses a snapshot kept before with bench/snapshot_bench.sh -k SNAPSHOT_DIR instead of taking one
#   -a also reads a .tar.bz2 archive of the snapshot in each round (bzip2 sets that pace)
#   defaults: build 3
set -euo pipefail
cd "$(dirname "$0")/.."
snapshot="" scale=10 synthetic_objects=100000000 archive_rounds=0
while getopts "s:x:y:ah" option; do
  case "$option" in
    s) snapshot="$(cd "$OPTARG" && pwd)" ;;
    x) scale="$OPTARG" ;;
    y) synthetic_objects="$OPTARG" ;;
    a) archive_rounds=1 ;;
    *) echo "usage: $0 [-s SNAPSHOT_DIR] [-x SCALE] [-y OBJECTS] [-a] [BUILD_DIR [ROUNDS]]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build="$(cd "${1:-build}" && pwd)"
rounds="${2:-3}"
reader="$build/tools/snapshot-reader/snapshot-reader"
generator="$build/tests/vorkel_synthetic_snapshot"

work="$(mktemp -d /tmp/vorkel-analysis-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
if [ -z "$snapshot" ]; then
  echo "== Taking the snapshot (bench/snapshot_bench.sh -x $scale, one round)"
  snapshot="$work/snapshot"
  bench/snapshot_bench.sh -k "$snapshot" -x "$scale" "$build" 1 | sed 's/^/  /'
fi
for file in oom_info.txt oom_graph.bin heap_dump.txt; do
  [ -f "$snapshot/$file" ] || { echo "no $file in $snapshot (keep one with bench/snapshot_bench.sh -k DIR)" >&2; exit 1; }
done
summary() { sed -n "s/^$2: //p" "$1/oom_info.txt"; }
read -r dump_ms dump_bytes <"$snapshot/heap_dump.txt"
echo "JVM snapshot: $(summary "$snapshot" "Object count") objects, $(summary "$snapshot" "Reference count") references;" \
  "graph $(stat -c %s "$snapshot/oom_graph.bin") bytes; jcmd GC.heap_dump of that heap: $dump_ms ms, $dump_bytes bytes"
inputs="analysis diff"
if [ "$archive_rounds" -eq 1 ]; then
  echo "== Packing the snapshot into an archive"
  tar -cjf "$work/snapshot.tar.bz2" -C "$snapshot" oom_info.txt oom_graph.bin
  inputs="$inputs archive"
fi
if [ "$synthetic_objects" -gt 0 ]; then
  echo "== Writing a synthetic snapshot of $synthetic_objects objects"
  mkdir -p "$work/synthetic"
  start_ns=$(date +%s%N)
  "$generator" "$work/synthetic" "$synthetic_objects" | sed 's/^/  /'
  echo "  written in $(( ($(date +%s%N) - start_ns) / 1000000 )) ms, graph $(stat -c %s "$work/synthetic/oom_graph.bin") bytes"
  inputs="$inputs synthetic"
fi

# One run: "WALL_S CPU_S PEAK_MB" (wall and CPU from /usr/bin/time, the peak from --stats).
measure() {
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$reader" "$@" --stats 2>"$work/stats" >/dev/null
  read -r wall user system <"$work/time"
  peak=$(awk '/^step / { peak = $(NF - 1) } END { print peak }' "$work/stats")
  awk -v w="$wall" -v u="$user" -v s="$system" -v p="$peak" 'BEGIN { printf "%.2f %.2f %.1f\n", w, u + s, p }'
}
run_input() {
  case "$1" in
    analysis) measure suspects "$snapshot" ;;
    diff) measure diff "$snapshot" "$snapshot" ;;
    archive) measure suspects "$work/snapshot.tar.bz2" ;;
    synthetic) measure suspects "$work/synthetic" ;;
  esac
}
for input in $inputs; do : >"$work/result.$input"; done
for round in $(seq 1 "$rounds"); do
  order="$inputs"
  [ $((round % 2)) -eq 0 ] && order="$(echo "$inputs" | tr ' ' '\n' | tac | tr '\n' ' ')"
  echo "Round $round (load average $(cut -d' ' -f1-3 /proc/loadavg)):"
  for input in $order; do
    line="$(run_input "$input")"
    echo "$line" >>"$work/result.$input"
    read -r wall cpu peak <<<"$line"
    echo "  $input: $wall s wall, $cpu s CPU, peak memory $peak MB"
  done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$2" '{ print $c }' "$work/result.$1" | median; }
report() {  # input title objects references target_s budget_objects budget_references [jvm]
  local wall cpu peak
  wall=$(column "$1" 1); cpu=$(column "$1" 2); peak=$(column "$1" 3)
  awk -v t="$2" -v w="$wall" -v c="$cpu" -v p="$peak" -v o="$3" -v e="$4" -v target="$5" -v bo="$6" -v be="$7" \
      -v dump="$dump_ms" -v n="$rounds" -v jvm="${8:-}" 'BEGIN {
    budget = (48 * bo + 12 * be) / 1048576;
    printf "%s (medians of %d): %.2f s wall, %.2f s CPU; peak memory %.1f MB, %.1f bytes per object read\n",
      t, n, w, c, p, p * 1048576 / bo;
    printf "  budget of 48 bytes per object and 12 per reference: %.1f MB (%s); target %.1f s: wall %s, CPU %s\n",
      budget, p <= budget ? "met" : "missed", target, w < target ? "met" : "missed", c < target ? "met" : "missed";
    if (jvm != "") printf "  wall time / jcmd GC.heap_dump of the same heap (%d ms): %.2f\n", dump, w * 1000 / dump;
  }'
}
objects=$(summary "$snapshot" "Object count"); references=$(summary "$snapshot" "Reference count")
per_object=$(awk -v o="$objects" 'BEGIN { print 10 / 30000000 * o }')  # 10 s for thirty million objects
report analysis "Analysis of the JVM snapshot" "$objects" "$references" 10 "$objects" "$references" jvm
report diff "Diff of it against itself (two snapshots at once)" "$objects" "$references" 15 \
  $((2 * objects)) $((2 * references)) jvm
if [ "$archive_rounds" -eq 1 ]; then
  report archive "Analysis from its archive" "$objects" "$references" "$per_object" "$objects" "$references" jvm
fi
if [ "$synthetic_objects" -gt 0 ]; then
  s_objects=$(summary "$work/synthetic" "Object count"); s_references=$(summary "$work/synthetic" "Reference count")
  s_target=$(awk -v o="$s_objects" 'BEGIN { print 10 / 30000000 * o }')
  report synthetic "Analysis of the synthetic snapshot ($s_objects objects, $s_references references)" \
    "$s_objects" "$s_references" "$s_target" "$s_objects" "$s_references"
fi
