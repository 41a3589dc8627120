#!/usr/bin/env bash
# The main job: a JVM with the agent runs out of memory, reported to a local collector.
# (The snapshot and its collector are still being built; for now this builds the agent and starts
# a JVM with it.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
home="$(mktemp -d)"
mkdir -p "$home/lib"
cp build/agent/lib/libvorkel.so build/agent/lib/vorkel-agent.jar "$home/lib/"
/usr/lib/jvm/java-17-openjdk-amd64/bin/java -agentpath:"$home/lib/libvorkel.so" \
  -javaagent:"$home/lib/vorkel-agent.jar=echo=true" -cp build/testkit/vorkel-tests.jar:"$home/lib/vorkel-agent.jar" \
  vorkel.test.Scenarios start
echo "Native log: $home/logs"
