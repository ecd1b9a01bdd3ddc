#include "cli/report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/os.h"

namespace {

const char* const CSV_COLUMNS[] = {"mac",    "name",    "revision_before",
                                   "result", "error",   "attempts",
                                   "bytes",  "seconds", "bytes_per_second"};
constexpr size_t CSV_COLUMN_COUNT = sizeof CSV_COLUMNS / sizeof CSV_COLUMNS[0];

// Text that was never learnt, or a step that never failed, is null.
nlohmann::ordered_json text_or_null(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

double milliseconds_rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

uint64_t whole(double value) {
  return value > 0 ? static_cast<uint64_t>(std::llround(value)) : 0;
}

bool ends_with_csv(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".csv";
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

bool read_whole_file(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  // A report edited and saved by a spreadsheet may start with a byte order
  // mark.
  constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";
  if (text.rfind(UTF8_BOM, 0) == 0) text.erase(0, sizeof UTF8_BOM - 1);
  return true;
}

std::string text_of(const nlohmann::ordered_json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double number_of(const nlohmann::ordered_json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? found->get<double>() : 0.0;
}

bool row_from_json(const nlohmann::ordered_json& object, device_row& row) {
  if (!object.is_object()) return false;
  row.mac = text_of(object, "mac");
  row.name = text_of(object, "name");
  row.revision_before = text_of(object, "revision_before");
  row.error = text_of(object, "error");
  row.attempts = static_cast<int>(number_of(object, "attempts"));
  row.bytes = static_cast<uint64_t>(number_of(object, "bytes"));
  row.seconds = number_of(object, "seconds");
  row.bytes_per_second = number_of(object, "bytes_per_second");
  return !row.mac.empty() && device_result_named(text_of(object, "result"), row.result);
}

bool read_json_report(const std::string& text, batch_report& report, std::string& reason) {
  const auto document = nlohmann::ordered_json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object() || !document.contains("devices") ||
      !document["devices"].is_array()) {
    reason = "not a report of this program (JSON with a \"devices\" list)";
    return false;
  }
  report.image = text_of(document, "image");
  const auto finished = document.find("finished");
  report.finished = finished != document.end() && finished->is_boolean() && finished->get<bool>();
  for (const auto& entry : document["devices"]) {
    device_row row;
    if (!row_from_json(entry, row)) {
      reason = "a device without a MAC or with an unknown result";
      return false;
    }
    report.rows.push_back(std::move(row));
  }
  return true;
}

bool read_csv_report(const std::string& text, batch_report& report, std::string& reason) {
  std::vector<std::vector<std::string>> records;
  if (!parse_csv(text, records) || records.empty()) {
    reason = "not a CSV report of this program";
    return false;
  }
  const std::vector<std::string>& header = records.front();
  auto column = [&](const char* name) -> int {
    for (size_t i = 0; i < header.size(); ++i) {
      if (header[i] == name) return static_cast<int>(i);
    }
    return -1;
  };
  const int mac = column("mac"), result = column("result");
  if (mac < 0 || result < 0) {
    reason = "its first line names no \"mac\" and \"result\" columns";
    return false;
  }
  for (size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& record = records[r];
    if (record.size() == 1 && record[0].empty()) continue;  // a blank line
    auto cell = [&](const char* name) -> std::string {
      const int at = column(name);
      return at >= 0 && static_cast<size_t>(at) < record.size() ? record[static_cast<size_t>(at)]
                                                                : std::string();
    };
    device_row row;
    row.mac = cell("mac");
    row.name = cell("name");
    row.revision_before = cell("revision_before");
    row.error = cell("error");
    row.attempts = std::atoi(cell("attempts").c_str());
    row.bytes = std::strtoull(cell("bytes").c_str(), nullptr, 10);
    row.seconds = std::strtod(cell("seconds").c_str(), nullptr);
    row.bytes_per_second = std::strtod(cell("bytes_per_second").c_str(), nullptr);
    if (row.mac.empty() || !device_result_named(cell("result"), row.result)) {
      reason = "line " + std::to_string(r + 1) + ": no MAC or an unknown result";
      return false;
    }
    report.rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace

bool report_is_csv(const std::string& path) {
  return ends_with_csv(path);
}

nlohmann::ordered_json row_json(const device_row& row) {
  nlohmann::ordered_json object;
  object["mac"] = row.mac;
  object["name"] = row.name;
  object["revision_before"] = text_or_null(row.revision_before);
  object["result"] = device_result_name(row.result);
  object["error"] = text_or_null(row.error);
  object["attempts"] = row.attempts;
  object["bytes"] = row.bytes;
  object["seconds"] = milliseconds_rounded(row.seconds);
  object["bytes_per_second"] = whole(row.bytes_per_second);
  return object;
}

nlohmann::ordered_json report_json(const batch_report& report) {
  nlohmann::ordered_json document;
  document["image"] = report.image;
  document["finished"] = report.finished;
  document["devices"] = nlohmann::ordered_json::array();
  for (const device_row& row : report.rows) document["devices"].push_back(row_json(row));
  return document;
}

std::string report_csv(const batch_report& report) {
  std::vector<std::vector<std::string>> lines;
  lines.emplace_back(CSV_COLUMNS, CSV_COLUMNS + CSV_COLUMN_COUNT);
  for (const device_row& row : report.rows) {
    lines.push_back({csv_field(row.mac), csv_field(row.name), csv_field(row.revision_before),
                     device_result_name(row.result), csv_field(row.error),
                     std::to_string(row.attempts), std::to_string(row.bytes),
                     seconds_text(row.seconds), std::to_string(whole(row.bytes_per_second))});
  }
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

std::string json_text(const nlohmann::ordered_json& document) {
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool write_report(const std::string& path, const batch_report& report, std::string& reason) {
  const std::string text =
      report_is_csv(path) ? report_csv(report) : json_text(report_json(report));
  // Beside the report, so that putting it in place is a rename within one
  // folder (one file system), never a copy.
  const std::string temporary = path + "." + std::to_string(os_process_id()) + ".tmp";
  FILE* file = os_create_file(temporary.c_str());
  if (!file) {
    reason = "cannot create " + temporary;
    return false;
  }
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool committed = written && os_commit_file(file);
  const bool closed = fclose(file) == 0;
  if (!committed || !closed || !os_replace_file(temporary.c_str(), path.c_str())) {
    std::remove(temporary.c_str());
    reason = "cannot write " + path;
    return false;
  }
  return true;
}

bool read_report(const std::string& path, batch_report& report, std::string& reason) {
  std::string text;
  if (!read_whole_file(path, text)) {
    reason = "cannot read " + path;
    return false;
  }
  const bool read = report_is_csv(path) ? read_csv_report(text, report, reason)
                                        : read_json_report(text, report, reason);
  if (!read) reason = path + ": " + reason;
  return read;
}
