#!/usr/bin/env bash
# Installs the Debian 12 packages the wizard, its tools and its tests need;
# with the argument "windows" also the cross compiler and wine for the
# Windows demo setup program, with "windows-qt" besides them what the Windows
# build of the wizard and its tests need (Qt's source tools, NSIS, wine's
# fonts, a window manager) and then Qt for Windows itself, built once into a
# cache folder (scripts/qt-windows.sh), with "fuzz" clang with libFuzzer and the
# symbolizer for the fuzz stage, with "bench" what the benchmark compares
# with and the real peers it drives the bridge with, with "soak" the
# clipboard reader the soak reads the log window with. Quick when nothing is
# missing: apt is asked only for packages not installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-dejavu-core
  xvfb xdotool imagemagick libx11-dev
  doctest-dev
  lrzsz # rx, which the simulated device runs for an upload
)
case "${1:-}" in
windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
windows-qt)
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev ninja-build xz-utils nsis fonts-wine openbox)
  ;;
fuzz) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
bench)
  # socat is measured beside the wizard; lrzsz's sx and rx and pymodbus are
  # real peers through it (pymodbus's client needs serial-asyncio, which
  # Debian only recommends); xclip reads the log window back.
  packages+=(socat lrzsz python3-pymodbus python3-serial-asyncio xclip)
  ;;
soak) packages+=(xclip) ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = windows-qt ]; then
  "$(dirname "$0")/qt-windows.sh"
fi
