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

# A batch keeps its report: written whole, nothing left beside it; never
# over its own image; and one batch at a time, the second told which process
# holds it.
printf 'C4:7C:8D:6A:3E:01\n' >devices.txt
run "$work/program/tavren-update.exe" batch image.bin --devices devices.txt --report report.csv
[ "$status" -eq 0 ] || fail "batch ended with $status: $err"
head -n 1 report.csv | grep -q ',image_bytes,image_crc32,' || fail "report.csv: $(cat report.csv)"
leftovers=$(ls -A | grep -v -x -e image.bin -e devices.txt -e report.csv -e warble.dll)
[ -z "$leftovers" ] || fail "left beside the report: $leftovers"
cp image.bin image.before
run "$work/program/tavren-update.exe" batch image.bin --devices devices.txt --report image.bin
[ "$status" -eq 2 ] && cmp -s image.bin image.before || fail "--report IMAGE ended with $status"
rm -f image.before

# A slow link (200 packets, 3 intervals of 30 ms each) keeps the first batch
# busy while the second one starts.
head -c 48000 /dev/urandom >slow.bin
printf 'connection_interval_ms = 30\n' >slow-world.txt
WARBLE_SIM_SCENARIO="$work/elsewhere/slow-world.txt" timeout 120 wine \
  "$work/program/tavren-update.exe" batch slow.bin --devices devices.txt --report slow.json \
  >"$work/first-out.txt" 2>"$work/first-err.txt" &
first=$!
for _ in $(seq 1 600); do
  grep -q '"devices"' slow.json 2>/dev/null && break
  sleep 0.1
done
run "$work/program/tavren-update.exe" batch slow.bin --devices devices.txt --report slow.json
[ "$status" -eq 2 ] && grep -q 'in use by another batch (process [0-9]' <<<"$err" ||
  fail "a second batch on the same report ended with $status: $err"
wait "$first"
first_status=$?
[ "$first_status" -eq 0 ] || fail "the first batch ended with $first_status: $(cat "$work/first-err.txt")"
grep -q '"result": "ok"' slow.json || fail "slow.json: $(cat slow.json)"
[ ! -e slow.json.lock ] || fail "the lock stayed behind"

# A warble.dll in the current folder is not the program's.
run "$work/alone/tavren-update.exe" scan --seconds 1
[ "$status" -eq 4 ] || fail "without a library beside it the program ended with $status: $err"

timeout 30 wineserver -k >/dev/null 2>&1
[ "$failures" -eq 0 ] && echo "cli_smoke: passed"
exit "$failures"
