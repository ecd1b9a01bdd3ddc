// Seeded random fault scenarios for the whole update path (connect, update,
// close) against the stand-in, each checked for the invariants that must
// hold whatever the device and the library do. Shared by the bounded soak
// test and the long-running soak bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct soak_result {
  uint32_t seed = 0;
  std::string scenario;                 // the scenario text the stand-in ran
  std::vector<std::string> violations;  // empty when every invariant held
  bool connected = false;
  bool success_shown = false;
  // Library calls on handles of a link already gone, as the stand-in
  // counted them; any such call is also a violation.
  int32_t dead_handle_calls = 0;
};

// Loads the library and starts the worker once per process; installs a
// recording display for the scenarios.
void soak_start_program();

// Ends the worker (the display stays for any late library thread).
void soak_stop_program();

// One scenario, fully run and checked. Leaves no connection open.
soak_result run_soak_scenario(uint32_t seed);
