#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/<name>_fuzz.cpp, clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, build directory build-fuzz) and runs each for a number of
# executions, printing per target the executions, the crashes and libFuzzer's coverage.
# Exits non-zero when any target crashed (or the build failed).
#
#   bench/fuzz.sh [-n EXECUTIONS] [TARGET...]     (default: 1000000 executions, every target)
#
# TARGET is a name as in fuzz/<name>_fuzz.cpp (with or without the _fuzz suffix). Seeds come
# from fuzz/corpus/<name>/ when present and are never written to; the inputs libFuzzer finds
# are kept in build-fuzz/corpus/<name>/ and reused by the next run; a crash leaves its input in
# build-fuzz/artifacts/<name>/. A dictionary fuzz/<name>.dict is used when present.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
executions=1000000

usage() {
  echo "usage: $0 [-n EXECUTIONS] [TARGET...]" >&2
  exit 2
}
while getopts "n:h" option; do
  case "$option" in
    n) executions="$OPTARG" ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ "$executions" =~ ^[1-9][0-9]*$ ]] || usage

targets=()
if [ "$#" -gt 0 ]; then
  for target in "$@"; do targets+=("${target%_fuzz}"); done
else
  for source in "$root"/fuzz/*_fuzz.cpp; do
    [ -e "$source" ] || continue
    name="$(basename "$source" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets in $root/fuzz"
  exit 0
fi
for target in "${targets[@]}"; do
  if [ ! -e "$root/fuzz/${target}_fuzz.cpp" ]; then
    echo "unknown fuzz target $target (no fuzz/${target}_fuzz.cpp)" >&2
    exit 2
  fi
done

jobs="${VORKEL_BUILD_JOBS:-2}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVORKEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build_targets=()
for target in "${targets[@]}"; do build_targets+=(--target "${target}_fuzz"); done
cmake --build "$build" -j "$jobs" "${build_targets[@]}" >/dev/null

failed=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  # The modules report refused input on standard error; -close_fd_mask=2 silences that, while
  # libFuzzer's own output and the sanitizers' reports still reach the log.
  arguments=(-runs="$executions" -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$artifacts/")
  [ -e "$root/fuzz/$target.dict" ] && arguments+=(-dict="$root/fuzz/$target.dict")
  directories=("$corpus")
  [ -d "$root/fuzz/corpus/$target" ] && directories+=("$root/fuzz/corpus/$target")
  before="$(find "$artifacts" -type f | wc -l)"
  status=0
  "$build/fuzz/${target}_fuzz" "${arguments[@]}" "${directories[@]}" >"$log" 2>&1 || status=$?
  crashes=$(($(find "$artifacts" -type f | wc -l) - before))
  if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  done_runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  coverage="$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)"
  printf '%s: executions %s, crashes %d, coverage %s\n' "$target" "${done_runs:-?}" "$crashes" "${coverage:-?}"
  if [ "$crashes" -ne 0 ]; then
    failed=1
    echo "  $target crashed (exit $status); its input is in $artifacts, the output in $log:" >&2
    grep -m 20 -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | sed 's/^/  /' >&2 || true
  fi
done
exit "$failed"
