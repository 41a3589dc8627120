#!/usr/bin/env bash
# Throughput of a contended-monitor workload (threads inside transactions, short critical
# sections; see bench/ContentionBench.java) in three configurations, each in JVMs of its own:
#   none   no agent;
#   agent  the agent with transactions followed: contention probe enabled, blocker detection every
#          50 ms while a transaction is open;
#   jfr    no agent, a flight recording of jdk.JavaMonitorEnter only, threshold 20 ms, stacks on
#          (bench/contention.jfc).
# Each round runs the three once, in an order that turns from round to round; the medians of the
# rounds and their ratios are printed (targets: agent/none at least 0.95, agent/jfr at least 1),
# with the safepoints that blocker detection caused in the agent's runs (-Xlog:safepoint).
#
#   bench/contention_bench.sh [ROUNDS [THREADS [MONITORS [WARMUP_MS [MEASURE_MS]]]]]
#
# Defaults: 7 rounds of 8 threads on 4 monitors, 2000 ms warm-up and 3000 ms measured per JVM;
# INSIDE and OUTSIDE (100 and 300) set the work inside and between critical sections. JAVA_HOME
# selects the JDK (default the JDK 17); needs a build (cmake --build build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
rounds="${1:-7}" threads="${2:-8}" monitors="${3:-4}" warmup="${4:-2000}" measure="${5:-3000}"
inside="${INSIDE:-100}" outside="${OUTSIDE:-300}"
library="$build/agent/lib/libvorkel.so"
agent_jar="$build/agent/lib/vorkel-agent.jar"
for file in "$library" "$agent_jar" "$java_home/bin/java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

home="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-contention-bench.XXXXXX")"
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/lib" "$home/work" "$home/classes"
cp "$library" "$agent_jar" "$home/lib/"
"$java_home/bin/javac" -d "$home/classes" -cp "$home/lib/vorkel-agent.jar" "$root/bench/ContentionBench.java"

configs=(none agent jfr)
declare -A results
run() {  # config -> "ops blocked"
  local flags=()
  case "$1" in
    agent) flags=(-agentpath:"$home/lib/libvorkel.so" -Xlog:safepoint:file="$home/safepoint.log"
                  -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,notifications=false") ;;
    jfr) flags=(-XX:StartFlightRecording=settings="$root/bench/contention.jfc",filename="$home/work/monitor.jfr") ;;
  esac
  local line
  line="$("$java_home/bin/java" "${flags[@]}" -cp "$home/classes:$home/lib/vorkel-agent.jar" \
    ContentionBench "$threads" "$monitors" "$warmup" "$measure" "$inside" "$outside" 2>"$home/stderr" | grep '^RESULT ')" || {
    echo "the $1 run failed:" >&2; cat "$home/stderr" >&2; exit 1; }
  line="${line#RESULT ops_per_s=}"
  echo "${line% blocked_per_s=*} ${line#* blocked_per_s=}"
}

# The safepoints of blocker detection in the last agent run (GetObjectMonitorUsage stops the
# world), per second of the JVM's run: "count milliseconds".
detection_safepoints() {
  awk -v seconds="$(((warmup + measure)))e-3" '/"GetObjectMonitorUsage"/ {
      n++; for (i = 1; i < NF; i++) if ($i == "Total:") ns += $(i + 1)
    } END { printf "%.1f %.2f\n", n / seconds, ns / 1e6 / seconds }' "$home/safepoint.log"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "contended monitors: $threads threads on $monitors monitors, $rounds rounds of ${measure} ms (after ${warmup} ms)," \
  "$("$java_home/bin/java" -version 2>&1 | head -n 1)"
for ((round = 0; round < rounds; round++)); do
  line="round $((round + 1)):"
  for ((i = 0; i < 3; i++)); do
    config="${configs[(round + i) % 3]}"
    measured="$(run "$config")"
    read -r ops blocked <<<"$measured"
    results[$config]+="$ops "
    results[$config.blocked]+="$blocked "
    line+="  $config $ops/s ($blocked blocked/s)"
    if [ "$config" = agent ]; then
      read -r count millis <<<"$(detection_safepoints)"
      results[safepoints]+="$count " results[safepoint_ms]+="$millis "
      line+=" [detection: $count safepoints/s, $millis ms/s]"
    fi
  done
  echo "$line"
done

declare -A med
for config in "${configs[@]}"; do
  # shellcheck disable=SC2086
  med[$config]="$(median ${results[$config]})"
  # shellcheck disable=SC2086
  printf 'median %-6s %12.0f sections/s  %8.0f blocked entries/s\n' "$config" "${med[$config]}" \
    "$(median ${results[$config.blocked]})"
done
# shellcheck disable=SC2086
echo "median agent detection safepoints: $(median ${results[safepoints]})/s, $(median ${results[safepoint_ms]}) ms/s"
awk -v none="${med[none]}" -v agent="${med[agent]}" -v jfr="${med[jfr]}" 'BEGIN {
  printf "ratio agent/none %.3f (target at least 0.95)\n", agent / none
  printf "ratio agent/jfr  %.3f (target at least 1.00)\n", agent / jfr
  printf "ratio jfr/none   %.3f\n", jfr / none
}'
