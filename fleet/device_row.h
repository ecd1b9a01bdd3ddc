// What became of one device, in the words of the report: the row every
// command says of a device it is done with, and its JSON.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// How it went for one device.
enum class device_result { ok, failed, skipped, not_found, interrupted };
const char* device_result_name(device_result result);
bool device_result_named(const std::string& name, device_result& result);

// A row of the batch report; the update command says the same things.
struct device_row {
  std::string mac;
  std::string name;             // as advertised; empty when it advertised none
  std::string revision_before;  // Firmware Revision read at the first connection
  std::string revision_after;   // read when the update was verified
  device_result result = device_result::not_found;
  std::string error;       // the failing step's own text; empty when none failed
  std::string error_code;  // stable, for scripts; empty when none failed
  std::string detail;      // what exactly went wrong, for a person; may be empty
  int attempts = 0;        // tries at updating it (a failed connection counts)
  uint64_t bytes = 0;
  double seconds = 0;  // of the latest transfer
  double bytes_per_second = 0;
};

// The row's fields as JSON, in the report's order (times rounded to the
// millisecond, the pace to a whole number).
nlohmann::ordered_json row_json(const device_row& row);

// A row's fields read back from such JSON, all but its result; what is not
// there stays empty.
device_row row_from_fields(const nlohmann::ordered_json& object);

// The progress stream's event for a device the command is done with: the
// row's fields.
nlohmann::ordered_json done_event(const device_row& row);
