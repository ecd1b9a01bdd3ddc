#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <map>

namespace sim {

namespace {

// The advertised name that tests use to see how a program copes with a
// name longer than any list column.
constexpr size_t LONG_NAME_LENGTH = 300;
// The longest value a single read can carry.
constexpr size_t LONG_INFORMATION_LENGTH = 255;
constexpr const char* FIRST_DEVICE_MAC = "C4:7C:8D:6A:3E:01";

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool parse_int(std::string_view text, int64_t low, int64_t high, int64_t& out) {
  int base = 10;
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
  int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < low || value > high) return false;
  out = value;
  return true;
}

template <typename T>
bool parse_into(std::string_view text, int64_t low, int64_t high, T& out) {
  int64_t value = 0;
  if (!parse_int(text, low, high, value)) return false;
  out = static_cast<T>(value);
  return true;
}

bool parse_double(std::string_view text, double low, double high, double& out) {
  std::string copy(text);
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size()) return false;
  if (!(value >= low && value <= high)) return false;
  out = value;
  return true;
}

bool parse_yes_no(std::string_view text, bool& out) {
  std::string word = lower(text);
  if (word == "yes" || word == "true" || word == "1") {
    out = true;
    return true;
  }
  if (word == "no" || word == "false" || word == "0") {
    out = false;
    return true;
  }
  return false;
}

// "01 05 00 2A", "01:05:00:2a" or "0105002a".
bool parse_hex_bytes(std::string_view text, std::vector<uint8_t>& out) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c != ' ' && c != ':' && c != ',' && c != '\t') {
      return false;
    }
  }
  if (digits.size() % 2 != 0 || digits.size() / 2 > 255) return false;
  out.clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool is_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash_place != (text[i] == '-')) return false;
    if (!dash_place && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool parse_uuid_list(std::string_view text, std::set<std::string>& out) {
  out.clear();
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view item = trim(text.substr(0, comma));
    if (!is_uuid(item)) return false;
    out.insert(lower(item));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return !out.empty();
}

bool parse_selector(std::string_view text, uuid_selector& out) {
  out = uuid_selector();
  if (lower(text) == "all") {
    out.all = true;
    return true;
  }
  return parse_uuid_list(text, out.uuids);
}

bool parse_information(std::string_view text, std::optional<std::string>& out) {
  if (text == "<absent>") {
    out.reset();
  } else if (text == "<empty>") {
    out = std::string();
  } else if (text == "<long>") {
    std::string value;
    for (size_t i = 0; value.size() < LONG_INFORMATION_LENGTH; ++i) value += char('A' + i % 26);
    out = value;
  } else {
    if (text.size() > 255) return false;
    out = std::string(text);
  }
  return true;
}

bool parse_name(device_config& device, std::string_view text) {
  device.name_is_null = false;
  if (text == "<null>") {
    device.name_is_null = true;
    device.name.clear();
  } else if (text == "<empty>") {
    device.name.clear();
  } else if (text == "<long>") {
    device.name.clear();
    while (device.name.size() < LONG_NAME_LENGTH) device.name += "Long device name ";
    device.name.resize(LONG_NAME_LENGTH);
  } else {
    device.name = std::string(text);
  }
  return true;
}

// "0x004C:0102FF" (company id, then the data bytes).
bool parse_manufacturer_data(std::string_view text, std::vector<manufacturer_data>& out) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  manufacturer_data entry;
  if (!parse_into(trim(text.substr(0, colon)), 0, 0xFFFF, entry.company_id)) return false;
  if (!parse_hex_bytes(trim(text.substr(colon + 1)), entry.bytes)) return false;
  out.push_back(entry);
  return true;
}

// "N:MS"
bool parse_late_reply(device_config& device, std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  return parse_into(trim(text.substr(0, colon)), 1, INT32_MAX, device.late_reply_frame) &&
         parse_into(trim(text.substr(colon + 1)), 0, INT32_MAX, device.late_reply_ms);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(separator);
    parts.push_back(trim(text.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// "KIND:N"
bool parse_link_drop(device_config& device, std::string_view text) {
  static const std::pair<const char*, request_kind> kinds[] = {{"frame", request_kind::frame},
                                                               {"command", request_kind::command},
                                                               {"read", request_kind::read},
                                                               {"enable", request_kind::enable},
                                                               {"disable", request_kind::disable}};
  auto parts = split(text, ':');
  if (parts.size() != 2) return false;
  link_drop drop;
  if (!parse_into(parts[1], 1, INT32_MAX, drop.number)) return false;
  for (const auto& [name, kind] : kinds) {
    if (lower(parts[0]) != name) continue;
    drop.kind = kind;
    device.drop_link_at.push_back(drop);
    return true;
  }
  return false;
}

// "N:before|after:VALUE[:DELAY_MS]"
bool parse_unprompted_status(device_config& device, std::string_view text) {
  auto parts = split(text, ':');
  if (parts.size() != 3 && parts.size() != 4) return false;
  unprompted_status status;
  std::string when = lower(parts[1]);
  if (when != "before" && when != "after") return false;
  status.after = when == "after";
  if (!parse_into(parts[0], 1, INT32_MAX, status.frame) ||
      !parse_into(parts[2], 0, 255, status.value))
    return false;
  if (parts.size() == 4 && (!status.after || !parse_into(parts[3], 0, INT32_MAX, status.delay_ms)))
    return false;
  device.unprompted.push_back(status);
  return true;
}

// "N:MS"
bool parse_late_status_command(device_config& device, std::string_view text) {
  auto parts = split(text, ':');
  return parts.size() == 2 && parse_into(parts[0], 1, INT32_MAX, device.late_status_command) &&
         parse_into(parts[1], 0, INT32_MAX, device.late_status_ms);
}

using device_setter = std::function<bool(device_config&, std::string_view)>;
using global_setter = std::function<bool(world_config&, std::string_view)>;

const std::map<std::string, global_setter>& global_keys() {
  static const auto* keys = new std::map<std::string, global_setter>{
      {"seed",
       [](world_config& w, std::string_view v) { return parse_into(v, 0, UINT32_MAX, w.seed); }},
      {"connection_interval_ms",
       [](world_config& w, std::string_view v) {
         return parse_double(v, 0, 4000, w.connection_interval_ms);
       }},
      {"advertise_interval_ms",
       [](world_config& w, std::string_view v) {
         return parse_into(v, 1, 60000, w.advertise_interval_ms);
       }},
      {"flood",
       [](world_config& w, std::string_view v) { return parse_into(v, 0, 100000, w.flood); }},
      {"radio",
       [](world_config& w, std::string_view v) {
         std::string word = lower(v);
         w.shared_radio = word == "shared";
         return word == "shared" || word == "ideal";
       }},
      {"max_links",
       [](world_config& w, std::string_view v) { return parse_into(v, 1, 64, w.max_links); }},
      {"arrivals_every_ms",
       [](world_config& w, std::string_view v) {
         return parse_into(v, 0, INT32_MAX, w.arrivals_every_ms);
       }},
      {"callback_thread",
       [](world_config& w, std::string_view v) {
         std::string word = lower(v);
         w.one_callback_thread = word == "one";
         return word == "one" || word == "many";
       }},
  };
  return *keys;
}

const std::map<std::string, device_setter>& device_keys() {
  static const auto* keys = new std::map<std::string, device_setter>{
      {"mac", [](device_config& d, std::string_view v) { return parse_mac(v, d.mac); }},
      {"name", parse_name},
      {"rssi",
       [](device_config& d, std::string_view v) { return parse_into(v, -127, 20, d.rssi); }},
      {"proprietary",
       [](device_config& d, std::string_view v) { return parse_yes_no(v, d.proprietary); }},
      {"firmware_revision",
       [](device_config& d, std::string_view v) { return parse_information(v, d.information[0]); }},
      {"manufacturer",
       [](device_config& d, std::string_view v) { return parse_information(v, d.information[1]); }},
      {"model_number",
       [](device_config& d, std::string_view v) { return parse_information(v, d.information[2]); }},
      {"serial_number",
       [](device_config& d, std::string_view v) { return parse_information(v, d.information[3]); }},
      {"missing",
       [](device_config& d, std::string_view v) { return parse_uuid_list(v, d.missing); }},
      {"manufacturer_data",
       [](device_config& d, std::string_view v) {
         return parse_manufacturer_data(v, d.advertised_manufacturer_data);
       }},
      {"advertised_services",
       [](device_config& d, std::string_view v) {
         std::set<std::string> uuids;
         if (!parse_uuid_list(v, uuids)) return false;
         d.advertised_services.assign(uuids.begin(), uuids.end());
         return true;
       }},
      {"command_busy_ms",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 0, INT32_MAX, d.command_busy_ms);
       }},
      {"version",
       [](device_config& d, std::string_view v) { return parse_hex_bytes(v, d.version); }},
      {"fw_date",
       [](device_config& d, std::string_view v) {
         d.fw_date = std::string(v);
         return d.fw_date.size() <= 255;
       }},
      {"fw_time",
       [](device_config& d, std::string_view v) {
         d.fw_time = std::string(v);
         return d.fw_time.size() <= 255;
       }},
      {"command_status",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 0, 255, d.command_status);
       }},
      {"initial_status",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 0, 255, d.initial_status);
       }},
      {"status_stays_busy_ms",
       [](device_config& d, std::string_view v) {
         return parse_into(v, -1, INT32_MAX, d.status_stays_busy_ms);
       }},
      {"reply_delay_ms",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 0, INT32_MAX, d.reply_delay_ms);
       }},
      {"refuse_frame",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 1, INT32_MAX, d.refuse_frame);
       }},
      {"refuse_code",
       [](device_config& d, std::string_view v) { return parse_into(v, 0, 255, d.refuse_code); }},
      {"no_reply_frame",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 1, INT32_MAX, d.no_reply_frame);
       }},
      {"late_reply_frame", parse_late_reply},
      {"drop_link_frame",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 1, INT32_MAX, d.drop_link_frame);
       }},
      {"drop_link_at", parse_link_drop},
      {"unprompted_status", parse_unprompted_status},
      {"late_duplicate_replies",
       [](device_config& d, std::string_view v) {
         return parse_yes_no(v, d.late_duplicate_replies);
       }},
      {"late_status_command", parse_late_status_command},
      {"response_after_status_ms",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 0, INT32_MAX, d.response_after_status_ms);
       }},
      {"connect_error",
       [](device_config& d, std::string_view v) {
         if (v.empty()) return false;
         d.connect_error = std::string(v);
         return true;
       }},
      {"connect_error_times",
       [](device_config& d, std::string_view v) {
         return parse_into(v, 1, INT32_MAX, d.connect_error_times);
       }},
      {"connect_timeout",
       [](device_config& d, std::string_view v) { return parse_yes_no(v, d.connect_timeout); }},
      {"read_error",
       [](device_config& d, std::string_view v) { return parse_selector(v, d.read_error); }},
      {"write_error",
       [](device_config& d, std::string_view v) { return parse_selector(v, d.write_error); }},
      {"enable_error",
       [](device_config& d, std::string_view v) { return parse_selector(v, d.enable_error); }},
      {"late_completion_ms",
       [](device_config& d,
          std::string_view v) { return parse_into(v, 0, INT32_MAX, d.late_completion_ms); }},
      {"noise_notifications",
       [](device_config& d, std::string_view v) { return parse_yes_no(v, d.noise_notifications); }},
      {"duplicate_notifications",
       [](device_config& d,
          std::string_view v) { return parse_yes_no(v, d.duplicate_notifications); }},
      {"notification_size",
       [](device_config& d,
          std::string_view v) { return parse_into(v, 0, 255, d.notification_size); }},
      {"connection_interval_ms",
       [](device_config& d, std::string_view v) {
         double interval = 0;
         if (!parse_double(v, 0, 4000, interval)) return false;
         d.connection_interval_ms = interval;
         return true;
       }},
      {"data_length",
       [](device_config& d, std::string_view v) { return parse_into(v, 27, 251, d.data_length); }},
      {"restart_after_finish",
       [](device_config& d,
          std::string_view v) { return parse_yes_no(v, d.restart_after_finish); }},
      {"restart_delay_ms",
       [](device_config& d,
          std::string_view v) { return parse_into(v, 0, INT32_MAX, d.restart_delay_ms); }},
      {"restart_absent_ms",
       [](device_config& d,
          std::string_view v) { return parse_into(v, -1, INT32_MAX, d.restart_absent_ms); }},
      {"revision_after_restart",
       [](device_config& d, std::string_view v) {
         if (v.size() > 255) return false;
         d.revision_after_restart = std::string(v);
         return true;
       }},
      {"old_revision_for_ms",
       [](device_config& d,
          std::string_view v) { return parse_into(v, 0, INT32_MAX, d.old_revision_for_ms); }},
      {"appears_after_ms",
       [](device_config& d, std::string_view v) {
         int32_t after = 0;
         if (!parse_into(v, 0, INT32_MAX, after)) return false;
         d.appears_after_ms = after;
         return true;
       }},
      {"present_for_ms",
       [](device_config& d,
          std::string_view v) { return parse_into(v, -1, INT32_MAX, d.present_for_ms); }},
  };
  return *keys;
}

std::string default_mac(size_t index) {
  if (index == 0) return FIRST_DEVICE_MAC;
  char text[18];
  std::snprintf(text, sizeof text, "C4:7C:8D:6A:%02X:%02X",
                static_cast<unsigned>((index >> 8) + 0x3E),
                static_cast<unsigned>((index + 1) & 0xFF));
  return text;
}

std::string line_error(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

bool device_config::has_characteristic(const std::string& uuid) const {
  if (missing.count(uuid) != 0) return false;
  for (const char* proprietary_uuid : PROPRIETARY_UUIDS) {
    if (uuid == proprietary_uuid) return proprietary;
  }
  return information_value(uuid) != nullptr;
}

bool device_config::drops_link_at(request_kind kind, int32_t number) const {
  if (kind == request_kind::frame && drop_link_frame == number) return true;
  for (const auto& drop : drop_link_at) {
    if (drop.kind == kind && drop.number == number) return true;
  }
  return false;
}

const std::string* device_config::information_value(const std::string& uuid) const {
  for (size_t i = 0; i < 4; ++i) {
    if (uuid == INFORMATION_UUIDS[i] && information[i]) return &*information[i];
  }
  return nullptr;
}

int64_t appears_after_ms(const world_config& world, size_t index) {
  const auto& own = world.devices[index].appears_after_ms;
  if (own) return *own;
  // No later than a device can be told itself: keeps the clock's arithmetic
  // in range for any number of devices.
  return std::min<int64_t>(static_cast<int64_t>(index) * world.arrivals_every_ms, INT32_MAX);
}

bool parse_mac(std::string_view text, std::string& normalised) {
  if (text.size() != 17) return false;
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    if (i % 3 == 2) {
      if (out[i] != ':') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(out[i]))) {
      return false;
    }
    out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[i])));
  }
  normalised = out;
  return true;
}

bool parse_scenario(std::string_view text, world_config& world, std::string& error) {
  world_config parsed;
  // Device keys before the first [device] line are defaults for every device.
  device_config defaults;
  bool in_device = false;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    line = trim(line);
    if (line.empty()) continue;
    if (lower(line) == "[device]") {
      device_config device = defaults;
      if (device.mac.empty()) device.mac = default_mac(parsed.devices.size());
      parsed.devices.push_back(device);
      in_device = true;
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error = line_error(line_number, "expected 'key = value'");
      return false;
    }
    std::string key = lower(trim(line.substr(0, equals)));
    std::string_view value = trim(line.substr(equals + 1));
    auto global = global_keys().find(key);
    auto device = device_keys().find(key);
    bool ok = false;
    // A key of both kinds (connection_interval_ms) is the world's before the
    // first [device] and that device's within one.
    bool both = global != global_keys().end() && device != device_keys().end();
    if (global != global_keys().end() && !(both && in_device)) {
      if (in_device) {
        error = line_error(line_number, "'" + key + "' belongs before the first [device]");
        return false;
      }
      ok = global->second(parsed, value);
    } else if (device != device_keys().end()) {
      ok = device->second(in_device ? parsed.devices.back() : defaults, value);
    } else {
      error = line_error(line_number, "unknown key '" + key + "'");
      return false;
    }
    if (!ok) {
      error = line_error(line_number, "bad value for " + key + ": '" + std::string(value) + "'");
      return false;
    }
  }
  if (parsed.devices.empty()) {
    parsed.devices.push_back(defaults);
    if (parsed.devices.back().mac.empty()) parsed.devices.back().mac = default_mac(0);
  }
  std::set<std::string> macs;
  for (const auto& device : parsed.devices) {
    if (!macs.insert(device.mac).second) {
      error = "two devices with the address " + device.mac;
      return false;
    }
  }
  world = parsed;
  return true;
}

}  // namespace sim
