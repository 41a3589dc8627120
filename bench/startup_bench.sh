#!/usr/bin/env bash
# Start-up cost of the agent: a hello-world JVM run to its end, side by side: no agent ("none"),
# an empty -javaagent jar whose premain does nothing ("empty": what any Java agent costs), the
# agent jar with its default options, which loads the library itself ("jar"), and the form the
# README documents, -agentpath with the agent jar ("path"). STARTUP_BEFORE=BUILD_DIR adds the same
# two forms of another build ("before-jar", "before-path"), to compare two versions in the same
# rounds. Every round runs each side once, in an order that
# rotates from round to round, so that a slow phase of the machine hits all of them. Prints, for
# the wall time and for the CPU time of the JVM, the medians, their differences and ratios, and
# the medians of the per-round differences.
#
#   bench/startup_bench.sh [ROUNDS]          (default 21)
#
# JAVA_HOME picks the JVM (default the JDK 17). Needs a build (cmake --build build);
# VORKEL_BUILD_DIR names another one.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
before="${STARTUP_BEFORE:-}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
java="$java_home/bin/java"
rounds="${1:-21}"

for file in "$build/agent/lib/libvorkel.so" "$build/agent/lib/vorkel-agent.jar" "$java" \
            ${before:+"$before/agent/lib/libvorkel.so" "$before/agent/lib/vorkel-agent.jar"}; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-startup-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/classes" "$work/empty-classes"
# An installed agent home per agent side: lib/ with the library and the jar, work/ and logs/.
install_home() {
  mkdir -p "$work/$2/lib" "$work/$2/work"
  cp "$1/agent/lib/libvorkel.so" "$1/agent/lib/vorkel-agent.jar" "$work/$2/lib/"
}
install_home "$build" agent.home
if [ -n "$before" ]; then install_home "$before" before.home; fi
cat >"$work/Hello.java" <<'EOF'
public class Hello {
    public static void main(String[] args) {
        System.out.println("hello");
    }
}
EOF
cat >"$work/EmptyAgent.java" <<'EOF'
public class EmptyAgent {
    public static void premain(String options, java.lang.instrument.Instrumentation instrumentation) {
    }
}
EOF
# The empty agent's class lives only in its jar: on the class path beside Hello, the system class
# loader would find it there and the empty side would never open a jar as every real agent does.
"$java_home/bin/javac" -d "$work/classes" "$work/Hello.java"
"$java_home/bin/javac" -d "$work/empty-classes" "$work/EmptyAgent.java"
printf 'Premain-Class: EmptyAgent\n' >"$work/manifest"
"$java_home/bin/jar" cfm "$work/empty.jar" "$work/manifest" -C "$work/empty-classes" EmptyAgent.class

# run SIDE: one JVM to its end; appends its wall time and its CPU time (user and system, all of
# its threads) in milliseconds to $work/SIDE and $work/SIDE.cpu. The collector's port is closed:
# the exit monitor's report fails at once and is saved in the home's work directory.
run() {
  local flags=()
  case "$1" in
    empty) flags=(-javaagent:"$work/empty.jar") ;;
    jar | path | before-jar | before-path)
      local home="$work/agent.home"
      case "$1" in before-*) home="$work/before.home" ;; esac
      flags=(-javaagent:"$home/lib/vorkel-agent.jar=home=$home,port=9")
      case "$1" in *path) flags=(-agentpath:"$home/lib/libvorkel.so" "${flags[@]}") ;; esac
      ;;
  esac
  local TIMEFORMAT='%3R %3U %3S'
  { time "$java" "${flags[@]}" -cp "$work/classes" Hello >"$work/out.$1" 2>&1; } 2>"$work/time.$1"
  grep -qx hello "$work/out.$1" || { echo "$1: the JVM did not say hello:" >&2; cat "$work/out.$1" >&2; exit 1; }
  awk '{ printf "%.1f\n", $1 * 1000 }' "$work/time.$1" >>"$work/$1"
  awk '{ printf "%.1f\n", ($2 + $3) * 1000 }' "$work/time.$1" >>"$work/$1.cpu"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Paired per-round differences: less noisy than the difference of the medians.
paired() { paste "$1" "$2" | awk '{ print $1 - $2 }' | median; }

sides=(none empty jar path)
if [ -n "$before" ]; then sides=(none empty before-jar jar before-path path); fi
count=${#sides[@]}
echo "Start-up benchmark: $rounds rounds of a hello-world JVM, $("$java" -version 2>&1 | head -n 1)"
for side in "${sides[@]}"; do run "$side"; done  # a warm-up round, not counted (page cache)
for side in "${sides[@]}"; do : >"$work/$side"; : >"$work/$side.cpu"; done
for round in $(seq 1 "$rounds"); do
  for i in $(seq 0 $((count - 1))); do run "${sides[$(((round + i) % count))]}"; done
done

# report TITLE SUFFIX: the medians of one measure, their differences and ratios.
report() {
  echo "$1 (ms, $rounds rounds)"
  local line side
  line="$(printf '  %-7s' median)"
  for side in "${sides[@]}"; do line+="$(printf ' %11.1f' "$(median <"$work/$side$2")")"; done
  echo "$line"
  line="$(printf '  %-7s' fastest)"
  for side in "${sides[@]}"; do line+="$(printf ' %11.1f' "$(sort -g "$work/$side$2" | head -n 1)")"; done
  echo "$line"
  local pair a b ma mb
  for pair in "empty none" "jar empty" "path empty" "path jar" \
      ${before:+"before-jar empty" "before-path empty" "jar before-jar" "path before-path"}; do
    read -r a b <<<"$pair"
    ma=$(median <"$work/$a$2")
    mb=$(median <"$work/$b$2")
    awk -v a="$a" -v b="$b" -v ma="$ma" -v mb="$mb" -v p="$(paired "$work/$a$2" "$work/$b$2")" 'BEGIN {
      printf "  %-11s - %-11s %6.1f ms (median of the per-round differences %6.1f ms), ratio %.2f\n", a, b, ma - mb, p, ma / mb
    }'
  done
}
line="$(printf '  %-7s' "")"
for side in "${sides[@]}"; do line+="$(printf ' %11s' "$side")"; done
echo "$line"
report "wall time, JVM start to end" ""
report "CPU time, user and system of all the JVM's threads" ".cpu"
