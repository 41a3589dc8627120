#!/usr/bin/env bash
# The agent library and the test kit built with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, -DVORKEL_ASAN_AGENT=ON, build directory build-asan-jvm), run inside real JDK 17 JVMs by
# the JVM tests: the out-of-memory and requested snapshots with statistics, transactions with
# contention, file streams and all the others (about two minutes on two cores, after a build of
# about three and a half). A report of either sanitizer, from any process (the JVMs, also those a
# test ends on purpose, and the helper processes they start), fails the run.
#   tests/asan_jvm.sh [--no-build] [gtest filter, all JVM tests when absent]
#
# The java launcher is not instrumented, so the sanitizer runtime the library was linked with is
# preloaded: it must be the first library of the process, or it refuses to start ("ASan runtime
# does not come first in initial library list"), and it must own every allocation from the first
# one on. The options it needs inside a JVM:
#   detect_leaks=0          at exit LeakSanitizer stops the JVM's threads and scans its memory; its
#                           tracer faults on the JVM's reserved, protected pages and ends the JVM
#                           with an error ("LeakSanitizer has encountered a fatal error"), and what
#                           it would find are the JVM's own allocations, held until exit
#   handle_segv=0 handle_sigbus=0 handle_sigfpe=0
#                           the JVM takes these signals in the normal run of Java code (implicit
#                           null checks, safepoint polls and stack banging; access to truncated
#                           mapped files; integer division by zero in compiled code), so only its
#                           own handlers may have them: with these the runtime installs none
#   allow_user_segv_handler=1
#                           the JVM's handlers replace any the runtime did install (the default of
#                           this runtime, stated): with 0 the runtime keeps its own, and the JVM's
#                           first null check is reported as "SEGV on unknown address 0x000000000000"
#   log_path=...            reports go to files (name.pid) that this script looks for, since a
#                           test that expects a JVM to fail would not notice a report on stderr
# Both sanitizers are in clang's one runtime, so these options and the log path cover both;
# UndefinedBehaviorSanitizer stops at its first report (the build uses -fno-sanitize-recover).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan-jvm
jobs="${VORKEL_BUILD_JOBS:-2}"
build_first=1
if [ "${1:-}" = "--no-build" ]; then
  build_first=0
  shift
fi
filter="${1:-*}"

if [ "$build_first" -eq 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORKEL_ASAN_AGENT=ON -DVORKEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target vorkel vorkel_testkit vorkel_jvm_tests >/dev/null
fi

runtime_name=libclang_rt.asan-x86_64.so
runtime="$(clang++ -print-file-name="$runtime_name")"
# The whole listing is read first: grep -q leaves at its match, and readelf, still writing, would
# fail the pipeline with SIGPIPE.
if ! grep -q "NEEDED.*\[$runtime_name\]" <<<"$(readelf -d "$build/agent/lib/libvorkel.so")" || [ ! -f "$runtime" ]; then
  echo "asan_jvm: $build/agent/lib/libvorkel.so is not linked with $runtime_name ($runtime)" >&2
  exit 1
fi
reports="$PWD/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

echo "== JVM tests on JDK 17 with the agent under AddressSanitizer and UndefinedBehaviorSanitizer ($runtime)"
status=0
LD_PRELOAD="$runtime" \
  ASAN_OPTIONS="detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:allow_user_segv_handler=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1" \
  VORKEL_TEST_JDKS=reference \
  "$build/tests/vorkel_jvm_tests" --gtest_filter="$filter" || status=$?

shopt -s nullglob
found=("$reports"/*)
if [ "${#found[@]}" -gt 0 ]; then
  for report in "${found[@]}"; do
    echo "== $report"
    cat "$report"
  done
  echo "asan_jvm: ${#found[@]} sanitizer report(s)" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "asan_jvm: the JVM tests failed ($status)" >&2
  exit "$status"
fi
echo "asan_jvm: no sanitizer report"
