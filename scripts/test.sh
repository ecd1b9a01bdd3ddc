#!/usr/bin/env bash
# Builds every preset and runs every test: native (unit and integration),
# ASan+UBSan, TSan, and the Windows cross-build with its end-to-end tests
# under Wine, with a PostgreSQL server of its own for the line record's tests.
# Ends with one "N passed, N failed" line; exits non-zero when anything
# failed.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/bootstrap.sh || exit 1

presets=(${RD_PRESETS:-native asan tsan windows})
jobs=${RD_JOBS:-$(nproc)}
total_passed=0
total_failed=0
broken=()

# A throwaway PostgreSQL server for the line record's tests, removed at the
# end however the run ends. Once it is up its tests must find it: they fail
# rather than skip. A test that stops a server makes one of its own with
# the same script (tests/support/pg_test_support.h).
pg_dir=$(mktemp -d /tmp/tavren-pg.XXXXXX)
trap './scripts/pg_test_server.sh down "$pg_dir" >/dev/null 2>&1 || rm -rf "$pg_dir"' EXIT
echo "=== PostgreSQL test server"
if TAVREN_TEST_POSTGRES=$(./scripts/pg_test_server.sh up "$pg_dir"); then
  export TAVREN_TEST_POSTGRES
  export TAVREN_TEST_POSTGRES_REQUIRED=1
  echo "PostgreSQL for the tests: $TAVREN_TEST_POSTGRES"
else
  broken+=("postgresql test server (start)")
  total_failed=$((total_failed + 1))
fi

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    broken+=("$preset (build)")
    total_failed=$((total_failed + 1))
    continue
  fi
  echo "=== $preset: test"
  log=$(mktemp)
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$summary" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    total_passed=$((total_passed + all - failed))
    total_failed=$((total_failed + failed))
    [ "$failed" -gt 0 ] && broken+=("$preset")
  elif ! grep -q 'No tests were found' "$log"; then
    broken+=("$preset (ctest)")
    total_failed=$((total_failed + 1))
  fi
  rm -f "$log"
done

[ ${#broken[@]} -gt 0 ] && echo "failing: ${broken[*]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
