#!/usr/bin/env bash
# Builds vorkel and runs every test: the unit tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, the JVM tests with the agent
# under AddressSanitizer and UndefinedBehaviorSanitizer (tests/asan_jvm.sh), every fuzz target for
# a short bounded run, then the whole suite (unit and JVM tests) of the normal build, then the
# Windows build's tests under Wine, then the aarch64 build's tests under qemu (its unit and tool
# tests and a chosen set of JVM tests in Debian's arm64 JDK 17).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

echo "== Style (.clang-format) and checks (.clang-tidy)"
scripts/check-style.sh --tidy

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVORKEL_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs" --target vorkel_unit_tests
echo "== Unit tests (tiers unit and system) with AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-sanitize && ctest --output-on-failure -j "$jobs" -L '^(unit|system)$')

CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVORKEL_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target vorkel_unit_tests
echo "== Threaded unit tests (label threads) with ThreadSanitizer"
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L '^threads$')

# The agent under AddressSanitizer and UndefinedBehaviorSanitizer inside JDK 17, every JVM test.
VORKEL_BUILD_JOBS="$jobs" tests/asan_jvm.sh

echo "== Fuzz targets, ${VORKEL_FUZZ_EXECUTIONS:-20000} executions each"
VORKEL_BUILD_JOBS="$jobs" bench/fuzz.sh -n "${VORKEL_FUZZ_EXECUTIONS:-20000}"

echo "== All tests"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== Windows build (MinGW-w64) and its tests under Wine"
scripts/windows-build.sh build-win
(cd build-win && ctest --output-on-failure -j "$jobs")

echo "== Linux on aarch64: the cross build, its tests under qemu (JVM tests in the arm64 JDK 17)"
scripts/aarch64-build.sh build-arm64
(cd build-arm64 && ctest --output-on-failure -j "$jobs")
