#!/usr/bin/env bash
# GC pauses with and without the agent: per collector, JVMs that each run 1000 young collections
# (bench/GcPauseBench.java), alternately without the agent and with it (-agentpath and the agent
# jar with its default options: the collection count is published after every collection and
# reported to the Java half). Pauses are the young "Pause Young" times of -Xlog:gc. Prints per
# round the median pause, then per collector the median over all pauses of each side and their
# ratio (agent / none; 1.00 = the same), and the agent's own count of collections.
#
#   bench/gc_pause_bench.sh [ROUNDS [YOUNG_COLLECTIONS]]     (default 3 rounds of 1000)
#
# JAVA_HOME picks the JVM (default the JDK 17); GC_PAUSE_COLLECTORS the collector flags (default
# "-XX:+UseSerialGC -XX:+UseParallelGC -XX:+UseG1GC"). Needs a build (cmake --build build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
java="$java_home/bin/java"
library="$build/agent/lib/libvorkel.so"
agent_jar="$build/agent/lib/vorkel-agent.jar"
rounds="${1:-3}"
young="${2:-1000}"
collectors="${GC_PAUSE_COLLECTORS:--XX:+UseSerialGC -XX:+UseParallelGC -XX:+UseG1GC}"

for file in "$library" "$agent_jar" "$java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-gc-pause-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/lib" "$work/home/work"
cp "$library" "$work/home/lib/libvorkel.so"
cp "$agent_jar" "$work/home/lib/vorkel-agent.jar"
home="$work/home"
# The class once, so that every JVM runs the same bytes and no round compiles it.
"$java_home/bin/javac" -d "$work/classes" "$root/bench/GcPauseBench.java"

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The pause times in milliseconds of the first $young young collections in a -Xlog:gc file.
young_pauses() { grep 'Pause Young' "$1" | sed -n 's/.* \([0-9.]*\)ms$/\1/p' | head -n "$young"; }

# run SIDE COLLECTOR ROUND: one JVM; its pauses go to $work/SIDE.COLLECTOR.pauses.
run() {
  local side="$1" collector="$2" round="$3"
  local log="$work/gc.$side.$round.log" out="$work/out.$side.$round"
  local flags=(-Xms256m -Xmx256m -Xmn16m "$collector" -Xlog:gc:file="$log" -cp "$work/classes")
  if [ "$side" = agent ]; then
    flags=(-agentpath:"$home/lib/libvorkel.so"
           -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,lib=$home/lib/libvorkel.so"
           "${flags[@]}" -cp "$work/classes:$home/lib/vorkel-agent.jar")
  fi
  "$java" "${flags[@]}" GcPauseBench "$young" >"$out"
  young_pauses "$log" >>"$work/$side.${collector#-XX:+}.pauses"
  local counted
  counted="$(sed -n 's/^agent_gc_count //p' "$out")"
  printf '  round %d %-5s: %4d young pauses, median %s ms%s\n' "$round" "$side" "$(young_pauses "$log" | wc -l)" \
    "$(young_pauses "$log" | median)" "${counted:+, gcCount published by the agent at the end $counted}"
  young_pauses "$log" | median >>"$work/$side.${collector#-XX:+}.medians"
}

echo "GC pause benchmark: $rounds rounds of $young young collections per side, $("$java" -version 2>&1 | head -n 1)"
for collector in $collectors; do
  echo "$collector"
  name="${collector#-XX:+}"
  for side in none agent; do : >"$work/$side.$name.pauses"; : >"$work/$side.$name.medians"; done
  for round in $(seq 1 "$rounds"); do
    # Alternate which side goes first, so that a slow phase of the machine hits both.
    if [ $((round % 2)) -eq 1 ]; then run none "$collector" "$round"; run agent "$collector" "$round"
    else run agent "$collector" "$round"; run none "$collector" "$round"; fi
  done
  none=$(median <"$work/none.$name.pauses")
  agent=$(median <"$work/agent.$name.pauses")
  # The spread of the round medians of each side shows the noise the ratio must be read against.
  spread() { sort -g "$1" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f..%.3f", lo, hi }'; }
  awk -v n="$none" -v a="$agent" -v c="$name" -v nn="$(wc -l <"$work/none.$name.pauses")" \
      -v an="$(wc -l <"$work/agent.$name.pauses")" -v ns="$(spread "$work/none.$name.medians")" \
      -v as="$(spread "$work/agent.$name.medians")" 'BEGIN {
    printf "%s: median young pause without agent %.3f ms (%d pauses, round medians %s), with agent %.3f ms (%d pauses, round medians %s), ratio %.2f\n",
           c, n, nn, ns, a, an, as, (n > 0 ? a / n : 0) }'
done
