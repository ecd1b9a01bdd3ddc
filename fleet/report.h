// The batch report: a row per device, in JSON or (for a name ending in
// .csv) CSV. It is a production line's record of which device got which
// image, and what a later batch resumes from: it names the image by its
// size and CRC-32, and nothing read back from one is trusted unchecked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/device_row.h"
#include "fleet/json_text.h"

struct report_image {
  std::string path;  // as given on the command line
  std::string name;  // its file name
  uint64_t bytes = 0;
  uint32_t crc32 = 0;
  bool known = false;  // false: a report read back that does not say
};

struct batch_report {
  report_image image;
  std::string program_version;
  std::string started;    // UTC, ISO 8601 ("2026-12-08T04:13:16Z")
  std::string ended;      // empty until the batch ended, however it ended
  bool finished = false;  // every device of the batch was dealt with
  std::vector<device_row> rows;
};

// The time now as reports write it.
std::string report_time_now();

// The file name part of a path (either separator).
std::string file_name_of(const std::string& path);

bool report_is_csv(const std::string& path);

nlohmann::ordered_json report_json(const batch_report& report);
// A row's cells in the report's first twelve columns (mac to
// bytes_per_second): texts safe for a spreadsheet (a cell it would take for
// a formula gets a leading '), quoted as CSV needs.
std::vector<std::string> row_csv_cells(const device_row& row);
std::string csv_text_cell(const std::string& text);
// Lines of cells as CSV, a line break after each.
std::string csv_document(const std::vector<std::vector<std::string>>& lines);
std::string report_csv(const batch_report& report);

// The report as it is written to `path` (JSON, or CSV by its name).
std::string report_text(const std::string& path, const batch_report& report);

// An earlier report's text, in the format its name says. False with the
// reason when it is not a report of this program: every row needs a MAC
// and a known result.
bool parse_report(const std::string& path, const std::string& text, batch_report& report,
                  std::string& reason);
