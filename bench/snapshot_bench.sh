#!/usr/bin/env bash
# Snapshot benchmark: a JVM holding about three million objects takes one requested snapshot; then,
# in the same JVM, the JVM's own heap dump (jcmd GC.heap_dump) and the cost floor of a bare tagging
# walk (../shared/bench/floor_agent.c, loaded with jcmd JVMTI.agent_load) are measured for comparison.
# Targets: snapshot walk + restore at most 1.25 x the floor's walk + restore; graph at most 40% of
# the heap dump's size.
# Usage: bench/snapshot_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
floor_source="${VORKEL_FLOOR_AGENT:-$(cd .. && pwd)/shared/bench/floor_agent.c}"
[ -f "$floor_source" ] || floor_source=/work/shared/bench/floor_agent.c

work="$(mktemp -d /tmp/vorkel-bench.XXXXXX)"
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
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
  -cp "$work/classes:$work/home/lib/vorkel-agent.jar" SnapshotBenchHeap "$work/stop" >"$work/java.out" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  grep -q '^snapshot ' "$work/java.out" && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/java.out"; exit 1; }
  sleep 0.5
done
grep '^snapshot true' "$work/java.out" >/dev/null || { echo "no snapshot taken"; cat "$work/java.out"; exit 1; }
dir="$(ls -d "$work"/home/work/oom_* | head -1)"
info="$dir/oom_info.txt"
summary() { sed -n "s/^$1: //p" "$info"; }
objects=$(summary "Object count"); references=$(summary "Reference count")
dump_ms=$(summary "Dump STW time"); restore_ms=$(summary "Restore STW time")
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

# The floor: a bare tagging walk with a 13-byte record per reference, and the untagging pass.
"$java_home/bin/jcmd" "$pid" JVMTI.agent_load "$work/floor_agent.so" "$work/floor.out" >"$work/jcmd-floor.out"
for _ in $(seq 1 600); do [ "$(grep -c '^floor' "$work/floor.out" 2>/dev/null || true)" -ge 2 ] && break; sleep 0.5; done
floor_line=$(grep '^floor round=1' "$work/floor.out")
floor_walk=$(sed -n 's/.* walk_ms=\([0-9.]*\).*/\1/p' <<<"$floor_line")
floor_restore=$(sed -n 's/.* restore_ms=\([0-9.]*\).*/\1/p' <<<"$floor_line")
floor_objects=$(sed -n 's/.* objects=\([0-9]*\).*/\1/p' <<<"$floor_line")
touch "$work/stop"
wait "$pid" || true
pid=

echo "Snapshot: objects $objects, references $references"
echo "Dump STW time: $dump_ms ms"
echo "Restore STW time: $restore_ms ms"
echo "Graph bytes: $graph_bytes"
echo "Info bytes: $info_bytes"
echo "Heap dump (jcmd GC.heap_dump): $hprof_ms ms, $hprof_bytes bytes"
echo "Floor walk (round 1, with records): $floor_walk ms, restore $floor_restore ms, objects $floor_objects"
awk -v d="$dump_ms" -v r="$restore_ms" -v fw="$floor_walk" -v fr="$floor_restore" -v g="$graph_bytes" -v h="$hprof_bytes" 'BEGIN {
  walk = (d + r) / (fw + fr); size = g / h;
  printf "Ratio walk+restore / floor walk+restore: %.2f (target <= 1.25: %s)\n", walk, walk <= 1.25 ? "met" : "missed";
  printf "Ratio graph / heap dump size: %.2f (target <= 0.40: %s)\n", size, size <= 0.40 ? "met" : "missed";
}'
