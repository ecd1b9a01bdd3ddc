// The simulated world as a scenario describes it: the radio-wide settings and
// the devices with their characteristics, values and faults. Plain data; the
// text format is described in warble_sim.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr const char* COMMAND_UUID = "fabbe002-4910-473c-be46-960948c2f59c";
inline constexpr const char* STATUS_UUID = "fabbe004-4910-473c-be46-960948c2f59c";
inline constexpr const char* RESPONSE_UUID = "fabbe006-4910-473c-be46-960948c2f59c";
inline constexpr const char* UPDATE_UUID = "fabbe008-4910-473c-be46-960948c2f59c";
inline constexpr const char* FIRMWARE_REVISION_UUID = "00002a26-0000-1000-8000-00805f9b34fb";
inline constexpr const char* MANUFACTURER_NAME_UUID = "00002a29-0000-1000-8000-00805f9b34fb";
inline constexpr const char* MODEL_NUMBER_UUID = "00002a24-0000-1000-8000-00805f9b34fb";
inline constexpr const char* SERIAL_NUMBER_UUID = "00002a25-0000-1000-8000-00805f9b34fb";
inline constexpr const char* PROPRIETARY_SERVICE_UUID = "fabbe000-4910-473c-be46-960948c2f59c";
inline constexpr const char* DEVICE_INFORMATION_SERVICE_UUID =
    "0000180a-0000-1000-8000-00805f9b34fb";

inline constexpr const char* PROPRIETARY_UUIDS[] = {COMMAND_UUID, STATUS_UUID, RESPONSE_UUID,
                                                    UPDATE_UUID};
// In the order of device_config::information.
inline constexpr const char* INFORMATION_UUIDS[] = {FIRMWARE_REVISION_UUID, MANUFACTURER_NAME_UUID,
                                                    MODEL_NUMBER_UUID, SERIAL_NUMBER_UUID};

// A set of characteristics named in a fault key: some UUIDs, or all of them.
struct uuid_selector {
  bool all = false;
  std::set<std::string> uuids;
  bool matches(const std::string& uuid) const { return all || uuids.count(uuid) != 0; }
};

// Kinds of request a device can drop its link at (drop_link_at), each
// counted on its own from 1 since the world was configured.
enum class request_kind : size_t { frame, command, read, enable, disable };
inline constexpr size_t REQUEST_KINDS = 5;

struct link_drop {
  request_kind kind = request_kind::frame;
  int32_t number = 0;
};

// A status the device sends of its own around its reply to an update frame.
struct unprompted_status {
  int32_t frame = 0;
  bool after = false;  // else just ahead of the reply
  uint8_t value = 0;
  int32_t delay_ms = 0;  // after the reply
};

struct manufacturer_data {
  uint16_t company_id = 0;
  std::vector<uint8_t> bytes;
};

struct device_config {
  std::string mac;  // upper case, XX:XX:XX:XX:XX:XX
  bool name_is_null = false;
  std::string name = "TAVREN RD";
  int32_t rssi = -67;
  bool proprietary = true;
  // Firmware revision, manufacturer, model number, serial number; empty
  // optional = characteristic absent.
  std::optional<std::string> information[4] = {std::string("1.05"), std::string("TAVREN"),
                                               std::string("RD-1"), std::string("SN0001")};
  std::set<std::string> missing;
  std::vector<manufacturer_data> advertised_manufacturer_data;
  std::vector<std::string> advertised_services;

  int32_t command_busy_ms = 20;
  std::vector<uint8_t> version = {0x01, 0x05, 0x00, 0x2A};
  std::string fw_date = "2024-03-18";
  std::string fw_time = "14:22:05";
  uint8_t command_status = 0;
  uint8_t initial_status = 0;
  int32_t status_stays_busy_ms = 0;  // -1: for ever
  int32_t reply_delay_ms = 0;

  int32_t refuse_frame = 0;
  int32_t refuse_code = -1;
  int32_t no_reply_frame = 0;
  int32_t late_reply_frame = 0;
  int32_t late_reply_ms = 0;
  int32_t drop_link_frame = 0;
  std::vector<link_drop> drop_link_at;
  std::vector<unprompted_status> unprompted;
  bool late_duplicate_replies = false;
  int32_t late_status_command = 0;
  int32_t late_status_ms = 0;
  int32_t response_after_status_ms = -1;  // -1: the response goes first
  std::optional<std::string> connect_error;
  int32_t connect_error_times = 0;  // the first this many attempts fail; 0: every one
  bool connect_timeout = false;
  uuid_selector read_error;
  uuid_selector write_error;
  uuid_selector enable_error;
  int32_t late_completion_ms = 0;
  bool noise_notifications = false;
  bool duplicate_notifications = false;
  int32_t notification_size = -1;  // -1: natural size

  // After an accepted finish the device restarts to install the image: it
  // drops the link restart_delay_ms later and is gone (not advertising,
  // refusing connections) for restart_absent_ms (-1: for ever).
  bool restart_after_finish = false;
  int32_t restart_delay_ms = 100;
  int32_t restart_absent_ms = 3000;
  // The Firmware Revision after a restart; unset: the configured one.
  std::optional<std::string> revision_after_restart;
  // For this long after it came back it still reads its old revision.
  int32_t old_revision_for_ms = 0;

  // Link timing of its own (unset: the world's), and the most bytes one
  // packet carries on its links (27: no data length extension).
  std::optional<double> connection_interval_ms;
  int32_t data_length = 251;

  // When it comes into range, counted from the configure (unset: its place
  // in the world's arrivals), and how long it stays once there (-1: for
  // ever). A restart is no departure: it is still in range, installing.
  std::optional<int32_t> appears_after_ms;
  int32_t present_for_ms = -1;

  bool has_characteristic(const std::string& uuid) const;
  bool drops_link_at(request_kind kind, int32_t number) const;
  const std::string* information_value(const std::string& uuid) const;
};

struct world_config {
  uint32_t seed = 1;
  double connection_interval_ms = 0;
  int32_t advertise_interval_ms = 50;
  int32_t flood = 0;
  // Every program handler on one library thread, in due-time order.
  bool one_callback_thread = false;
  // One adapter radio that every link shares (radio = shared), or every
  // link with the radio to itself (radio = ideal).
  bool shared_radio = true;
  int32_t max_links = 8;
  // Devices without an appears_after_ms of their own turn up one after
  // another, this far apart, in the order of the scenario (0: all at once).
  int32_t arrivals_every_ms = 0;
  std::vector<device_config> devices;
};

// When the index-th configured device comes into range, in ms after the
// configure.
int64_t appears_after_ms(const world_config& world, size_t index);

// Parses scenario text into `world` (which it replaces). False with a
// one-line reason in `error` ("line 3: unknown key 'colour'").
bool parse_scenario(std::string_view text, world_config& world, std::string& error);

bool parse_mac(std::string_view text, std::string& normalised);

}  // namespace sim
