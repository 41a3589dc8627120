#!/usr/bin/env bash
# Throughput of a virtual-thread server workload (a request per virtual thread, IN_FLIGHT of them
# at a time: short critical sections on shared monitors, a 4 KiB file read, a 1 ms sleep; see
# bench/VirtualThreadBench.java) in JVMs of their own, one per configuration and round:
#   none          no agent;
#   agent         the agent with file-stream tracking, transactions not followed
#                 (transactions=false: Transactions.run only runs the request);
#   transactions  the same with every request a transaction: contention probe, file streams and
#                 timings per request, blocker detection every 50 ms;
#   floor         no vorkel agent but the benchmark's floor agent (virtual_thread_floor_agent.cpp):
#                 the monitor events enabled, and a record stored in and cleared from each request's
#                 thread-local storage, the least that following virtual threads through JVMTI asks;
# with FLOOR_PARTS=1 three more, the floor agent with only the monitor events ("floor_events"),
# only the thread-local storage ("floor_storage"), or the events with the record filed under the
# thread's id in a table of the agent's own instead of the thread-local storage ("floor_keyed");
# with BEFORE=BUILD_DIR one more, "before": transactions with that build's library and agent jar
# (a change against the build before it, in the same rounds); and with CAPABILITY=1 two more, to
# tell what the JVMTI capability can_support_virtual_threads (which the agent does without) would
# cost: transactions plus a second agent that only asks for it ("capability"), or asks for it and
# enables VirtualThreadStart/End ("capability_events").
# Each round runs every configuration once, in an order that turns from round to round; printed
# are the medians of the rounds and the medians of the per-round ratios to "none" (target:
# transactions/none at least 0.95), both for requests per second and per second of the JVM's CPU
# time (which other load on a shared machine disturbs less), and, for the transaction runs, the
# safepoints and handshakes that blocker detection caused (-Xlog:safepoint, -Xlog:handshake).
# A last JVM with the test kit's library measures what one look-up of the calling thread's
# transaction costs (the probes' look-up in every hooked file operation and contended monitor
# entry) on a platform thread and on virtual threads outside and inside transactions.
#
#   bench/virtual_thread_bench.sh [ROUNDS [IN_FLIGHT [MONITORS [WARMUP_MS [MEASURE_MS]]]]]
#
# Defaults: 7 rounds of 2000 requests in flight on 8 monitors, 3000 ms warm-up and 4000 ms measured
# per JVM. JAVA_HOME selects the JDK (default the JDK 25; 21 at least); needs a build (cmake --build
# build, with the test kit) and a C++ compiler (the floor agent, CAPABILITY=1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/temurin-25-jdk-amd64}"
rounds="${1:-7}" in_flight="${2:-2000}" monitors="${3:-8}" warmup="${4:-3000}" measure="${5:-4000}"
library="$build/agent/lib/libvorkel.so"
agent_jar="$build/agent/lib/vorkel-agent.jar"
testkit="$build/testkit/libvorkel_testkit.so"
tests_jar="$build/testkit/vorkel-tests.jar"
for file in "$library" "$agent_jar" "$testkit" "$tests_jar" "$java_home/bin/java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

home="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-virtual-thread-bench.XXXXXX")"
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/lib" "$home/work" "$home/classes" "$home/files"
cp "$library" "$agent_jar" "$home/lib/"
"$java_home/bin/javac" -d "$home/classes" -cp "$home/lib/vorkel-agent.jar" "$root/bench/VirtualThreadBench.java"

configs=(none agent transactions floor)
"${CXX:-c++}" -O2 -shared -fPIC -I"$java_home/include" -I"$java_home/include/linux" \
  -o "$home/lib/libfloor.so" "$root/bench/virtual_thread_floor_agent.cpp"
[ "${FLOOR_PARTS:-0}" = 1 ] && configs+=(floor_events floor_storage floor_keyed)
if [ -n "${BEFORE:-}" ]; then
  configs+=(before)
  mkdir -p "$home/before"
  cp "$BEFORE/agent/lib/libvorkel.so" "$BEFORE/agent/lib/vorkel-agent.jar" "$home/before/"
fi
if [ "${CAPABILITY:-0}" = 1 ]; then
  configs+=(capability capability_events)
  "${CXX:-c++}" -O2 -shared -fPIC -I"$java_home/include" -I"$java_home/include/linux" \
    -o "$home/lib/libcapability.so" "$root/bench/virtual_thread_capability_agent.cpp"
fi
declare -A results
run() {  # config -> "requests per second, per CPU second"
  local agent=(-agentpath:"$home/lib/libvorkel.so" -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,notifications=false,filestreams=true")
  local logs=(-Xlog:safepoint=info,handshake=info:file="$home/vm.log")
  local flags=()
  case "$1" in
    agent) flags=("${agent[@]/%filestreams=true/filestreams=true,transactions=false}") ;;
    transactions) flags=("${agent[@]}" "${logs[@]}") ;;
    floor) flags=(-agentpath:"$home/lib/libfloor.so" -Dvorkel.bench.floor=true) ;;
    floor_events|floor_storage|floor_keyed) flags=(-agentpath:"$home/lib/libfloor.so=${1#floor_}" -Dvorkel.bench.floor=true) ;;
    before) flags=("${agent[@]//$home\/lib\//$home/before/}" "${logs[@]}") ;;
    capability) flags=(-agentpath:"$home/lib/libcapability.so" "${agent[@]}") ;;
    capability_events) flags=(-agentpath:"$home/lib/libcapability.so=events" "${agent[@]}") ;;
  esac
  local line jars="$home/lib"
  [ "$1" = before ] && jars="$home/before"
  line="$("$java_home/bin/java" "${flags[@]}" -cp "$home/classes:$jars/vorkel-agent.jar" \
    VirtualThreadBench "$in_flight" "$monitors" "$warmup" "$measure" "$home/files" 2>"$home/stderr" | grep '^RESULT ')" || {
    echo "the $1 run failed:" >&2; cat "$home/stderr" >&2; exit 1; }
  line="${line#RESULT requests_per_s=}"
  local cpu="${line#* requests_per_cpu_s=}"
  echo "${line%% *} ${cpu%% *}"
}

# What blocker detection made the JVM do in the last transactions run, per second of the run:
# "safepoints milliseconds handshakes" (GetObjectMonitorUsage stops the world; the owned monitors
# of a virtual thread are read in a handshake).
detection_cost() {
  awk -v seconds="$(((warmup + measure)))e-3" '
    /"GetObjectMonitorUsage"/ { n++; for (i = 1; i < NF; i++) if ($i == "Total:") ns += $(i + 1) }
    /[Hh]andshake/ && /OwnedMonitor/ { h++ }
    END { printf "%.1f %.2f %.1f\n", n / seconds, ns / 1e6 / seconds, h / seconds }' "$home/vm.log"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

count=${#configs[@]}
echo "virtual-thread requests: $in_flight in flight on $monitors monitors, $rounds rounds of ${measure} ms (after ${warmup} ms)," \
  "$("$java_home/bin/java" -version 2>&1 | head -n 1)"
for ((round = 0; round < rounds; round++)); do
  line="round $((round + 1)):"
  declare -A this=() this_cpu=()
  for ((i = 0; i < count; i++)); do
    config="${configs[(round + i) % count]}"
    read -r this[$config] this_cpu[$config] <<<"$(run "$config")"
    results[$config]+="${this[$config]} " results[$config.cpu]+="${this_cpu[$config]} "
    line+="  $config ${this[$config]}/s ${this_cpu[$config]}/cpu-s"
    if [ "$config" = transactions ]; then
      read -r safepoints millis handshakes <<<"$(detection_cost)"
      results[safepoints]+="$safepoints " results[safepoint_ms]+="$millis " results[handshakes]+="$handshakes "
      line+=" [detection: $safepoints safepoints/s, $millis ms/s, $handshakes handshakes/s]"
    fi
  done
  for config in "${configs[@]}"; do
    results[$config.ratio]+="$(awk -v a="${this[$config]}" -v b="${this[none]}" 'BEGIN { printf "%.4f", a / b }') "
    results[$config.cpu_ratio]+="$(awk -v a="${this_cpu[$config]}" -v b="${this_cpu[none]}" 'BEGIN { printf "%.4f", a / b }') "
  done
  echo "$line"
done

echo "medians over the rounds; ratios are the medians of the per-round ratios to none:"
for config in "${configs[@]}"; do
  # shellcheck disable=SC2086
  printf '  %-17s %8.0f requests/s (ratio %.3f)   %8.0f requests/cpu-s (ratio %.3f)\n' "$config" \
    "$(median ${results[$config]})" "$(median ${results[$config.ratio]})" \
    "$(median ${results[$config.cpu]})" "$(median ${results[$config.cpu_ratio]})"
done
# shellcheck disable=SC2086
echo "detection in the transactions runs: $(median ${results[safepoints]}) safepoints/s," \
  "$(median ${results[safepoint_ms]}) ms/s stopped, $(median ${results[handshakes]}) handshakes/s"
echo "target: transactions/none at least 0.95; the JVM's part alone: floor/none"

mkdir -p "$home/testkit"
cp "$testkit" "$home/testkit/libvorkel.so"
lookups="$("$java_home/bin/java" -agentpath:"$home/testkit/libvorkel.so" \
  -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,notifications=false,transactions=false" \
  -cp "$home/classes:$tests_jar:$home/lib/vorkel-agent.jar" VirtualThreadBench lookups 2>"$home/stderr" | grep '^RESULT ')" || {
  echo "the look-up run failed:" >&2; cat "$home/stderr" >&2; exit 1; }
read -r platform virtual while_inside inside <<<"$(echo "${lookups#RESULT }" | sed 's/[a-z_]*=//g')"
echo "one look-up of the calling thread's transaction: platform thread ${platform} ns, virtual thread outside" \
  "${virtual} ns (no virtual thread inside a transaction), ${while_inside} ns (one is), inside ${inside} ns"
