#include "fleet/claiming.h"

#include "fleet/printable.h"

record_state record_state_of(const device_run& run) {
  switch (run.row.result) {
    case device_result::ok:
      return record_state::ok;
    case device_result::skipped:
      return record_state::already_installed;
    case device_result::interrupted:
    case device_result::not_found:
      return record_state::interrupted;
    default:
      return run.stage == failure_stage::model ? record_state::rejected : record_state::failed;
  }
}

attempt_result result_of(const std::string& mac, int64_t attempt, const std::string& station,
                         const device_run& run) {
  attempt_result result;
  result.mac = mac;
  result.attempt = attempt;
  result.station = station;
  result.state = record_state_of(run);
  result.row = run.row;
  result.serial_number = run.serial_number;
  result.model_number = run.model_number;
  return result;
}

passed_over why_not(const claim_outcome& claim, int max_failed) {
  switch (claim.state) {
    case record_state::ok:
      return {"ok_on_record", "updated before (on record)"};
    case record_state::already_installed:
      return {"already_installed", "already on the revision (on record)"};
    case record_state::rejected:
      return {"rejected", "of another model (on record): left alone"};
    case record_state::claimed:
      return {"claimed_elsewhere", "being updated by station " + printable(claim.holder), false};
    default:
      if (claim.failed_attempts >= max_failed)
        return {"attempts_exhausted", "failed " + std::to_string(claim.failed_attempts) +
                                          " times (as often as allowed): left alone"};
      return {"not_claimed", "not claimed now", false};
  }
}
