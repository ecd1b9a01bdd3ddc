#include "device/connection.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "ble/ble_api.h"
#include "ble/gatt_sync.h"
#include "device/command_channel.h"
#include "device/device_state.h"
#include "device/uuids.h"
#include "display/display.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/trace.h"

namespace {

// Each Device Information read asks for one byte less than the buffer
// holds, into a zeroed buffer, so the value is always a terminated text of
// at most 254 characters whatever the device sends.
constexpr size_t DIS_BUFFER_SIZE = 255;
constexpr uint32_t DIS_READ_MAX = DIS_BUFFER_SIZE - 1;

// The library needs time to let a link go before its object is deleted,
// and again before the next connection may start.
constexpr uint32_t RELEASE_DISCONNECT_PAUSE_MS = 1000;
constexpr uint32_t RELEASE_DELETE_PAUSE_MS = 1000;

struct dis_step {
  const char* uuid;
  uint32_t progress;
  const char* progress_format;
  const char* info_format;
  std::string device_information::*field;
};

// In reading order. The serial number reports 900 and the step after it
// 800: the bar steps back once, which the progress dialog has always shown.
// Whether the latest connection subscribed the channels an update needs.
// Worker thread only.
bool update_subscribed = false;

const dis_step DIS_STEPS[] = {
    {FIRMWARE_REVISION_UUID, 500, "Firmware Revision: %s\n", "FwVer: %s\n",
     &device_information::firmware_revision},
    {MANUFACTURER_NAME_UUID, 600, "Manufacturer: %s", "Manuf.: %s",
     &device_information::manufacturer},
    {MODEL_NUMBER_UUID, 700, "Model Number: %s", "  Model: %s\n",
     &device_information::model_number},
    {SERIAL_NUMBER_UUID, 900, "Serial number: %s", "SerNum: %s\n",
     &device_information::serial_number},
};

// Looked up at each call: the channels are set up by another unit's
// initialisation, whose order against this one's is not defined.
std::array<notify_channel*, 3> channels_in_order() {
  return {&response_channel, &status_channel, &update_channel};
}

// The value is text from the device: an argument, never part of a format.
std::string format_with_value(const char* format, const char* value) {
  char text[DIS_BUFFER_SIZE + 32];
  snprintf(text, sizeof text, format, value);
  return text;
}

// Drops a connection object that never reached the ready state. A link
// that came up, or an attempt that never answered (it may still bring one
// up), is let go first as every close does: the library must not be left
// with a link, or an attempt, on an object it no longer has.
void abandon_connection(WarbleGatt* connection, bool link_may_be_up) {
  if (connection && link_may_be_up) {
    gatt_cancel_connect_sync(connection);
    sleep_ms(RELEASE_DISCONNECT_PAUSE_MS);
  }
  gatt_delete_if_set(connection);
  gatt = nullptr;
}

WarbleGatt* create_connection(const std::string& address) {
  const WarbleOption options[] = {{"mac", address.c_str()}, {"address-type", "unspecified"}};
  return ble_api.warble_gatt_create_with_options(2, options);
}

void read_device_information(WarbleGatt* connection, std::string& info,
                             device_information& information) {
  for (const dis_step& step : DIS_STEPS) {
    char value[DIS_BUFFER_SIZE];
    memset(value, 0, sizeof value);
    gatt_read_sync(connection, step.uuid, reinterpret_cast<uint8_t*>(value), DIS_READ_MAX);
    report_connect_progress(step.progress, step.progress_format, value);
    info += format_with_value(step.info_format, value);
    set_device_info_text(info);
    information.*step.field = value;
    set_last_device_information(information);
  }
}

connect_result fail_connection(connect_result result) {
  report_connect_progress(PROGRESS_FULL, "%s", connect_failure_text(result));
  return result;
}

}  // namespace

const char* connect_failure_text(connect_result result) {
  switch (result) {
    case connect_result::ready:
      return "System READY";
    case connect_result::object_not_created:
      return "ERROR GATT";
    case connect_result::cannot_connect:
      return "ERROR Cannot connect";
    default:
      return "ERROR Proprietary service not found";
  }
}

connect_result connect_device() {
  // A second connection must not leave the first one open: its handle
  // would be lost for good, and its notifications would keep feeding the
  // channels that the new connection subscribes.
  if (gatt.load()) release_device();

  const std::string address = device_address_copy();
  trace_printf("Connecting to %s\n", address.c_str());
  report_connect_progress(100, "Establishing");
  set_device_info_text("");
  device_information information;
  information.mac = address;
  set_last_device_information(information);

  update_subscribed = false;
  WarbleGatt* connection = create_connection(address);
  gatt = connection;
  if (!connection) return fail_connection(connect_result::object_not_created);
  device_ready = false;
  report_connect_progress(200, "Opening GATT");

  const gatt_status connected = gatt_connect_sync(connection);
  if (connected != GATT_OK) {
    fail_connection(connect_result::cannot_connect);
    // A completion that reported an error ended the attempt; one that never
    // came did not.
    abandon_connection(connection, connected == GATT_TIMED_OUT);
    return connect_result::cannot_connect;
  }
  report_connect_progress(300, "Connected OK");

  std::string info = format_with_value("MAC: %s\n", address.c_str());
  set_device_info_text(info);

  // Reading the response characteristic is the proprietary-service check;
  // its value means nothing here.
  uint8_t check[DIS_BUFFER_SIZE] = {};
  if (gatt_read_sync(connection, RESPONSE_CHAR_UUID, check, DIS_READ_MAX) == -1) {
    fail_connection(connect_result::service_not_found);
    abandon_connection(connection, true);
    return connect_result::service_not_found;
  }
  report_connect_progress(400, "Propietary service found");

  // A channel that fails to subscribe just stays silent; the GATT layer
  // traces why.
  // Each connection starts from empty records, as the first one of the
  // process does.
  for (notify_channel* channel : channels_in_order()) notify_clear(channel);
  forget_unfinished_command();
  notify_enable(connection, RESPONSE_CHAR_UUID, &response_channel);
  const gatt_status status_enabled = notify_enable(connection, STATUS_CHAR_UUID, &status_channel);
  const gatt_status update_enabled = notify_enable(connection, UPDATE_CHAR_UUID, &update_channel);
  update_subscribed = status_enabled == GATT_OK && update_enabled == GATT_OK;

  read_device_information(connection, info, information);
  report_connect_progress(800, "Update service found");
  device_ready = true;
  report_connect_progress(PROGRESS_FULL, "%s", connect_failure_text(connect_result::ready));
  return connect_result::ready;
}

void close_device() {
  trace_line(">>Closing device");
  release_device();
  trace_line(">>DEVICE CLOSED !!");
}

int release_device() {
  WarbleGatt* connection = gatt.load();
  if (!connection) return 0;

  // The library has been seen to fault on handles of a connection going
  // down; from here on such a fault ends the process with a numbered line.
  signal(SIGSEGV, numbered_signal_handler);

  // Characteristic handles die with their link. The link may go at any
  // moment of the close (users disconnect precisely when a device went out
  // of range), so each disable is asked only while the link is known up,
  // and the first one that fails or goes unanswered ends the disabling.
  if (!gatt_link_lost(connection) && ble_api.warble_gatt_is_connected(connection)) {
    for (notify_channel* channel : channels_in_order()) {
      if (!channel->gattchar) continue;
      if (notify_disable(channel) != GATT_OK) break;
    }
  }
  // Before the link goes: notifications still on their way are dropped
  // rather than delivered on handles that are about to die.
  for (notify_channel* channel : channels_in_order()) notify_forget(channel);

  if (ble_api.warble_gatt_is_connected(connection)) {
    gatt_disconnect_sync(connection);
    sleep_ms(RELEASE_DISCONNECT_PAUSE_MS);
  }
  gatt_delete_if_set(connection);
  sleep_ms(RELEASE_DELETE_PAUSE_MS);

  device_ready = false;
  update_subscribed = false;
  gatt = nullptr;
  return 0;
}

bool update_channels_subscribed() {
  return update_subscribed;
}

int report_ble_initialized() {
  trace_line("Bluetooth system initialized");
  return 0;
}
