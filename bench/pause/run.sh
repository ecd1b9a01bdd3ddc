#!/usr/bin/env bash
# The pause figures of the Windows build, under Wine (on a private Xvfb
# when there is no display): cross-builds pause_bench and runs it.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset windows >/dev/null
cmake --build --preset windows --target pause_bench >/dev/null
. scripts/xvfb_wine.sh
use_wine_prefix "$PWD/build/windows/wine-bench"
timeout 600 wine build/windows/bench/pause/pause_bench.exe "$@"
timeout 30 wineserver -k >/dev/null 2>&1 || true
