#!/usr/bin/env bash
# Cross-builds the Qt-free layers (serial, discovery, settings store,
# platform) and their tests for Windows with mingw-w64 and runs them under
# wine: CTest makes one fresh wine prefix for the run in build-windows/, keeps
# its wine server up while the tests run and ends it afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh windows

jobs=$(nproc)
build=$root/build-windows
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTANDREL_QT=OFF -DTANDREL_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs"

# CTest's cleanup tests end the wine server and the pty peer; this covers a
# run that CTest itself could not finish.
cleanup() {
  WINEPREFIX=$build/wine-prefix wineserver -k 2>/dev/null || true
  "$build/tests/platform/peer-native/ptypeer" --stop "$build/tests/platform/peer-run/control" 2>/dev/null || true
}
trap cleanup EXIT
(cd "$build" && ctest -j"$jobs" --output-on-failure --timeout 300)
