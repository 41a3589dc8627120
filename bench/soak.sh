#!/usr/bin/env bash
# Soak: one JVM takes many requested snapshots while four threads keep recording statistics and
# four run transactions with file I/O and lock contention (tests/java/vorkel/test/SoakScenarios.java).
# Prints the curve of the JVM's resident memory, open descriptors, threads and children every
# EVERY snapshots, then checks every snapshot with the snapshot reader and gives a verdict:
#
#   - every snapshot directory is complete ("compressing 0") and the reader finds its graph and
#     info file consistent, and each was uploaded to the collector;
#   - the statistics counts and tags around every snapshot and at every sample are exact;
#   - after warm-up, RSS, descriptors and threads come back to their level at the end (once every
#     child has ended), and no child is left, running or zombie.
#
#   bench/soak.sh [-k] [SNAPSHOTS [EVERY [MAX_CHILDREN]]]     (defaults 200, 10, 3)
#
# The uploader forks are real JVMs posting to a real loopback collector (vorkel-collector); the
# driver waits before each snapshot while MAX_CHILDREN or more children still run, so that forks do
# not pile up. -k keeps the agent home (snapshots, logs, collector output) and prints where.
# JAVA_HOME picks the JVM (default JDK 17); VORKEL_BUILD_DIR the build (default build/).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
java="$java_home/bin/java"
testkit="$build/testkit/libvorkel_testkit.so"
tests_jar="$build/testkit/vorkel-tests.jar"
agent_jar="$build/agent/lib/vorkel-agent.jar"
collector="$build/tools/collector/vorkel-collector"
reader="$build/tools/snapshot-reader/snapshot-reader"

keep=0
if [ "${1:-}" = "-k" ]; then
  keep=1
  shift
fi
snapshots="${1:-200}"
every="${2:-10}"
max_children="${3:-3}"

for file in "$testkit" "$tests_jar" "$agent_jar" "$java" "$collector" "$reader"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

home="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-soak.XXXXXX")"
collector_pid=""
cleanup() {
  if [ -n "$collector_pid" ]; then kill "$collector_pid" 2>/dev/null || true; wait "$collector_pid" 2>/dev/null || true; fi
  if [ "$keep" = 1 ]; then echo "kept: $home"; else rm -rf "$home"; fi
}
trap cleanup EXIT
mkdir -p "$home/lib" "$home/work" "$home/store"
cp "$testkit" "$home/lib/libvorkel.so"
cp "$agent_jar" "$home/lib/vorkel-agent.jar"
cp "$tests_jar" "$home/vorkel-tests.jar"  # a rebuild while the soak runs leaves this JVM alone

"$collector" --port 0 --port-file "$home/collector.port" --store "$home/store" >"$home/collector.out" 2>&1 &
collector_pid=$!
for _ in $(seq 100); do [ -s "$home/collector.port" ] && break; sleep 0.05; done
port="$(cat "$home/collector.port")"

# The uploader forks start light: they only pack one snapshot and post it.
forkargs="-Xshare:auto;-XX:TieredStopAtLevel=1;-XX:+UseSerialGC"
options="home=$home,work=$home/work,lib=$home/lib/libvorkel.so,host=127.0.0.1,port=$port,filestreams=true"
started=$(date +%s)
set +e
nice "$java" -Xms96m -Xmx96m -XX:+AlwaysPreTouch -agentpath:"$home/lib/libvorkel.so" \
  -javaagent:"$home/lib/vorkel-agent.jar=$options,forkargs=$forkargs" \
  -cp "$home/vorkel-tests.jar:$home/lib/vorkel-agent.jar" vorkel.test.Scenarios SoakScenarios.soak \
  "$snapshots" "$every" "$max_children" "$home/work" >"$home/jvm.out" 2>"$home/jvm.err"
jvm_exit=$?
set -e
seconds=$(($(date +%s) - started))

result() { sed -n "s/^RESULT $1=//p" "$home/jvm.out" | tail -1; }
echo "soak: $snapshots requested snapshots in ${seconds}s on $("$java" -version 2>&1 | head -1)"
echo
printf '%6s %10s %6s %8s %9s %8s %12s %12s %12s\n' n rss_kb fds threads children zombies live_tagged stats_bytes snapshot_ms
sed -n 's/^CURVE //p' "$home/jvm.out" | awk -v last="$((snapshots + 1))" '{
  for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
  label = v["n"] == last ? "end" : v["n"]
  printf "%6s %10s %6s %8s %9s %8s %12s %12s %12s\n", label, v["rss_kb"], v["fds"], v["threads"], v["children"],
         v["zombies"], v["live_tagged"], v["stats_bytes"], v["snapshot_ms"]
}'
echo

failures=()
[ "$jvm_exit" = 0 ] || failures+=("the JVM exited with $jvm_exit (see $home/jvm.err)")
for key in missing_directories kept_mismatches sample_mismatches failures refused children_inheriting end_children \
  end_zombies; do
  value="$(result "$key")"
  [ "$value" = 0 ] || failures+=("$key=${value:-none}")
done
[ "$(result reports_sent)" = true ] || failures+=("transaction reports not all sent")
[ "$(result children_seen)" -gt 0 ] 2>/dev/null || failures+=("no child was seen running")
if [ "$(result failures)" != 0 ]; then failures+=("first failure: $(result first_failure)"); fi

# Every snapshot: complete, consistent by the reader, uploaded.
dirs=("$home"/work/oom_*)
valid=0
uploaded=0
for dir in "${dirs[@]}"; do
  [ -d "$dir" ] || continue
  if [ "$(cat "$dir/status.txt" 2>/dev/null)" = "compressing 0" ] && "$reader" summary "$dir" >/dev/null 2>&1; then
    valid=$((valid + 1))
  else
    failures+=("$(basename "$dir") is not consistent")
  fi
  [ -e "$dir/upload.done" ] && uploaded=$((uploaded + 1))
done
[ "${#dirs[@]}" = "$snapshots" ] || failures+=("${#dirs[@]} snapshot directories, expected $snapshots")
[ "$uploaded" = "$snapshots" ] || failures+=("$uploaded of $snapshots snapshots uploaded")
notified=$(grep -c '/oom/notification' "$home/collector.out" || true)
uploads=$(grep -c '/oom/upload' "$home/collector.out" || true)
reports=$(grep -c '/transaction/report' "$home/collector.out" || true)

# Level after warm-up (the first quarter): the sample there against the end (every child gone).
warmup=$(((snapshots / 4 + every - 1) / every * every))
read -r base_rss base_fds base_threads < <(sed -n "s/^CURVE n=$warmup rss_kb=\([0-9]*\) fds=\([0-9]*\) threads=\([0-9]*\).*/\1 \2 \3/p" "$home/jvm.out")
read -r end_rss end_fds end_threads < <(sed -n "s/^CURVE n=$((snapshots + 1)) rss_kb=\([0-9]*\) fds=\([0-9]*\) threads=\([0-9]*\).*/\1 \2 \3/p" "$home/jvm.out")
# RSS slope after warm-up (least squares over the samples, kB per snapshot).
slope=$(sed -n 's/^CURVE n=\([0-9]*\) rss_kb=\([0-9]*\).*/\1 \2/p' "$home/jvm.out" |
  awk -v w="$warmup" -v last="$((snapshots + 1))" '$1 >= w && $1 < last { n++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2 }
    END { d = n * sxx - sx * sx; printf "%.1f", (d > 0 ? (n * sxy - sx * sy) / d : 0) }')
if [ -n "${base_rss:-}" ] && [ -n "${end_rss:-}" ]; then
  rss_growth=$((end_rss - base_rss))
  # Tolerances: a few descriptors and threads for the JVM's own pools, 16 MB of resident memory.
  [ $((end_fds - base_fds)) -le 2 ] || failures+=("descriptors grew from $base_fds to $end_fds")
  [ $((end_threads - base_threads)) -le 3 ] || failures+=("threads grew from $base_threads to $end_threads")
  [ "$rss_growth" -le 16384 ] || failures+=("RSS grew by $rss_growth kB after warm-up")
else
  failures+=("no curve samples at n=$warmup and at the end")
  rss_growth="?"
fi

echo "snapshots: $valid of $snapshots consistent by the snapshot reader, $uploaded uploaded;" \
  "collector: $notified notifications, $uploads uploads, $reports transaction reports"
echo "statistics: $(result recorded) recorded, kept counts changed around $(result kept_mismatches) snapshots," \
  "$(result sample_mismatches) samples off; transactions: $(result transactions) ($(result long_holds) long holds)"
echo "snapshot time: mean $(result snapshot_ms_mean) ms, max $(result snapshot_ms_max) ms; waited for children $(result gate_ms) ms"
echo "after warm-up (n=$warmup) to the end: RSS ${base_rss:-?} -> ${end_rss:-?} kB ($rss_growth kB, slope $slope kB/snapshot)," \
  "fds ${base_fds:-?} -> ${end_fds:-?}, threads ${base_threads:-?} -> ${end_threads:-?};" \
  "children left $(result end_children), zombies $(result end_zombies)"
echo "children: $(result children_seen) seen running, $(result children_inheriting) holding a descriptor of the JVM" \
  "(a file it keeps open without close-on-exec)"
if [ "${#failures[@]}" = 0 ]; then
  echo "verdict: PASS"
else
  echo "verdict: FAIL"
  printf '  - %s\n' "${failures[@]}"
  keep=1
  exit 1
fi
