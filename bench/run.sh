#!/usr/bin/env bash
# Builds the wizard, the simulated device and the benchmark without
# sanitizers and runs the benchmark once (about two minutes). Pass --quick for
# 1-second flows instead of 3-second ones, --fixed-pacing to measure the
# wizard with its fixed 50 ms pacing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-bench -j"$(nproc)" --target tandrel-bench
build-bench/tools/bench/tandrel-bench "$@"
