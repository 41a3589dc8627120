#!/usr/bin/env bash
# Cross-builds libvorkel.so, its tools and its tests for Linux on aarch64 into a build directory of
# its own:
#   scripts/aarch64-build.sh [BUILD_DIR]      (default: build-arm64)
# Installs the cross compiler, qemu and Debian's arm64 libraries and JDK 17 when missing
# (scripts/aarch64-deps.sh). Then `ctest --test-dir BUILD_DIR` runs the tests under qemu: the unit
# tests and the JVM tests chosen for emulation (tests/CMakeLists.txt) in the arm64 JDK 17.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-arm64}"
jobs="$(nproc 2>/dev/null || echo 2)"
scripts/aarch64-deps.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
