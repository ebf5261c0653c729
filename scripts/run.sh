#!/usr/bin/env bash
# Installs what is missing, builds the wizard and starts it. Without hardware a
# simulated device and a simulated GSM modem are started on pseudo-terminals
# and offered in the port list (links ending in tandrel-demo-device and
# tandrel-demo-modem); the demo setup program talks to the device behind
# either. The lines printed before the window opens say how to pull the
# simulated cable or hang up the simulated call from another terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

# A fixed per-user folder, so the simulated ports keep their paths from one
# start to the next and the wizard finds its stored port again.
demo_dir=${XDG_RUNTIME_DIR:-/tmp}/tandrel-demo-$(id -u)
mkdir -p -m 700 "$demo_dir"
if [ ! -O "$demo_dir" ] || [ -L "$demo_dir" ]; then
  echo "$demo_dir is not this user's own folder." >&2
  exit 1
fi
simctl="$root/build/tools/simctl/simctl"
if "$simctl" "$demo_dir/device.ctl" received >/dev/null 2>&1; then
  echo "The demo is already running (its simulated device answers in $demo_dir)." >&2
  exit 1
fi
simulator_pids=()
cleanup() {
  for pid in "${simulator_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${simulator_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$demo_dir"
}
trap cleanup EXIT

# start_simulator NAME PROGRAM: starts it on $demo_dir/tandrel-demo-NAME with
# the control socket $demo_dir/NAME.ctl and waits for its link.
start_simulator() {
  local name=$1 program=$2
  "build/tools/$program/$program" --link "$demo_dir/tandrel-demo-$name" --control "$demo_dir/$name.ctl" \
    --mode protocol --time-limit 86400 >/dev/null &
  simulator_pids+=($!)
  for _ in $(seq 50); do [ -e "$demo_dir/tandrel-demo-$name" ] && return; sleep 0.1; done
  echo "The simulated $name did not start." >&2
  exit 1
}
start_simulator device simdevice
start_simulator modem simmodem

cat <<HINTS
Simulated device: $demo_dir/tandrel-demo-device ("USB/COM (кабель)")
Simulated modem:  $demo_dir/tandrel-demo-modem ("CSD (GSM-модем)", any phone number)
From another terminal:
  pull the cable for 3 s:  $simctl $demo_dir/device.ctl unplug 3000
  remote hang-up:          $simctl $demo_dir/modem.ctl hangup
  next call is busy:       $simctl $demo_dir/modem.ctl dial BUSY
HINTS

TANDREL_EXTRA_PORTS="$demo_dir/tandrel-demo-device:$demo_dir/tandrel-demo-modem${TANDREL_EXTRA_PORTS:+:$TANDREL_EXTRA_PORTS}" \
  build/tandrel
