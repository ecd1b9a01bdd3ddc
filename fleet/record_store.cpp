#include "fleet/record_store.h"

#include <cstdio>

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

}  // namespace

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
