// The fault soak for long runs: seeded random scenarios (connect, update,
// close against the stand-in), each checked for every invariant.
// Usage: update_soak_bench [COUNT [FIRST_SEED]]   (default 10000 from 1).
// Prints each violation with its scenario, a progress line every 500
// scenarios and a summary; exits 1 when any invariant broke.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/integration/soak_runner.h"

int main(int argc, char** argv) {
  const uint32_t count = argc > 1 ? static_cast<uint32_t>(strtoul(argv[1], nullptr, 10)) : 10000;
  const uint32_t first = argc > 2 ? static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)) : 1;
  // The report keeps standard output; the program's trace is not wanted.
  FILE* report = fdopen(dup(fileno(stdout)), "w");
  if (!report || !freopen("/dev/null", "w", stdout)) return 1;

  soak_start_program();
  uint32_t broken = 0, connected = 0, successes = 0, dead_handles = 0;
  for (uint32_t seed = first; seed < first + count; ++seed) {
    const soak_result result = run_soak_scenario(seed);
    connected += result.connected;
    successes += result.success_shown;
    dead_handles += result.dead_handle_calls != 0;
    if (!result.violations.empty()) {
      ++broken;
      for (const auto& violation : result.violations)
        fprintf(report, "seed %u: %s\n", seed, violation.c_str());
      fprintf(report, "%s\n", result.scenario.c_str());
    }
    if ((seed - first + 1) % 500 == 0)
      fprintf(report, "%u scenarios, %u broken\n", seed - first + 1, broken);
    fflush(report);
  }
  soak_stop_program();
  fprintf(report,
          "%u scenarios from seed %u: %u connected, %u successes, %u broken, %u with calls on "
          "dead handles\n",
          count, first, connected, successes, broken, dead_handles);
  fclose(report);
  return broken ? 1 : 0;
}
