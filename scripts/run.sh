#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine against the simulated
# device.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
if ! ls build/windows/app/*.exe >/dev/null 2>&1; then
  echo "run: the Windows program is not built yet (app/ is still missing); the libraries and the stand-in warble.dll are in build/windows"
  exit 1
fi
