#!/usr/bin/env bash
# The main job, end to end: a local collector, a shop application with a leak running under the
# agent with a 64 MB heap until it runs out of memory, and what the agent made of it: the banner,
# the notifications the collector received, the snapshot directory, the archive the uploader fork
# sent, the snapshot reader's summary of that archive, and its leak suspects.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== Building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec scripts/demo-run.sh build
