#!/usr/bin/env bash
# Times compressDump against `tar -cf - info graph | bzip2 -9` on the same two snapshot files and
# prints both times and their ratio (target: compressDump takes at most 1.05 times as long).
#
#   bench/compress_bench.sh [INFO_FILE GRAPH_FILE]
#
# With a real snapshot's oom_info.txt and oom_graph.bin given, those are used. Without them the
# script generates a snapshot-like pair (bench/SnapshotLikeFiles.java: an info text of
# INFO_MB (default 35) and a graph of small little-endian records of GRAPH_MB (default 85)
# megabytes). compressDump runs in a JVM through the agent jar's "compress" command, which times
# the native call itself; the pipeline is timed around the shell pipeline. Each side runs RUNS
# times (default 3) and the fastest run counts. Needs a build (cmake --build build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VORKEL_BUILD_DIR:-$root/build}"
java_home="${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}"
java="$java_home/bin/java"
library="$build/agent/lib/libvorkel.so"
jar="$build/agent/lib/vorkel-agent.jar"
runs="${RUNS:-3}"

for file in "$library" "$jar" "$java"; do
  if [ ! -e "$file" ]; then
    echo "missing $file: build first (cmake -S . -B build && cmake --build build -j2)" >&2
    exit 1
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/vorkel-compress-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

if [ "$#" -eq 2 ]; then
  info="$(realpath "$1")"
  graph="$(realpath "$2")"
  origin="given files"
elif [ "$#" -eq 0 ]; then
  info="$work/oom_info.txt"
  graph="$work/oom_graph.bin"
  echo "Generating snapshot-like files (no real snapshot given)..."
  "$java" "$root/bench/SnapshotLikeFiles.java" "$info" "$graph" "${INFO_MB:-35}" "${GRAPH_MB:-85}"
  origin="generated snapshot-like files"
else
  echo "usage: $0 [INFO_FILE GRAPH_FILE]" >&2
  exit 2
fi

# The pipeline archives the files under the names the archive uses.
mkdir "$work/entries"
ln -s "$info" "$work/entries/oom_info.txt"
ln -s "$graph" "$work/entries/oom_graph.bin"
# Both sides read the files from the page cache.
cat "$info" "$graph" >/dev/null

now() { date +%s.%N; }
fastest() { awk -v best="$1" -v time="$2" 'BEGIN { print (best == "" || time + 0 < best + 0) ? time : best }'; }
best_native=""
best_pipeline=""
for run in $(seq 1 "$runs"); do
  line="$("$java" -Dvorkel.library="$library" -jar "$jar" compress "$info" "$graph" "$work/native.tar.bz2" 2>/dev/null |
          grep '^compressDump ')"
  case "$line" in
    "compressDump true in "*) ;;
    *) echo "compressDump failed: $line" >&2; exit 1 ;;
  esac
  native="$(echo "$line" | awk '{print $4}')"

  start="$(now)"
  tar -chf - -C "$work/entries" oom_info.txt oom_graph.bin | bzip2 -9 >"$work/pipeline.tar.bz2"
  end="$(now)"
  pipeline="$(echo "$start $end" | awk '{printf "%.3f", $2 - $1}')"
  echo "run $run: compressDump $native s, tar | bzip2 -9 $pipeline s"
  best_native="$(fastest "$best_native" "$native")"
  best_pipeline="$(fastest "$best_pipeline" "$pipeline")"
done

bzip2 -t "$work/native.tar.bz2"
mkdir "$work/check"
tar -xjf "$work/native.tar.bz2" -C "$work/check"
cmp "$info" "$work/check/oom_info.txt"
cmp "$graph" "$work/check/oom_graph.bin"

size() { stat -c %s "$1"; }
echo
echo "Files ($origin): oom_info.txt $(size "$info") bytes, oom_graph.bin $(size "$graph") bytes"
printf 'compressDump:             %8.3f s  archive %s bytes\n' "$best_native" "$(size "$work/native.tar.bz2")"
printf 'tar -cf - | bzip2 -9:     %8.3f s  archive %s bytes\n' "$best_pipeline" "$(size "$work/pipeline.tar.bz2")"
echo "$best_native $best_pipeline" |
  awk '{ratio = $1 / $2; printf "ratio: %.3f (target at most 1.05) %s\n", ratio, ratio <= 1.05 ? "met" : "NOT MET"}'
