#!/usr/bin/env bash
# Cross-builds vorkel.dll and its Windows tests into a build directory of its own:
#   scripts/windows-build.sh [BUILD_DIR]      (default: build-win)
# Installs the cross compiler and Wine and builds libbz2 and GoogleTest for Windows when missing
# (scripts/windows-deps.sh, kept in BUILD_DIR/thirdparty). Then `ctest --test-dir BUILD_DIR`
# runs the tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-win}"
jobs="$(nproc 2>/dev/null || echo 2)"
scripts/windows-deps.sh "$build/thirdparty"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORKEL_WIN_THIRDPARTY="$(cd "$build/thirdparty" && pwd)" >/dev/null
cmake --build "$build" -j "$jobs"
