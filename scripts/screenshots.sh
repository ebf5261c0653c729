#!/usr/bin/env bash
# Builds the screenshot program if needed and renders the wizard's windows to
# docs/screenshots/*.png on a private virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${TANDREL_BUILD_DIR:-build}
cmake -S . -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target screenshots

mkdir -p docs/screenshots
xvfb-run -a -s "-screen 0 1280x1024x24" "$build_dir/tools/screenshots/screenshots" docs/screenshots
