#!/usr/bin/env bash
# Installs what is missing, builds the wizard and starts it. Without hardware a
# simulated device is started on a pseudo-terminal and offered in the port list;
# choose "USB/COM (кабель)" and the port ending in tandrel-demo-device, then
# click "Подключить": the demo setup program opens and talks to the device.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

demo_dir=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-demo.XXXXXX")
device_link="$demo_dir/tandrel-demo-device"
build/tools/simdevice/simdevice --link "$device_link" --control "$demo_dir/control" \
  --mode protocol --time-limit 86400 >/dev/null &
device_pid=$!
cleanup() {
  kill "$device_pid" 2>/dev/null || true
  wait "$device_pid" 2>/dev/null || true
  rm -rf "$demo_dir"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "$device_link" ] && break; sleep 0.1; done

TANDREL_EXTRA_PORTS="$device_link${TANDREL_EXTRA_PORTS:+:$TANDREL_EXTRA_PORTS}" build/tandrel
