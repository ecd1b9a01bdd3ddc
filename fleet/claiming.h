// What a station that claims its devices in a shared record (a line, or a
// batch with a record) says of a claim and writes of an attempt: the same
// words and states for both.
#pragma once

#include <string>

#include "fleet/device_session.h"
#include "fleet/record_store.h"

// What the record keeps of a device's run: ok; already_installed for a
// device left alone on the revision it was to come back on; rejected for
// one of another model; interrupted for a run that ended without a verdict
// (Ctrl+C, or a device not found); else failed.
record_state record_state_of(const device_run& run);

// The attempt's result as the record takes it.
attempt_result result_of(const std::string& mac, int64_t attempt, const std::string& station,
                         const device_run& run);

// A claim the record did not grant: what a program (`reason`, stable) and a
// person are told, and whether the device is left alone for good.
struct passed_over {
  std::string reason;
  std::string words;
  bool for_good = true;
};
passed_over why_not(const claim_outcome& claim, int max_failed);
