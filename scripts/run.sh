#!/usr/bin/env bash
# Builds the Windows program and runs it against the simulated device: on
# Linux under Wine (on a private Xvfb when there is no display), with a demo
# world of a few devices, one of them ours, and a sample firmware image.
# Saves a screenshot of the main window and keeps the program running until
# Ctrl+C, or for RUN_SECONDS seconds when that is set; then closes it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows
demo=$build/demo
title="TAVREN Firmware Update Utility"

case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    # On Windows the program runs as it is, next to the warble.dll it finds.
    exec "$build/app/TavrenUpdate.exe"
    ;;
esac

./scripts/bootstrap.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target TavrenUpdate warble

# The demo's own folder: the program with the stand-in library beside it.
mkdir -p "$demo"
cp "$build/app/TavrenUpdate.exe" "$build/sim/warble.dll" "$demo/"
exe=$demo/TavrenUpdate.exe

cat >"$demo/scenario.txt" <<'WORLD'
# Demo world: our device and a few strangers. Link timing and late reads
# as over a real radio, so that the progress is visible.
connection_interval_ms = 15
advertise_interval_ms = 200

[device]
mac = C4:7C:8D:6A:3E:01
name = TAVREN RD
rssi = -67
firmware_revision = 1.05
manufacturer = TAVREN
model_number = RD-1
serial_number = SN0001
late_completion_ms = 300

[device]
mac = 5A:10:22:33:44:55
name = Kitchen Speaker
rssi = -81
proprietary = no

[device]
mac = E2:9B:04:7D:10:AF
name = HR Monitor
rssi = -74
proprietary = no
WORLD
[ -f "$demo/sample-firmware.bin" ] || head -c 24576 /dev/urandom >"$demo/sample-firmware.bin"

. scripts/xvfb_wine.sh
# A Wine prefix of the demo's own, so that closing it touches nothing else.
use_wine_prefix "$build/wine-demo"
start_xvfb_unless_display || { echo "run: Xvfb did not start"; exit 1; }
[ -n "$xvfb_pid" ] && echo "run: started Xvfb on $DISPLAY"

program=""
finish() {
  trap - INT TERM EXIT
  if [ -n "$program" ] && kill -0 "$program" 2>/dev/null; then
    echo "run: closing the program"
    kill "$program" 2>/dev/null || true
  fi
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap finish INT TERM EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run: preparing Wine (first run only)"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
fi
# On our own Xvfb no window manager draws title bars: let Wine draw them.
managed=Y
[ -n "$xvfb_pid" ] && managed=N
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >/dev/null 2>&1 || true

export WARBLE_SIM_SCENARIO
WARBLE_SIM_SCENARIO=$(winepath -w "$demo/scenario.txt" 2>/dev/null)
(cd "$demo" && exec wine "$exe" >"$demo/stdout.txt" 2>"$demo/stderr.txt") &
program=$!

window=""
for _ in $(seq 600); do
  window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  kill -0 "$program" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$window" ]; then
  echo "run: the main window did not appear; the program printed:"
  cat "$demo/stdout.txt" "$demo/stderr.txt"
  exit 1
fi
sleep 1  # let it paint
eval "$(xdotool getwindowgeometry --shell "$window")"
shot=$demo/main-window.png
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shot" 2>/dev/null ||
  import -window "$window" "$shot"
echo "run: the main window is up on $DISPLAY; screenshot saved to $shot"
echo "run: sample firmware image: $(winepath -w "$demo/sample-firmware.bin" 2>/dev/null)"
echo "run: the program's trace goes to $demo/stdout.txt"

if [ -n "${RUN_SECONDS:-}" ]; then
  echo "run: closing in $RUN_SECONDS s"
  for _ in $(seq "$RUN_SECONDS"); do
    kill -0 "$program" 2>/dev/null || break
    sleep 1
  done
else
  echo "run: press Ctrl+C to close it"
  wait "$program" || true
fi
