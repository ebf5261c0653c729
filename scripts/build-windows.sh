#!/usr/bin/env bash
# Builds the wizard for 64-bit Windows with the mingw-w64 cross compiler
# against a Qt built from Debian's source (scripts/qt-windows.sh, cached
# outside the clone; the first build takes about 20 minutes), into
# build-windows/:
#   dist/                        tandrel.exe and everything it needs beside it
#   tandrel-VERSION-setup.exe    the installer (NSIS)
# plus the Qt-free layers' tests and the helpers of the Windows tests, which
# scripts/test-windows.sh runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh windows-qt
qt=$(scripts/qt-windows.sh --prefix)

build=$root/build-windows
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DTANDREL_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

dist=$build/dist
rm -rf "$dist"
cmake --install "$build" --prefix "$dist" >/dev/null
# Debug information stays out of what users install (the compiler's runtime
# DLLs come with theirs).
find "$dist" -name '*.exe' -o -name '*.dll' | xargs x86_64-w64-mingw32-strip --strip-unneeded

# The uninstaller removes exactly the installed files, deepest folders last.
files=$build/installer-files.nsh
(
  cd "$dist"
  find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
  find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
) >"$files"
rm -f "$build"/tandrel-*-setup.exe
makensis -V2 -DDIST="$dist" -DFILES="$files" "$build/installer.nsi"
echo "Windows build: $dist/tandrel.exe and" "$build"/tandrel-*-setup.exe
