#include "fleet/report.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "fleet/image_file.h"
#include "fleet/mac_address.h"
#include "platform/os.h"

namespace {

using json = nlohmann::ordered_json;

const char* const CSV_COLUMNS[] = {
    "mac",        "name",        "revision_before", "revision_after",
    "result",     "error",       "error_code",      "detail",
    "attempts",   "bytes",       "seconds",         "bytes_per_second",
    "image_name", "image_bytes", "image_crc32",     "program_version",
    "started",    "ended",       "finished"};
constexpr size_t CSV_COLUMN_COUNT = sizeof CSV_COLUMNS / sizeof CSV_COLUMNS[0];

// A spreadsheet takes a cell that begins so for a formula, and a device's
// name is anybody's text: such a cell gets a leading apostrophe, which
// spreadsheets show as text and which reading a report back takes off.
bool formula_start(char c) {
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

std::string neutralised(const std::string& text) {
  return !text.empty() && formula_start(text[0]) ? "'" + text : text;
}

std::string restored(const std::string& cell) {
  return cell.size() >= 2 && cell[0] == '\'' && formula_start(cell[1]) ? cell.substr(1) : cell;
}

double milliseconds_rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

uint64_t whole(double value) {
  return value > 0 ? static_cast<uint64_t>(std::llround(value)) : 0;
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A text cell of the report, safe for a spreadsheet.
std::string csv_text(const std::string& text) {
  return csv_field(neutralised(text));
}

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", milliseconds_rounded(seconds));
  return text;
}

// RFC 4180: fields separated by commas, quoted when they hold a comma, a
// quote or a line break, a quote inside written twice; lines end in LF or
// CRLF.
bool parse_csv(const std::string& text, std::vector<std::vector<std::string>>& records) {
  std::vector<std::string> record;
  std::string field;
  bool quoted = false, field_started = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
      continue;
    }
    if (c == '"' && !field_started) {
      quoted = field_started = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      field_started = false;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      record.push_back(std::move(field));
      records.push_back(std::move(record));
      record.clear();
      field.clear();
      field_started = false;
    } else {
      field += c;
      field_started = true;
    }
  }
  if (quoted) return false;
  if (field_started || !record.empty()) {
    record.push_back(std::move(field));
    records.push_back(std::move(record));
  }
  return true;
}

std::string text_of(const json& object, const char* key) {
  return json_string_at(object, key);
}

// A whole number written as text ("4096"), or false.
bool parse_count(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool parse_crc(const std::string& text, uint32_t& value) {
  if (text.size() != 10 || text.compare(0, 2, "0x") != 0 ||
      text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
    return false;
  value = static_cast<uint32_t>(std::strtoul(text.c_str() + 2, nullptr, 16));
  return true;
}

// The image a report names, from its fields; `known` stays false when it
// names none (an older report).
void read_image(const std::string& name, const std::string& bytes, const std::string& crc,
                report_image& image) {
  image.name = name;
  image.known = parse_count(bytes, image.bytes) && parse_crc(crc, image.crc32);
}

bool row_is_valid(const device_row& row, const std::string& result, std::string& reason,
                  const std::string& where) {
  if (!is_mac_address(row.mac)) {
    reason = where + ": \"" + row.mac + "\" is not a MAC address";
    return false;
  }
  device_result ignored;
  if (!device_result_named(result, ignored)) {
    reason = where + ": unknown result \"" + result + "\"";
    return false;
  }
  return true;
}

bool row_from_json(const json& object, device_row& row, std::string& reason,
                   const std::string& where) {
  if (!object.is_object()) {
    reason = where + ": not an object";
    return false;
  }
  row = row_from_fields(object);
  const std::string result = text_of(object, "result");
  if (!row_is_valid(row, result, reason, where)) return false;
  device_result_named(result, row.result);
  return true;
}

bool parse_json_report(const std::string& text, batch_report& report, std::string& reason) {
  const auto document = json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object() || !document.contains("devices") ||
      !document["devices"].is_array()) {
    reason = "JSON with a \"devices\" list expected";
    return false;
  }
  report.image.path = text_of(document, "image");
  const auto bytes = document.find("image_bytes");
  read_image(text_of(document, "image_name"),
             bytes != document.end() && bytes->is_number_unsigned()
                 ? std::to_string(bytes->get<uint64_t>())
                 : std::string(),
             text_of(document, "image_crc32"), report.image);
  report.program_version = text_of(document, "program_version");
  report.started = text_of(document, "started");
  report.ended = text_of(document, "ended");
  const auto finished = document.find("finished");
  report.finished = finished != document.end() && finished->is_boolean() && finished->get<bool>();
  size_t index = 0;
  for (const auto& entry : document["devices"]) {
    device_row row;
    if (!row_from_json(entry, row, reason, "device " + std::to_string(++index))) return false;
    report.rows.push_back(std::move(row));
  }
  return true;
}

bool parse_csv_report(const std::string& text, batch_report& report, std::string& reason) {
  std::vector<std::vector<std::string>> records;
  if (!parse_csv(text, records) || records.empty()) {
    reason = "CSV with a header line expected";
    return false;
  }
  const std::vector<std::string>& header = records.front();
  auto column = [&](const char* name) -> int {
    for (size_t i = 0; i < header.size(); ++i) {
      if (header[i] == name) return static_cast<int>(i);
    }
    return -1;
  };
  if (column("mac") < 0 || column("result") < 0) {
    reason = "its first line names no \"mac\" and \"result\" columns";
    return false;
  }
  bool first_row = true;
  for (size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& record = records[r];
    if (record.size() == 1 && record[0].empty()) continue;  // a blank line
    auto cell = [&](const char* name) -> std::string {
      const int at = column(name);
      return at >= 0 && static_cast<size_t>(at) < record.size()
                 ? restored(record[static_cast<size_t>(at)])
                 : std::string();
    };
    device_row row;
    row.mac = cell("mac");
    row.name = cell("name");
    row.revision_before = cell("revision_before");
    row.revision_after = cell("revision_after");
    row.error = cell("error");
    row.error_code = cell("error_code");
    row.detail = cell("detail");
    row.attempts = std::atoi(cell("attempts").c_str());
    row.bytes = std::strtoull(cell("bytes").c_str(), nullptr, 10);
    row.seconds = std::strtod(cell("seconds").c_str(), nullptr);
    row.bytes_per_second = std::strtod(cell("bytes_per_second").c_str(), nullptr);
    const std::string result = cell("result");
    if (!row_is_valid(row, result, reason, "line " + std::to_string(r + 1))) return false;
    device_result_named(result, row.result);
    // Every row names the image; they must agree, or the file was put
    // together from several batches.
    report_image image;
    read_image(cell("image_name"), cell("image_bytes"), cell("image_crc32"), image);
    if (first_row) {
      report.image = image;
      report.program_version = cell("program_version");
      report.started = cell("started");
      report.ended = cell("ended");
      report.finished = cell("finished") == "true";
      first_row = false;
    } else if (image.known != report.image.known || image.bytes != report.image.bytes ||
               image.crc32 != report.image.crc32) {
      reason = "line " + std::to_string(r + 1) + " names another image than the lines before it";
      return false;
    }
    report.rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace

std::string report_time_now() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  if (!os_utc_time(now, utc)) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string file_name_of(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

bool report_is_csv(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".csv";
}

json report_json(const batch_report& report) {
  json document;
  document["program_version"] = report.program_version;
  document["image"] = report.image.path;
  document["image_name"] = report.image.name;
  document["image_bytes"] = report.image.bytes;
  document["image_crc32"] = crc32_text(report.image.crc32);
  document["started"] = text_or_null(report.started);
  document["ended"] = text_or_null(report.ended);
  document["finished"] = report.finished;
  document["devices"] = json::array();
  for (const device_row& row : report.rows) document["devices"].push_back(row_json(row));
  return document;
}

std::vector<std::string> row_csv_cells(const device_row& row) {
  return {row.mac,
          csv_text(row.name),
          csv_text(row.revision_before),
          csv_text(row.revision_after),
          device_result_name(row.result),
          csv_text(row.error),
          csv_text(row.error_code),
          csv_text(row.detail),
          std::to_string(row.attempts),
          std::to_string(row.bytes),
          seconds_text(row.seconds),
          std::to_string(whole(row.bytes_per_second))};
}

std::string csv_text_cell(const std::string& text) {
  return csv_text(text);
}

std::string csv_document(const std::vector<std::vector<std::string>>& lines) {
  std::string text;
  for (const std::vector<std::string>& fields : lines) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i) text.push_back(',');
      text.append(fields[i]);
    }
    text.push_back('\n');
  }
  return text;
}

std::string report_csv(const batch_report& report) {
  std::vector<std::vector<std::string>> lines;
  lines.emplace_back(CSV_COLUMNS, CSV_COLUMNS + CSV_COLUMN_COUNT);
  for (const device_row& row : report.rows) {
    std::vector<std::string> cells = row_csv_cells(row);
    cells.insert(cells.end(), {csv_text(report.image.name), std::to_string(report.image.bytes),
                               crc32_text(report.image.crc32), csv_text(report.program_version),
                               report.started, report.ended, report.finished ? "true" : "false"});
    lines.push_back(std::move(cells));
  }
  return csv_document(lines);
}

std::string report_text(const std::string& path, const batch_report& report) {
  return report_is_csv(path) ? report_csv(report) : json_text(report_json(report));
}

bool parse_report(const std::string& path, const std::string& text, batch_report& report,
                  std::string& reason) {
  return report_is_csv(path) ? parse_csv_report(text, report, reason)
                             : parse_json_report(text, report, reason);
}
