#!/usr/bin/env bash
# Snapshot benchmark: a JVM holding about three million objects takes requested snapshots; in the
# same JVM, the JVM's own heap dump (jcmd GC.heap_dump) and the cost floor of a bare tagging walk
# (../shared/bench/floor_agent.c, loaded with jcmd JVMTI.agent_load, which prints its walk and
# restore times) are measured for comparison. Snapshot and floor alternate for ROUNDS rounds
# (default 3) and the medians are compared, since the machine's cores are shared.
# Targets: snapshot walk + restore at most 1.25 x the floor's walk + restore (its round that writes
# records); graph at most 40% of the heap dump's size; the snapshot's stop-the-world time (walk and
# restore) at most 2 x the heap dump's time. Also printed: the floor's bare walk (its round that
# only numbers the objects, in an environment of its own with no tags yet) over the heap dump, the
# least that any walk which tags every object costs on this JVM, with no tag restored after it.
# Usage: bench/snapshot_bench.sh [-k DIR] [-x SCALE] [BUILD_DIR [ROUNDS]]   (default: build 3)
#   -x SCALE multiplies the heap's objects (10: about thirty million objects in the same 3 GB heap)
#   -k DIR keeps the last snapshot's oom_info.txt and oom_graph.bin in DIR, with the heap dump's time
#          and size in DIR/heap_dump.txt ("MILLISECONDS BYTES"), for bench/analysis_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
keep=""
scale=1
while getopts "k:x:h" option; do
  case "$option" in
    k) keep="$OPTARG" ;;
    x) scale="$OPTARG" ;;
    *) echo "usage: $0 [-k DIR] [-x SCALE] [BUILD_DIR [ROUNDS]]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build="$(cd "${1:-build}" && pwd)"
rounds="${2:-3}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
floor_source="${VORKEL_FLOOR_AGENT:-$(cd .. && pwd)/shared/bench/floor_agent.c}"
[ -f "$floor_source" ] || floor_source=/work/shared/bench/floor_agent.c

work="$(mktemp -d /tmp/vorkel-bench.XXXXXX)"
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home/lib" "$work/home/work" "$work/classes"
cp "$build/agent/lib/libvorkel.so" "$build/agent/lib/vorkel-agent.jar" "$work/home/lib/"
"$java_home/bin/javac" -d "$work/classes" -cp "$work/home/lib/vorkel-agent.jar" bench/SnapshotBenchHeap.java
gcc -shared -fPIC -O2 -I"$java_home/include" -I"$java_home/include/linux" -o "$work/floor_agent.so" "$floor_source"

"$java_home/bin/java" -Xmx3g -Xms3g -XX:+UseParallelGC \
  -agentpath:"$work/home/lib/libvorkel.so" \
  -javaagent:"$work/home/lib/vorkel-agent.jar=home=$work/home,work=$work/home/work,lib=$work/home/lib/libvorkel.so,notifications=false" \
  -cp "$work/classes:$work/home/lib/vorkel-agent.jar" SnapshotBenchHeap "$work/go" "$scale" >"$work/java.out" 2>&1 &
pid=$!
wait_for() {  # pattern file
  for _ in $(seq 1 1200); do
    grep -q "$1" "$2" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$work/java.out"; exit 1; }
    sleep 0.25
  done
  echo "timed out waiting for $1 in $2"; exit 1
}
wait_for '^ready' "$work/java.out"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
summary() { sed -n "s/^$2: //p" "$1"; }
: >"$work/rounds"
for round in $(seq 1 "$rounds"); do
  touch "$work/go.$round"
  wait_for "^snapshot $round " "$work/java.out"
  dir="$(ls -td "$work"/home/work/oom_* | head -1)"
  info="$dir/oom_info.txt"
  [ "$(cat "$dir/status.txt")" = "compressing 0" ] || { echo "snapshot $round is not valid"; exit 1; }
  dump_ms=$(summary "$info" "Dump STW time"); restore_ms=$(summary "$info" "Restore STW time")
  "$java_home/bin/jcmd" "$pid" JVMTI.agent_load "$work/floor_agent.so" "$work/floor.$round" >/dev/null
  for _ in $(seq 1 600); do [ "$(grep -c '^floor' "$work/floor.$round" 2>/dev/null || true)" -ge 2 ] && break; sleep 0.5; done
  bare_walk=$(sed -n 's/^floor round=0 .* walk_ms=\([0-9.]*\).*/\1/p' "$work/floor.$round")
  line=$(grep '^floor round=1' "$work/floor.$round")
  floor_walk=$(sed -n 's/.* walk_ms=\([0-9.]*\).*/\1/p' <<<"$line")
  floor_restore=$(sed -n 's/.* restore_ms=\([0-9.]*\).*/\1/p' <<<"$line")
  echo "$dump_ms $restore_ms $floor_walk $floor_restore $bare_walk" >>"$work/rounds"
  echo "Round $round: snapshot walk $dump_ms ms + restore $restore_ms ms; floor walk $floor_walk ms + restore $floor_restore ms, bare walk $bare_walk ms"
done
objects=$(summary "$info" "Object count"); references=$(summary "$info" "Reference count")
graph_bytes=$(stat -c %s "$dir/oom_graph.bin"); info_bytes=$(stat -c %s "$info")
if [ -x "$build/tools/snapshot-reader/snapshot-reader" ]; then
  "$build/tools/snapshot-reader/snapshot-reader" --top 5 "$dir" | head -3
fi

# The JVM's own heap dump of the same heap.
start_ns=$(date +%s%N)
"$java_home/bin/jcmd" "$pid" GC.heap_dump "$work/heap.hprof" >"$work/jcmd.out"
hprof_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
hprof_bytes=$(stat -c %s "$work/heap.hprof")
rm -f "$work/heap.hprof"
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "$dir/oom_info.txt" "$dir/oom_graph.bin" "$keep/"
  echo "$hprof_ms $hprof_bytes" >"$keep/heap_dump.txt"
  echo "Kept the last snapshot in $keep"
fi
touch "$work/go"
wait "$pid" || true
pid=

dump_ms=$(awk '{ print $1 }' "$work/rounds" | median); restore_ms=$(awk '{ print $2 }' "$work/rounds" | median)
floor_walk=$(awk '{ print $3 }' "$work/rounds" | median); floor_restore=$(awk '{ print $4 }' "$work/rounds" | median)
bare_walk=$(awk '{ print $5 }' "$work/rounds" | median)
echo "Snapshot: objects $objects, references $references"
echo "Dump STW time: $dump_ms ms (median of $rounds)"
echo "Restore STW time: $restore_ms ms (median of $rounds)"
echo "Graph bytes: $graph_bytes"
echo "Info bytes: $info_bytes"
echo "Heap dump (jcmd GC.heap_dump): $hprof_ms ms, $hprof_bytes bytes"
echo "Floor (round that writes records): walk $floor_walk ms, restore $floor_restore ms (median of $rounds)"
echo "Floor bare walk (numbers the objects only, fresh environment): $bare_walk ms (median of $rounds)"
awk -v d="$dump_ms" -v r="$restore_ms" -v fw="$floor_walk" -v fr="$floor_restore" -v g="$graph_bytes" -v h="$hprof_bytes" \
    -v hm="$hprof_ms" -v bw="$bare_walk" 'BEGIN {
  walk = (d + r) / (fw + fr); size = g / h;
  printf "Ratio walk+restore / floor walk+restore: %.2f (target <= 1.25: %s)\n", walk, walk <= 1.25 ? "met" : "missed";
  printf "Ratio graph / heap dump size: %.2f (target <= 0.40: %s)\n", size, size <= 0.40 ? "met" : "missed";
  pause = (d + r) / hm;
  printf "Ratio snapshot stop-the-world (walk + restore) / heap dump time: %.2f (target <= 2: %s)\n", pause, pause <= 2 ? "met" : "missed";
  printf "Ratio floor bare walk / heap dump time: %.2f (the least a walk that tags every object costs)\n", bw / hm;
}'
