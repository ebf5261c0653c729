#!/usr/bin/env bash
# The Windows stage: builds the wizard for Windows (scripts/build-windows.sh:
# the program folder, the installer, the Qt-free layers' tests) and runs the
# tests of that build under wine: CTest makes one fresh wine prefix for the
# run in build-windows/, keeps its wine server up while the tests run and ends
# it afterwards. The tests that drive the Windows wizard itself through its
# window are Linux programs of the test build (scripts/test.sh, "ctest -L
# wine").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/build-windows.sh

jobs=$(nproc)
build=$root/build-windows
# CTest's cleanup tests end the wine server and the pty peer; this covers a
# run that CTest itself could not finish.
cleanup() {
  WINEPREFIX=$build/wine-prefix wineserver -k 2>/dev/null || true
  "$build/tests/platform/peer-native/ptypeer" --stop "$build/tests/platform/peer-run/control" 2>/dev/null || true
}
trap cleanup EXIT
(cd "$build" && ctest -j"$jobs" --output-on-failure --timeout 300)
