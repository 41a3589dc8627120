#!/usr/bin/env bash
# Nanoseconds per addInstanceRealInternal call from Java, single-threaded and with 2 threads,
# beside the bare JVMTI SetTag of the tagging environment on the same objects, and their ratio
# (target: at most 2 once the allocation record exists). See bench/StatisticsBench.java for what
# each line measures.
#
#   bench/statistics_bench.sh [WARMUP_ROUNDS [ROUNDS]]
#
# Runs in a JVM (JAVA_HOME, default the JDK 17) with the test kit build as its agent, which adds
# the bare SetTag native. Needs a build (cmake --build build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
java="$java_home/bin/java"
testkit="$build/testkit/libvorkel_testkit.so"
tests_jar="$build/testkit/vorkel-tests.jar"
agent_jar="$build/agent/lib/vorkel-agent.jar"

for file in "$testkit" "$tests_jar" "$agent_jar" "$java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

home="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-statistics-bench.XXXXXX")"
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/lib" "$home/work"
cp "$testkit" "$home/lib/libvorkel.so"
cp "$agent_jar" "$home/lib/vorkel-agent.jar"

"$java" -agentpath:"$home/lib/libvorkel.so" \
  -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,lib=$home/lib/libvorkel.so" \
  -cp "$tests_jar:$home/lib/vorkel-agent.jar" \
  "$root/bench/StatisticsBench.java" "${1:-50}" "${2:-200}"
