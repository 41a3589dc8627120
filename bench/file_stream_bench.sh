#!/usr/bin/env bash
# Nanoseconds per 4 KiB FileInputStream.read from the page cache and per single-byte
# FileOutputStream.write: with no agent, with the agent outside a transaction, inside a
# transaction with the file stream tracker, and with a JFR recording of the default settings
# (jdk.FileRead and jdk.FileWrite at 20 ms), each round one JVM per configuration in a rotating
# order; medians over the rounds and their ratios to no agent. Then, once, what the parts of the
# hooks' work cost inside a transaction. See bench/FileStreamBench.java.
#
#   bench/file_stream_bench.sh [ROUNDS [BATCHES]]
#
# JAVA_HOME selects the JDK (default the JDK 17). Needs a build (cmake --build build).
# Targets: outside a transaction within 1% of no agent; inside within 5% and no slower than JFR.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
rounds="${1:-7}"
batches="${2:-15}"
testkit="$build/testkit/libvorkel_testkit.so"
tests_jar="$build/testkit/vorkel-tests.jar"
agent_jar="$build/agent/lib/vorkel-agent.jar"
for file in "$testkit" "$tests_jar" "$agent_jar" "$java_home/bin/java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

home="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-file-stream-bench.XXXXXX")"
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/lib" "$home/work" "$home/classes" "$home/data"
cp "$testkit" "$home/lib/libvorkel.so"
cp "$agent_jar" "$home/lib/vorkel-agent.jar"
"$java_home/bin/javac" -d "$home/classes" "$root/bench/FileStreamBench.java"

classpath="$home/classes:$tests_jar:$home/lib/vorkel-agent.jar"
agent=(-agentpath:"$home/lib/libvorkel.so"
       -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,lib=$home/lib/libvorkel.so,filestreams=true")
run() {  # configuration -> "read write"
  local mode="$1"
  local -a flags=()
  case "$1" in
    outside|inside|costs) flags=("${agent[@]}") ;;
    jfr) flags=(-XX:StartFlightRecording=settings=default,filename="$home/work/bench.jfr") mode=none ;;
  esac
  "$java_home/bin/java" -Xshare:auto "${flags[@]}" -cp "$classpath" FileStreamBench "$mode" "$home/data" "$batches" \
    2>"$home/work/stderr" | sed -n 's/^RESULT //p'
}

configs=(none outside inside jfr)
declare -A reads writes
echo "JDK: $("$java_home/bin/java" -version 2>&1 | head -1); $rounds rounds of $batches batches"
for ((round = 0; round < rounds; round++)); do
  line="round $((round + 1)):"
  for ((i = 0; i < ${#configs[@]}; i++)); do
    config="${configs[$(((i + round) % ${#configs[@]}))]}"
    result="$(run "$config")"
    read_ns="$(sed -n 's/.*read_ns=\([0-9.]*\).*/\1/p' <<<"$result")"
    write_ns="$(sed -n 's/.*write_ns=\([0-9.]*\).*/\1/p' <<<"$result")"
    if [ -z "$read_ns" ] || [ -z "$write_ns" ]; then
      echo "configuration $config printed no result:" >&2
      cat "$home/work/stderr" >&2
      exit 1
    fi
    reads[$config]+="$read_ns "
    writes[$config]+="$write_ns "
    line+=" $config $read_ns/$write_ns"
  done
  echo "$line"
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
printf '\n%-8s %12s %8s %12s %8s\n' configuration "read ns" ratio "write ns" ratio
base_read="$(median <<<"${reads[none]}")"
base_write="$(median <<<"${writes[none]}")"
for config in "${configs[@]}"; do
  r="$(median <<<"${reads[$config]}")"
  w="$(median <<<"${writes[$config]}")"
  printf '%-13s %7.1f %8.3f %12.1f %8.3f\n' "$config" "$r" "$(awk -v a="$r" -v b="$base_read" 'BEGIN {print a / b}')" \
    "$w" "$(awk -v a="$w" -v b="$base_write" 'BEGIN {print a / b}')"
done
# The load of a shared machine drifts between rounds: the ratio within each round, where the
# configurations ran one after the other, is steadier than the ratio of the medians.
paired() {  # values of a configuration, values of the base -> median of the per-round ratios
  paste -d' ' <(tr ' ' '\n' <<<"$1" | sed '/^$/d') <(tr ' ' '\n' <<<"$2" | sed '/^$/d') |
    awk '{print $1 / $2}' | tr '\n' ' ' | median
}
printf '\nmedian of the per-round ratios: %-8s read %6.3f, write %6.3f\n' outside \
  "$(paired "${reads[outside]}" "${reads[none]}")" "$(paired "${writes[outside]}" "${writes[none]}")"
printf '                                %-8s read %6.3f, write %6.3f\n' inside \
  "$(paired "${reads[inside]}" "${reads[none]}")" "$(paired "${writes[inside]}" "${writes[none]}")"
printf '                                %-8s read %6.3f, write %6.3f\n' jfr \
  "$(paired "${reads[jfr]}" "${reads[none]}")" "$(paired "${writes[jfr]}" "${writes[none]}")"
printf '                                %-8s read %6.3f, write %6.3f\n' inside/jfr \
  "$(paired "${reads[inside]}" "${reads[jfr]}")" "$(paired "${writes[inside]}" "${writes[jfr]}")"
inside_read="$(median <<<"${reads[inside]}")"
inside_write="$(median <<<"${writes[inside]}")"
printf '\nratio of the medians, inside / jfr: read %.3f, write %.3f\n' \
  "$(awk -v a="$inside_read" -v b="$(median <<<"${reads[jfr]}")" 'BEGIN {print a / b}')" \
  "$(awk -v a="$inside_write" -v b="$(median <<<"${writes[jfr]}")" 'BEGIN {print a / b}')"
echo "parts of one hooked operation inside a transaction (ns, best of 20):"
costs="$(run costs)"
tr ' ' '\n' <<<"$costs" | sed 's/^/  /'
# What the hooks add, from these parts, against the median no-agent operation: outside a
# transaction the record lookup; inside, that, the clock read before the call and the accounting step.
part() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" <<<"$costs"; }
awk -v lookup="$(part transaction_lookup_ns)" -v account="$(part accounting_ns)" -v clock="$(part clock_ns)" \
  -v r="$base_read" -v w="$base_write" 'BEGIN {
    printf "hook work per operation: outside %d ns (read %.2f%%, write %.2f%%), inside %d ns (read %.1f%%, write %.1f%%)\n",
      lookup, 100 * lookup / r, 100 * lookup / w, lookup + account + clock, 100 * (lookup + account + clock) / r,
      100 * (lookup + account + clock) / w }'
