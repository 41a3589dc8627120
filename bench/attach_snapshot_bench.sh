#!/usr/bin/env bash
# vorkel snapshot beside jcmd GC.heap_dump on the snapshot benchmark's heap (bench/SnapshotBenchHeap.java,
# about three million objects), as a user runs them against a JVM started without any agent: the
# first vorkel snapshot loads the agent, then ROUNDS rounds (default 3) take one snapshot with each
# command, in alternating order, and the medians of their wall times are compared, with the sizes
# of what each leaves on disk. vorkel's time is the whole command (attach request, snapshot, copy
# to --out, summary and leak suspects); "in the JVM" is the snapshot request alone, as vorkel
# reports it (the rest is the request, the copy and the analysis).
# Usage: bench/attach_snapshot_bench.sh [BUILD_DIR [ROUNDS]]   (default: build 3; JAVA_HOME picks the JVM)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
rounds="${2:-3}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
vorkel="$build/tools/vorkel/vorkel"
[ -x "$vorkel" ] || { echo "no $vorkel: build the target vorkel_home first" >&2; exit 1; }

work="$(mktemp -d /var/tmp/vorkel-attach-bench.XXXXXX)"
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home/lib" "$work/classes"
cp "$build/agent/lib/libvorkel.so" "$build/agent/lib/vorkel-agent.jar" "$work/home/lib/"
"$java_home/bin/javac" -d "$work/classes" -cp "$work/home/lib/vorkel-agent.jar" bench/SnapshotBenchHeap.java
# The feature number of the JDK: "17" of java.version "17.0.15", "25" of "25.0.3".
major=$("$java_home/bin/java" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java\.version = //p')
flags=()
[ "${major%%.*}" -ge 21 ] && flags+=(-XX:+EnableDynamicAgentLoading)
"$java_home/bin/java" -Xmx3g -Xms3g -XX:+UseParallelGC "${flags[@]}" \
  -cp "$work/classes:$work/home/lib/vorkel-agent.jar" SnapshotBenchHeap "$work/go" >"$work/java.out" 2>&1 &
pid=$!
for _ in $(seq 1 1200); do
  grep -q '^ready' "$work/java.out" && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/java.out"; exit 1; }
  sleep 0.25
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# One vorkel snapshot: "WALL_MS JVM_MS BYTES" (bytes: the copied snapshot's files).
vorkel_round() {
  local out="$work/out.$1" start end
  mkdir -p "$out"
  start=$(now_ms)
  "$vorkel" snapshot "$pid" --out "$out" --home "$work/home" >"$work/vorkel.$1.out" 2>&1 ||
    { cat "$work/vorkel.$1.out"; exit 1; }
  end=$(now_ms)
  local in_jvm bytes
  in_jvm=$(sed -n 's/^Snapshot of process [0-9]* taken in \([0-9.]*\) s.*/\1/p' "$work/vorkel.$1.out" |
    awk '{ printf "%d", $1 * 1000 }')
  bytes=$(du -sb "$out"/oom_* | awk '{ print $1 }')
  echo "$((end - start)) $in_jvm $bytes"
  rm -rf "$out"
  wait_for_fork
}

# The agent's uploader fork packs each snapshot: the next round waits for its archive, so that the
# packing does not run beside the next measurement.
wait_for_fork() {
  local newest
  newest=$(ls -d "$work"/home/work/oom_* | sort | tail -1)
  for _ in $(seq 1 480); do
    [ -f "$newest/$(basename "$newest").tar.bz2" ] && return 0
    sleep 0.25
  done
}

# One heap dump: "WALL_MS BYTES".
jcmd_round() {
  local file="$work/heap.$1.hprof" start end
  start=$(now_ms)
  "$java_home/bin/jcmd" "$pid" GC.heap_dump "$file" >"$work/jcmd.$1.out"
  end=$(now_ms)
  echo "$((end - start)) $(stat -c %s "$file")"
  rm -f "$file"
}

first=$(vorkel_round 0)
echo "First vorkel snapshot, with the attach: $(awk '{ print $1 }' <<<"$first") ms"
: >"$work/vorkel.rounds"
: >"$work/jcmd.rounds"
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    vorkel_round "$round" >>"$work/vorkel.rounds"
    jcmd_round "$round" >>"$work/jcmd.rounds"
  else
    jcmd_round "$round" >>"$work/jcmd.rounds"
    vorkel_round "$round" >>"$work/vorkel.rounds"
  fi
  echo "Round $round: vorkel snapshot $(tail -1 "$work/vorkel.rounds" | awk '{ print $1 " ms (in the JVM " $2 " ms)" }')," \
    "jcmd GC.heap_dump $(tail -1 "$work/jcmd.rounds" | awk '{ print $1 " ms" }')"
done
# The archive the agent's uploader fork packed of the last snapshot.
archive=$(ls "$work"/home/work/oom_*/oom_*.tar.bz2 2>/dev/null | sort | tail -1 || true)
archive_bytes=$([ -n "$archive" ] && stat -c %s "$archive" || echo 0)
touch "$work/go"
wait "$pid" || true
pid=

vorkel_ms=$(awk '{ print $1 }' "$work/vorkel.rounds" | median)
in_jvm_ms=$(awk '{ print $2 }' "$work/vorkel.rounds" | median)
snapshot_bytes=$(awk '{ print $3 }' "$work/vorkel.rounds" | median)
jcmd_ms=$(awk '{ print $1 }' "$work/jcmd.rounds" | median)
hprof_bytes=$(awk '{ print $2 }' "$work/jcmd.rounds" | median)
sed -n 's/^Objects: /Objects: /p' "$work/vorkel.1.out" 2>/dev/null || true
printf "%-28s %12s %16s\n" "" "time (ms)" "size (bytes)"
printf "%-28s %12s %16s\n" "vorkel snapshot" "$vorkel_ms" "$snapshot_bytes"
printf "%-28s %12s %16s\n" "  of it in the JVM" "$in_jvm_ms" ""
printf "%-28s %12s %16s\n" "  copy, summary, suspects" "$(awk -v v="$vorkel_ms" -v j="$in_jvm_ms" 'BEGIN { print v - j }')" ""
printf "%-28s %12s %16s\n" "  snapshot archive (.tar.bz2)" "" "$archive_bytes"
printf "%-28s %12s %16s\n" "jcmd GC.heap_dump" "$jcmd_ms" "$hprof_bytes"
awk -v v="$vorkel_ms" -v j="$jcmd_ms" -v s="$snapshot_bytes" -v h="$hprof_bytes" -v a="$archive_bytes" 'BEGIN {
  printf "Ratio vorkel snapshot / heap dump: time %.2f, size %.2f", v / j, s / h;
  if (a > 0) printf " (archive %.3f)", a / h;
  printf " (medians of the rounds)\n";
}'
