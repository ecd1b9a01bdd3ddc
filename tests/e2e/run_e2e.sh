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
  [ -f "$prefix/system.reg" ] && return 0
  echo "e2e: creating the Wine prefix $prefix"
  timeout 300 wineboot -i >/dev/null 2>&1
  # Let Wine draw the title bars itself, so that screenshots show them
  # whether or not a window manager runs.
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  timeout 60 wineserver -w
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
