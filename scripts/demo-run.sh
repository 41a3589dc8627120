#!/usr/bin/env bash
# The main job on an existing build (scripts/demo.sh builds first): a local collector, the leaking
# shop under the agent with a 64 MB heap, and what the agent made of it.
#   scripts/demo-run.sh [BUILD_DIR]      (VORKEL_DEMO_DIR keeps the run's files where you say)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
java=/usr/lib/jvm/java-17-openjdk-amd64/bin/java

run="${VORKEL_DEMO_DIR:-$(mktemp -d /tmp/vorkel-demo.XXXXXX)}"
mkdir -p "$run/agent/lib" "$run/uploads"
cp "$build"/agent/lib/libvorkel.so "$build"/agent/lib/vorkel-agent.jar "$run/agent/lib/"
work="$run/agent/work"

collector_pid=""
cleanup() { [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null || true; }
trap cleanup EXIT

echo "== Starting the local collector"
"$build"/tools/collector/vorkel-collector --store "$run/uploads" --port-file "$run/collector.port" \
  >"$run/collector.log" 2>&1 &
collector_pid=$!
for _ in $(seq 100); do [ -s "$run/collector.port" ] && break; sleep 0.1; done
port="$(cat "$run/collector.port")"
echo "collector on 127.0.0.1:$port, storing uploads in $run/uploads"

# --- File streams: the checkouts' catalogue and order log, counted inside their transactions ---
shop_files=(-Dvorkel.demo.dir="$run/shop")
file_stream_options=",filestreams=true"
# --- end of file streams ---

echo "== Running the shop with the agent and a 64 MB heap"
"$java" -Xmx64m -XX:ErrorFile="$run/hs_err_%p.log" "${shop_files[@]}" \
  -agentpath:"$run/agent/lib/libvorkel.so" \
  -javaagent:"$run/agent/lib/vorkel-agent.jar=host=127.0.0.1,port=$port,account=demo-account,jvm=shop-1,session=demo,details=$work$file_stream_options" \
  -cp "$build"/demo/vorkel-demo.jar vorkel.demo.LeakyShop | tee "$run/jvm.out"

echo "== Waiting for the uploader forks (the shop's own snapshot and the error's) and the exit monitor"
for _ in $(seq 600); do
  if [ "$(ls "$run/uploads"/*.tar.bz2 2>/dev/null | wc -l)" -ge 2 ] && grep -q "/shutdown/termination" "$run/collector.log"; then
    break
  fi
  sleep 0.1
done
sleep 0.5

echo
echo "== Notifications received by the collector, in order"
cat "$run/collector.log"

# Directories and archives are named by their start time: the error's snapshot comes last.
snapshot="$(ls -d "$work"/oom_* 2>/dev/null | tail -n 1 || true)"
echo
echo "== Snapshot directory ${snapshot:-(none)}"
[ -n "$snapshot" ] && ls -l "$snapshot" && echo "status: $(cat "$snapshot/status.txt")"

archive="$(ls "$run/uploads"/*.tar.bz2 2>/dev/null | tail -n 1 || true)"
first_archive="$(ls "$run/uploads"/*.tar.bz2 2>/dev/null | head -n 1 || true)"
echo
echo "== Archive received by the collector: ${archive:-(none)}"
if [ -z "$archive" ]; then
  echo "no archive arrived; the native log is in $run/agent/logs" >&2
  exit 1
fi
tar -tvjf "$archive"
unpacked="$run/unpacked"
mkdir -p "$unpacked"
tar -xjf "$archive" -C "$unpacked"

echo
echo "== Snapshot reader summary of the archive"
"$build"/tools/snapshot-reader/snapshot-reader --top 10 "$unpacked"

echo
echo "== Allocation points the shop followed, and the snapshot's summary (from oom_info.txt)"
sed -n '/^--- Allocation Points/,/^--- Classes/p' "$unpacked/oom_info.txt" | sed '$d'
sed -n '/^--- Summary/,/^--- End/p' "$unpacked/oom_info.txt"

# --- Leak suspects: what filled the heap, read straight from the archive ---
reader="$build"/tools/snapshot-reader/snapshot-reader
echo
echo "== Leak suspects of the snapshot (snapshot-reader suspects, on the archive)"
"$reader" suspects "$archive"
"$reader" report --html "$run/report.html" "$archive" >/dev/null
echo
echo "The whole analysis (suspects, dominator treemap, histogram, allocation points) as one page: $run/report.html"
# --- end of leak suspects ---

# --- Snapshot diff: what grew between the shop's own snapshot and the error's ---
if [ -n "$first_archive" ] && [ "$first_archive" != "$archive" ]; then
  echo
  echo "== What grew from the shop's snapshot after its first sessions to the error's (snapshot-reader diff)"
  "$reader" diff --top 5 "$first_archive" "$archive"
fi
# --- end of snapshot diff ---

echo
echo "Everything is kept in $run (native log in $run/agent/logs)."
