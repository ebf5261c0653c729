#!/usr/bin/env bash
# Builds the wizard, the simulators and the soak without sanitizers (build/,
# as scripts/run.sh configures it; only the soak's targets) and runs the soak
# once: 100 unplugs, 200 reconnects of the setup program, 50 cable and 50 modem connections
# (about half an hour, most of it the modem's dialling). --short runs 5, 20,
# 3 and 2 of them (under two minutes). The other options of tandrel-soak
# (--unplugs N, --clients N, --cable N, --modem N, --keep) are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh soak
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tandrel-soak
build/tools/soak/tandrel-soak "$@"
