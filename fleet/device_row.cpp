#include "fleet/device_row.h"

#include <cmath>

#include "fleet/json_text.h"

namespace {

using json = nlohmann::ordered_json;

constexpr device_result ALL_RESULTS[] = {device_result::ok, device_result::failed,
                                         device_result::skipped, device_result::not_found,
                                         device_result::interrupted};

double milliseconds_rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

uint64_t whole(double value) {
  return value > 0 ? static_cast<uint64_t>(std::llround(value)) : 0;
}

}  // namespace

const char* device_result_name(device_result result) {
  switch (result) {
    case device_result::ok:
      return "ok";
    case device_result::failed:
      return "failed";
    case device_result::skipped:
      return "skipped";
    case device_result::not_found:
      return "not_found";
    default:
      return "interrupted";
  }
}

bool device_result_named(const std::string& name, device_result& result) {
  for (device_result each : ALL_RESULTS) {
    if (name == device_result_name(each)) {
      result = each;
      return true;
    }
  }
  return false;
}

json row_json(const device_row& row) {
  json object;
  object["mac"] = row.mac;
  object["name"] = text_or_null(row.name);
  object["revision_before"] = text_or_null(row.revision_before);
  object["revision_after"] = text_or_null(row.revision_after);
  object["result"] = device_result_name(row.result);
  object["error"] = text_or_null(row.error);
  object["error_code"] = text_or_null(row.error_code);
  object["detail"] = text_or_null(row.detail);
  object["attempts"] = row.attempts;
  object["bytes"] = row.bytes;
  object["seconds"] = milliseconds_rounded(row.seconds);
  object["bytes_per_second"] = whole(row.bytes_per_second);
  return object;
}

device_row row_from_fields(const json& object) {
  device_row row;
  row.mac = json_string_at(object, "mac");
  row.name = json_string_at(object, "name");
  row.revision_before = json_string_at(object, "revision_before");
  row.revision_after = json_string_at(object, "revision_after");
  row.error = json_string_at(object, "error");
  row.error_code = json_string_at(object, "error_code");
  row.detail = json_string_at(object, "detail");
  row.attempts = static_cast<int>(json_number_at(object, "attempts"));
  row.bytes = static_cast<uint64_t>(json_number_at(object, "bytes"));
  row.seconds = json_number_at(object, "seconds");
  row.bytes_per_second = json_number_at(object, "bytes_per_second");
  return row;
}

json done_event(const device_row& row) {
  json event;
  event["event"] = "done";
  const json fields = row_json(row);
  for (auto field = fields.begin(); field != fields.end(); ++field) event[field.key()] = *field;
  return event;
}
