#!/usr/bin/env bash
# The wine prefix of one test run.
#   wine-prefix.sh start PREFIX [--display] COM12=/path/to/link ...
#     a fresh prefix set to Windows 10 with the COM ports mapped (before its
#     wine server starts for the tests), the null display driver unless
#     --display asks for windows on $DISPLAY (with wine's own fonts, Tahoma
#     among them, from Debian's fonts-wine), then a persistent server
#   wine-prefix.sh stop PREFIX
#     ends the prefix's wine server and removes the prefix
set -euo pipefail
action=$1
export WINEPREFIX=$2
shift 2
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

case $action in
start)
  display=0
  if [ "${1:-}" = --display ]; then
    display=1
    shift
  fi
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null
  for mapping in "$@"; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "${mapping%%=*}" /d "${mapping#*=}" /f >/dev/null
  done
  if [ "$display" = 0 ]; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  else
    # This wine finds fonts-wine's TrueType fonts only in the prefix.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  # The port mapping is read when the server starts: start it anew.
  wineserver -k
  wineserver -w
  # The server and the session's services (started by the first program)
  # must not hold the test's output open.
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  ;;
*)
  echo "usage: $0 start PREFIX [--display] [COMn=PATH ...] | stop PREFIX" >&2
  exit 2
  ;;
esac
