#!/usr/bin/env bash
# tavren-update.exe under Wine, in a Wine prefix and a folder of this test's
# own: its version, a scan and an update of the stand-in's default world
# with warble.dll beside the program, and no library taken from the current
# folder when none is beside the program.
#
#   cli_smoke.sh WORK EXE WARBLE_DLL
set -uo pipefail

work=$1 exe=$2 dll=$3
. "$(dirname "$0")/../../scripts/xvfb_wine.sh"
# A console program needs no display; Wine still needs its prefix.
use_wine_prefix "$work/wineprefix"
unset DISPLAY

failures=0
fail() {
  echo "cli_smoke: $*"
  failures=$((failures + 1))
}

# Runs the program; its status in $status, its output in $out and $err.
run() {
  timeout 120 wine "$@" >"$work/out.txt" 2>"$work/err.txt"
  status=$?
  out=$(tr -d '\r' <"$work/out.txt")
  err=$(tr -d '\r' <"$work/err.txt")
}

rm -rf "$work/program" "$work/alone" "$work/elsewhere"
mkdir -p "$work/program" "$work/alone" "$work/elsewhere"
cp "$exe" "$dll" "$work/program/"
cp "$exe" "$work/alone/"
cp "$dll" "$work/elsewhere/"
head -c 3000 /dev/urandom >"$work/elsewhere/image.bin"

if [ ! -d "$work/wineprefix/drive_c" ]; then
  timeout 300 wineboot -i >/dev/null 2>&1 || fail "the Wine prefix could not be made"
fi

# Started from another folder: the library is found by the program's own.
cd "$work/elsewhere" || exit 1
run "$work/program/tavren-update.exe" --version
[ "$status" -eq 0 ] && [ "$out" = "1.03" ] || fail "--version gave $status: $out $err"

run "$work/program/tavren-update.exe" scan --json --seconds 3
[ "$status" -eq 0 ] || fail "scan --json ended with $status: $err"
grep -q '"mac": "C4:7C:8D:6A:3E:01"' <<<"$out" &&
  grep -q '"name": "TAVREN RD"' <<<"$out" &&
  grep -q '"rssi": -67' <<<"$out" || fail "scan --json printed: $out"

run "$work/program/tavren-update.exe" update c4:7c:8d:6a:3e:01 image.bin --json
[ "$status" -eq 0 ] || fail "update ended with $status: $err"
grep -q '"result": "ok"' <<<"$out" && grep -q '"bytes": 3000' <<<"$out" ||
  fail "update --json printed: $out"

# A warble.dll in the current folder is not the program's.
run "$work/alone/tavren-update.exe" scan --seconds 1
[ "$status" -eq 4 ] || fail "without a library beside it the program ended with $status: $err"

timeout 30 wineserver -k >/dev/null 2>&1
[ "$failures" -eq 0 ] && echo "cli_smoke: passed"
exit "$failures"
