// The batch report: a row per device, in JSON or (for a name ending in
// .csv) CSV, rewritten whole after every device so that it always tells
// where the batch stands, even after a crash or a power cut.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/device_session.h"

struct batch_report {
  std::string image;
  bool finished = false;  // every device of the batch was dealt with
  std::vector<device_row> rows;
};

bool report_is_csv(const std::string& path);

nlohmann::ordered_json row_json(const device_row& row);
nlohmann::ordered_json report_json(const batch_report& report);
std::string report_csv(const batch_report& report);

// Written beside `path` under another name, pushed to the disk, then put in
// its place: a reader finds the previous report or this one, whole. False
// with the reason when it could not be written.
bool write_report(const std::string& path, const batch_report& report, std::string& reason);

// An earlier report, in either format; false with the reason.
bool read_report(const std::string& path, batch_report& report, std::string& reason);

// The one way every JSON document of the command line is written: text from
// devices and file names that is not valid UTF-8 is replaced, not refused.
std::string json_text(const nlohmann::ordered_json& document);
