#!/usr/bin/env bash
# Builds the Windows preset and runs the UI benchmark under Wine (on a
# private Xvfb when there is no display). Prints figures only.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${RD_BUILD_DIR:-build/windows}
cmake --preset windows >/dev/null
cmake --build "$build" --target ui_bench TavrenUpdate warble
exec bash tests/e2e/run_e2e.sh run "$PWD/$build/tests/e2e/wineprefix" "$PWD/$build/bench/ui/runs" \
  "$PWD/$build/bench/ui/ui_bench.exe" --app="$PWD/$build/app/TavrenUpdate.exe" \
  --warble="$PWD/$build/sim/warble.dll" --runs="$PWD/$build/bench/ui/runs"
