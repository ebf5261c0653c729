#!/usr/bin/env bash
# Installs what is missing, builds the test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs it, then runs the dialer tests again under
# ThreadSanitizer. Any sanitizer report fails the run. Then every parser's
# fuzz target runs for 30 s on its corpus. Then the Qt-free layers are
# cross-built for Windows and tested under wine, and the Windows demo setup
# program of that build is run by the real wizard under wine (label "wine").
# Last, a short soak drives a release build of the wizard through unplugs,
# reconnects and whole connections. Qt for Windows, when its cache folder
# lacks it, is built meanwhile in the background at the lowest priority.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# What every stage installs is installed first, so no other apt runs while
# the background build installs its own.
scripts/deps.sh
scripts/deps.sh fuzz
scripts/deps.sh soak

qt_log=$root/build-qt-windows.log
setsid nice -n 19 scripts/deps.sh windows-qt >"$qt_log" 2>&1 &
qt_build=$!
stop_qt_build() {
  kill -- "-$qt_build" 2>/dev/null || true
}
trap stop_qt_build EXIT

started=$SECONDS
stage() { echo "== $1 ($(((SECONDS - started) / 60)) min in)"; }

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$root/tests/tsan.supp"

stage "Linux build and tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTANDREL_TESTS=ON -DTANDREL_SANITIZE=ON >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest -j"$jobs" --output-on-failure --timeout 300 -LE wine)

stage "threading tests (ThreadSanitizer)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTANDREL_TESTS=ON -DTANDREL_TSAN=ON >/dev/null
# Only what the threading tests need (the test, its library and its tools).
cmake --build build-tsan -j"$jobs" --target test_ringthread
(cd build-tsan && ctest -j"$jobs" --output-on-failure --timeout 300)

# A crash, a sanitizer report or a failed check leaves its input in
# build-fuzz/findings/.
stage "fuzzing"
scripts/fuzz.sh all 30

stage "Windows build and tests under wine"
if ! wait "$qt_build"; then
  echo "Building Qt for Windows failed:" >&2
  tail -n 40 "$qt_log" >&2
  exit 1
fi
scripts/test-windows.sh
(cd build-test && ctest --output-on-failure --timeout 300 -L wine --no-tests=error)

# The short soak: the real wizard (a release build in build/, no sanitizers)
# through unplugs, reconnects and whole connections, its resources watched.
stage "short soak"
bench/soak.sh --short
stage "done"
