#!/usr/bin/env bash
# Installs what is missing, builds the wizard and starts it ready to click.
# Without hardware a simulated device and a simulated GSM modem run on
# pseudo-terminals (links ending in tandrel-demo-device and tandrel-demo-modem)
# and the wizard starts with settings of its own, kept in the demo's folder so
# the user's are never touched: the cable and the simulated device are
# selected, and "Подключить" opens the demo setup program, which talks to the
# device. "scripts/run.sh modem" selects the modem instead; "scripts/run.sh
# windows" (with wine and the mingw-w64 cross compiler installed) has the
# simulated device name the Windows demo setup program, which the wizard starts
# through wine. The lines printed
# before the window opens say what to do and how to pull the simulated cable
# or hang up the simulated call from another terminal.
#
# TANDREL_BUILD_DIR=FOLDER starts the programs already built there: nothing
# is installed or built.
set -euo pipefail
mode=${1:-cable}
if [ "$mode" != cable ] && [ "$mode" != modem ] && [ "$mode" != windows ]; then
  echo "Usage: $0 [cable|modem|windows]" >&2
  exit 2
fi
can_run_windows() { command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; }
if [ "$mode" = windows ] && ! can_run_windows; then
  echo "The Windows demo needs wine and the mingw-w64 cross compiler: scripts/deps.sh windows" >&2
  exit 1
fi
# Taken as given from where the script was started.
build=${TANDREL_BUILD_DIR:+$(cd "$TANDREL_BUILD_DIR" && pwd)}
cd "$(dirname "$0")/.."

if [ -z "$build" ]; then
  scripts/deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)"
  build=$PWD/build
  if [ "$mode" = windows ]; then
    # A cross build of the program alone (no Qt for Windows needed); it goes
    # beside the wizard, where setup.ini names it.
    cmake -S . -B build-windemo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTANDREL_QT=OFF \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-windemo -j"$(nproc)" --target windemosetup
    cp build-windemo/windemosetup.exe "$build/"
  fi
fi
if [ ! -x "$build/tandrel" ]; then
  echo "$build holds no built wizard (tandrel)." >&2
  exit 1
fi
if [ "$mode" = windows ] && [ ! -f "$build/windemosetup.exe" ]; then
  echo "$build holds no Windows demo setup program (windemosetup.exe)." >&2
  exit 1
fi

# A fixed per-user folder: the printed commands stay the same from one start
# to the next, and a second demo is refused while one runs.
demo_dir=${XDG_RUNTIME_DIR:-/tmp}/tandrel-demo-$(id -u)
mkdir -p -m 700 "$demo_dir"
if [ ! -O "$demo_dir" ] || [ -L "$demo_dir" ]; then
  echo "$demo_dir is not this user's own folder." >&2
  exit 1
fi
simctl="$build/tools/simctl/simctl"
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

# start_simulator NAME PROGRAM [OPTION ...]: starts it on
# $demo_dir/tandrel-demo-NAME with the control socket $demo_dir/NAME.ctl and
# waits for its link.
start_simulator() {
  local name=$1 program=$2
  shift 2
  "$build/tools/$program/$program" --link "$demo_dir/tandrel-demo-$name" --control "$demo_dir/$name.ctl" \
    --mode protocol --time-limit 86400 "$@" >/dev/null &
  simulator_pids+=($!)
  for _ in $(seq 50); do [ -e "$demo_dir/tandrel-demo-$name" ] && return; sleep 0.1; done
  echo "The simulated $name did not start." >&2
  exit 1
}
device_options=()
# The device key WINDEMO, which setup.ini maps to the Windows demo program.
[ "$mode" = windows ] && device_options=(--reply '+VER_INFO: "SIM",WINDEMO.1.0,SN000001\r\nOK\r\n')
start_simulator device simdevice "${device_options[@]}"
start_simulator modem simmodem

device_port=$demo_dir/tandrel-demo-device
modem_port=$demo_dir/tandrel-demo-modem
demo_phone=5550100

# reg_string TEXT: TEXT as a quoted string of the settings file.
reg_string() {
  local text=${1//\\/\\\\}
  printf '"%s"' "${text//\"/\\\"}"
}

# write_settings PORT CHANNEL: the wizard's settings file as a previous run
# would have left it (CHANNEL 1 is the cable, 0 the modem), with the demo's
# phone number in the history.
write_settings() {
  local file=$demo_dir/config/Korvel/Tandrel.reg
  mkdir -p "$(dirname "$file")"
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\SOFTWARE\Korvel\Tandrel]' \
    "\"COM\"=$(reg_string "$1")" \
    "\"CHANNEL\"=dword:0000000$2" \
    "\"phone1\"=$(reg_string "$demo_phone")" >"$file"
}

if [ "$mode" = cable ]; then
  write_settings "$device_port" 1
  cat <<HINTS
Ready: "USB/COM (кабель)" and the simulated device $device_port are selected.
Click "Подключить": the demo setup program opens and talks to the device ("PING", "GET serial", …).
From another terminal:
  pull the cable for 3 s:  $simctl $demo_dir/device.ctl unplug 3000
The modem demo:            $0 modem
HINTS
  can_run_windows && echo "A Windows setup program under wine: $0 windows"
elif [ "$mode" = windows ]; then
  write_settings "$device_port" 1
  cat <<HINTS
Ready: "USB/COM (кабель)" and the simulated device $device_port are selected; it names the
Windows demo setup program, which the wizard starts through wine (your usual prefix,
${WINEPREFIX:-$HOME/.wine}; the first start of a new prefix takes a while).
Click "Подключить": the program connects, sends "PING" and shows the device's answer in a box.
The cable demo:            $0
HINTS
else
  write_settings "$modem_port" 0
  cat <<HINTS
Ready: "CSD (GSM-модем)" and the simulated modem $modem_port are selected.
Pick $demo_phone in "Номер телефона" (or type any number) and click "Подключить":
the dialer listens to the line for 15 s, dials, and the demo setup program opens.
From another terminal:
  remote hang-up:          $simctl $demo_dir/modem.ctl hangup
  next call is busy:       $simctl $demo_dir/modem.ctl dial BUSY
The cable demo:            $0
HINTS
fi

XDG_CONFIG_HOME="$demo_dir/config" \
  TANDREL_EXTRA_PORTS="$device_port:$modem_port${TANDREL_EXTRA_PORTS:+:$TANDREL_EXTRA_PORTS}" \
  "$build/tandrel"
