#!/usr/bin/env bash
# Runs the end-to-end driver under Wine, in a Wine prefix of the tests' own,
# on the current display or on a private Xvfb when there is none. Leaves no
# Wine process behind: every run ends with wineserver -k on that prefix.
#
#   run_e2e.sh prepare PREFIX RUNS              make the prefix (once)
#   run_e2e.sh run PREFIX RUNS DRIVER ARGS...   run the driver with ARGS
set -uo pipefail

mode=$1 prefix=$2 runs=$3
shift 3

. "$(dirname "$0")/../../scripts/xvfb_wine.sh"
start_xvfb_unless_display || { echo "e2e: Xvfb did not start"; exit 1; }
use_wine_prefix "$prefix"
mkdir -p "$runs"

make_prefix() {
  if [ ! -f "$prefix/system.reg" ]; then
    echo "e2e: creating the Wine prefix $prefix"
    timeout 300 wineboot -i >/dev/null 2>&1
  fi
  # Windows that no window manager manages, with title bars Wine draws
  # itself. Without a window manager, a managed window holds the thread that
  # maps or unmaps it for up to 2 s (Wine waits for the manager's answer),
  # so every box shown or closed would stall the program and the driver's
  # reads. Checked on every run: a prefix made by an interrupted run may
  # lack the keys.
  if ! grep -q '"Managed"="N"' "$prefix/user.reg" 2>/dev/null ||
     ! grep -q '"Decorated"="N"' "$prefix/user.reg" 2>/dev/null; then
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    timeout 60 wineserver -w
  fi
  [ -f "$prefix/system.reg" ]
}

convert_screenshots() {
  local since=$1 bmp png
  while IFS= read -r bmp; do
    png=${bmp%.bmp}.png
    if convert "$bmp" "$png" 2>/dev/null; then
      rm -f "$bmp"
      echo "e2e: screenshot $png"
    fi
  done < <(find "$runs" -name '*.bmp' -newer "$since" 2>/dev/null | sort)
}

case $mode in
  prepare)
    make_prefix
    status=$?
    ;;
  run)
    make_prefix || { echo "e2e: no Wine prefix"; exit 1; }
    driver=$1
    shift
    stamp=$(mktemp)
    timeout 280 wine "$driver" "$@"
    status=$?
    convert_screenshots "$stamp"
    rm -f "$stamp"
    ;;
  *)
    echo "usage: $0 prepare|run PREFIX RUNS [DRIVER ARGS...]" >&2
    status=2
    ;;
esac

timeout 30 wineserver -k >/dev/null 2>&1
[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
exit $status
