#!/usr/bin/env bash
# Nanoseconds of the measuring thread's CPU time (user and system: preemption by the other work of a
# shared machine does not count) per 4 KiB read and write from and to the page cache, through file
# streams and a file channel: with no agent; with the agent, in batches with the file stream tracker
# off, on outside a transaction and on inside one, in threes in one JVM; and with a JFR recording of
# the default settings (jdk.FileRead and jdk.FileWrite at 20 ms); and with the benchmark's floor
# agent (bench/file_io_floor_agent.cpp: the descriptor number and two counter readings around each
# operation, the least that exact per-operation timing costs); each round one JVM per configuration
# in a rotating order. Prints, per operation, the median of the per-round ratios to no agent, the
# median ratios of the batches outside / off and inside / outside, and the medians. Then, once, what
# the parts of a hooked operation cost inside a transaction. See bench/FileStreamBench.java.
#
#   bench/file_stream_bench.sh [ROUNDS [BATCHES]]
#
# JAVA_HOME selects the JDK (default the JDK 17). Needs a build (cmake --build build).
# Targets: outside a transaction within 0.5% of no agent; inside within 3%.
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
"${CXX:-c++}" -O2 -shared -fPIC -I"$java_home/include" -I"$java_home/include/linux" \
  -o "$home/lib/libfloor.so" "$root/bench/file_io_floor_agent.cpp"

classpath="$home/classes:$tests_jar:$home/lib/vorkel-agent.jar"
agent=(-agentpath:"$home/lib/libvorkel.so"
       -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,lib=$home/lib/libvorkel.so,filestreams=true")
run() {  # configuration -> "name=ns ..."
  local mode="$1"
  local -a flags=()
  case "$1" in
    agent|costs) flags=("${agent[@]}") ;;
    jfr) flags=(-XX:StartFlightRecording=settings=default,filename="$home/work/bench.jfr") mode=none ;;
    floor) flags=(-agentpath:"$home/lib/libfloor.so") mode=none ;;
  esac
  "$java_home/bin/java" -Xshare:auto "${flags[@]}" -cp "$classpath" FileStreamBench "$mode" "$home/data" "$batches" \
    2>"$home/work/stderr" | sed -n 's/^RESULT //p'
}

operations=(stream_read stream_write channel_read channel_write)
configs=(none agent jfr floor)
declare -A values  # "series operation" -> the rounds' values: none, off, outside, inside, idle, pair, jfr
echo "JDK: $("$java_home/bin/java" -version 2>&1 | head -1); $rounds rounds of $batches batches"
for ((round = 0; round < rounds; round++)); do
  line="round $((round + 1)):"
  for ((i = 0; i < ${#configs[@]}; i++)); do
    config="${configs[$(((i + round) % ${#configs[@]}))]}"
    result="$(run "$config")"
    case "$config" in
      agent) series=(off outside inside idle pair) ;;
      *) series=("$config") ;;
    esac
    for name in "${series[@]}"; do
      line+=" $name"
      for operation in "${operations[@]}"; do
        field="$operation"
        [ "$config" = agent ] && field="$name.$operation"
        value="$(sed -n "s/.*\(^\| \)$field=\([0-9.]*\).*/\2/p" <<<"$result")"
        if [ -z "$value" ]; then
          echo "configuration $config printed no $field:" >&2
          cat "$home/work/stderr" >&2
          exit 1
        fi
        values["$name $operation"]+="$value "
        line+=" $value"
      done
    done
  done
  echo "$line"
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# The load of a shared machine drifts between rounds: the ratio within each round, where the
# configurations ran one after the other, is steadier than the ratio of the medians; steadier still
# is inside / outside, from batches run right after each other in one JVM.
paired() {  # values of a configuration, values of the base -> median of the per-round ratios
  paste -d' ' <(tr ' ' '\n' <<<"$1" | sed '/^$/d') <(tr ' ' '\n' <<<"$2" | sed '/^$/d') |
    awk '{print $1 / $2}' | tr '\n' ' ' | median
}
printf '\n%-14s %9s %9s %9s %9s %9s %12s %15s\n' operation "none ns" outside inside jfr floor "outside/off" \
  "inside/outside"
for operation in "${operations[@]}"; do
  base="${values[none $operation]}"
  printf '%-14s %9.1f %9.4f %9.4f %9.4f %9.4f %12.4f %15.4f\n' "$operation" "$(median <<<"$base")" \
    "$(paired "${values[outside $operation]}" "$base")" "$(paired "${values[inside $operation]}" "$base")" \
    "$(paired "${values[jfr $operation]}" "$base")" "$(paired "${values[floor $operation]}" "$base")" \
    "$(median <<<"${values[idle $operation]}")" "$(median <<<"${values[pair $operation]}")"
done
echo "(outside, inside, jfr, floor: the median of the per-round ratios to none; floor: the benchmark's"
echo " floor agent, which only finds each operation's descriptor number and reads the counter before and after;"
echo " outside/off and inside/outside: the median over the rounds of each agent JVM's median ratio of its"
echo " batches run one after the other, off being the tracker switched off in that JVM)"
printf '\n%-14s %9s %9s %9s %9s %9s %9s   %s\n' operation none off outside inside jfr floor "(medians, ns)"
for operation in "${operations[@]}"; do
  printf '%-14s' "$operation"
  for name in none off outside inside jfr floor; do printf ' %9.1f' "$(median <<<"${values[$name $operation]}")"; done
  printf '\n'
done

echo
echo "parts of one hooked operation inside a transaction (ns per call, best of 20 rounds):"
costs="$(run costs)"
tr ' ' '\n' <<<"$costs" | sed 's/^/  /'
# What the hooks add, from these parts, against the median operation with no agent: outside a
# transaction the record lookup; inside, that, the key lookup of the stream or channel, and the
# accounting step (its two clock readings, the timing counters and the table). (exception_check is
# what a stream write would add without its errno test; get_tag and hires_clock what the key and
# the clock readings cost before.)
part() { sed -n "s/.*$1_ns=\([0-9]*\).*/\1/p" <<<"$costs"; }
lookup="$(part transaction_lookup)" account="$(part accounting)"
stream="$(part stream_key)" channel="$(part channel_key)"
echo "hook work per operation, from the parts:"
for operation in "${operations[@]}"; do
  case "$operation" in
    stream_*) inside=$((lookup + stream + account)) ;;
    *) inside=$((lookup + channel + account)) ;;
  esac
  awk -v name="$operation" -v lookup="$lookup" -v inside="$inside" -v base="$(median <<<"${values[none $operation]}")" \
    'BEGIN { printf "  %-14s outside %3d ns (%.2f%%), inside %3d ns (%.1f%%)\n", name, lookup, 100 * lookup / base,
             inside, 100 * inside / base }'
done
