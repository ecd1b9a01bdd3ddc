#include "fleet/record_store.h"

#include <cstdio>

#include "fleet/json_text.h"
#include "fleet/mac_address.h"

namespace {

struct state_name {
  record_state state;
  const char* name;
};

constexpr state_name STATE_NAMES[] = {
    {record_state::open, "open"},
    {record_state::claimed, "claimed"},
    {record_state::ok, "ok"},
    {record_state::failed, "failed"},
    {record_state::already_installed, "already_installed"},
    {record_state::rejected, "rejected"},
    {record_state::interrupted, "interrupted"},
};

using json = nlohmann::ordered_json;

// The row's fields as a line keeps them: its times unrounded.
json row_fields(const device_row& row) {
  json fields = row_json(row);
  fields.erase("result");
  fields["seconds"] = row.seconds;
  fields["bytes_per_second"] = row.bytes_per_second;
  return fields;
}

}  // namespace

json result_json(const attempt_result& result) {
  return json{{"mac", result.mac},
              {"attempt", result.attempt},
              {"station", result.station},
              {"state", record_state_name(result.state)},
              {"row", row_fields(result.row)},
              {"serial_number", result.serial_number},
              {"model_number", result.model_number}};
}

bool result_from_json(const json& object, attempt_result& result) {
  if (!object.is_object()) return false;
  result.mac = json_string_at(object, "mac");
  result.attempt = json_integer_at(object, "attempt");
  result.station = json_string_at(object, "station");
  result.serial_number = json_string_at(object, "serial_number");
  result.model_number = json_string_at(object, "model_number");
  const auto fields = object.find("row");
  result.row =
      fields != object.end() && fields->is_object() ? row_from_fields(*fields) : device_row{};
  return is_mac_address(result.mac) && result.attempt > 0 &&
         record_state_named(json_string_at(object, "state"), result.state);
}

std::string campaign_key(const campaign& c) {
  char image[48];
  snprintf(image, sizeof image, "%llu/0x%08X", static_cast<unsigned long long>(c.image_bytes),
           static_cast<unsigned>(c.image_crc32));
  // The texts last and each with its length, so that no revision or model
  // can be spelled to look like another pair.
  return std::string(image) + "/" + std::to_string(c.expected_revision.size()) + ":" +
         c.expected_revision + "/" + std::to_string(c.model.size()) + ":" + c.model;
}

const char* record_state_name(record_state state) {
  for (const state_name& each : STATE_NAMES) {
    if (each.state == state) return each.name;
  }
  return "open";
}

bool record_state_named(const std::string& name, record_state& state) {
  for (const state_name& each : STATE_NAMES) {
    if (name == each.name) {
      state = each.state;
      return true;
    }
  }
  return false;
}

bool record_state_final(record_state state) {
  return state == record_state::ok || state == record_state::already_installed ||
         state == record_state::rejected;
}
