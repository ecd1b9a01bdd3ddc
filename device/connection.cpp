#include "device/connection.h"

#include <array>
#include <atomic>
#include <condition_variable>
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

struct dis_step {
  const char* uuid;
  uint32_t progress;
  const char* progress_format;
  const char* info_format;
  std::string device_information::*field;
};

// In reading order. The serial number reports 900 and the step after it
// 800: the bar steps back once, which the progress dialog has always shown.
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

// ---------------------------------------------------------------------------
// The setup gate. One adapter sets up one connection at a time: an attempt
// holds the gate from the creation of its connection object through the
// service check (and the teardown of an attempt that failed there), and
// starts only once RELEASE_DELETE_PAUSE_MS passed since any other record
// deleted a connection object. A record's own deletes are not waited for
// here: its release already pauses after them, and an attempt that failed
// is let go at once, as the window has always done. A stop (see
// stop_connection_setups) ends every wait for the gate. Never destroyed: a
// worker may still release a device while the process exits.

// How often a wait for the gate looks at a stop: a signal handler sets it
// and cannot wake a waiting thread.
constexpr uint32_t GATE_STOP_LOOK_MS = 100;

std::atomic<bool> setups_stopped{false};
static_assert(std::atomic<bool>::is_always_lock_free);

struct setup_gate {
  std::mutex lock;
  std::condition_variable freed;
  bool busy = false;  // a setup holds the gate
  bool deleted[CONNECTION_SLOT_COUNT] = {};
  uint32_t deleted_at_ms[CONNECTION_SLOT_COUNT] = {};
  // The link census: which records hold a link up, and how many ended.
  bool link_up[CONNECTION_SLOT_COUNT] = {};
  uint32_t links_ended = 0;
  std::condition_variable link_ended;
};

setup_gate& gate() {
  static setup_gate* const instance = new setup_gate;
  return *instance;
}

void note_deleted(const device_record& record) {
  setup_gate& g = gate();
  std::lock_guard<std::mutex> hold(g.lock);
  g.deleted[record.slot] = true;
  g.deleted_at_ms[record.slot] = tick_count_ms();
}

void note_link_up(const device_record& record) {
  setup_gate& g = gate();
  std::lock_guard<std::mutex> hold(g.lock);
  g.link_up[record.slot] = true;
}

void note_link_down(const device_record& record) {
  setup_gate& g = gate();
  {
    std::lock_guard<std::mutex> hold(g.lock);
    if (!g.link_up[record.slot]) return;
    g.link_up[record.slot] = false;
    ++g.links_ended;
  }
  g.link_ended.notify_all();
}

int links_up_locked(const setup_gate& g) {
  int up = 0;
  for (bool held : g.link_up) up += held ? 1 : 0;
  return up;
}

// What is left of the quiet time after the latest delete of another record.
uint32_t quiet_time_left_locked(const setup_gate& g, const device_record& record) {
  const uint32_t now = tick_count_ms();
  uint32_t left = 0;
  for (uint32_t slot = 0; slot < CONNECTION_SLOT_COUNT; ++slot) {
    if (slot == record.slot || !g.deleted[slot]) continue;
    const uint32_t elapsed = now - g.deleted_at_ms[slot];
    if (elapsed < RELEASE_DELETE_PAUSE_MS && RELEASE_DELETE_PAUSE_MS - elapsed > left)
      left = RELEASE_DELETE_PAUSE_MS - elapsed;
  }
  return left;
}

// The gate, held from before the connection object is created; a delete
// elsewhere while it waits is waited for too.
class setup_turn {
 public:
  // False when setups were stopped before this one could begin.
  bool enter(const device_record& record) {
    setup_gate& g = gate();
    std::unique_lock<std::mutex> held(g.lock);
    for (;;) {
      if (setups_stopped.load()) return false;
      if (!g.busy) {
        const uint32_t quiet = quiet_time_left_locked(g, record);
        if (quiet == 0) break;
        held.unlock();
        sleep_ms(quiet < GATE_STOP_LOOK_MS ? quiet : GATE_STOP_LOOK_MS);
        held.lock();
        continue;
      }
      g.freed.wait_for(held, real_duration(GATE_STOP_LOOK_MS));
    }
    g.busy = true;
    entered_ = true;
    return true;
  }
  ~setup_turn() {
    if (!entered_) return;
    setup_gate& g = gate();
    {
      std::lock_guard<std::mutex> hold(g.lock);
      g.busy = false;
    }
    g.freed.notify_one();
  }

 private:
  bool entered_ = false;
};

void delete_connection(device_record& record, WarbleGatt* connection) {
  if (!connection) return;
  gatt_delete_if_set(slot_of(record), connection);
  note_deleted(record);
}

// ---------------------------------------------------------------------------

// The record's channels in the order they are subscribed and let go.
std::array<notify_channel*, 3> channels_in_order(device_record& record) {
  connection_slot& slot = slot_of(record);
  return {&slot.response, &slot.status, &slot.update};
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
void abandon_connection(device_record& record, WarbleGatt* connection, bool link_may_be_up) {
  if (connection && link_may_be_up) {
    gatt_cancel_connect_sync(slot_of(record), connection);
    sleep_ms(RELEASE_DISCONNECT_PAUSE_MS);
  }
  note_link_down(record);
  delete_connection(record, connection);
}

WarbleGatt* create_connection(const std::string& address) {
  const WarbleOption options[] = {{"mac", address.c_str()}, {"address-type", "unspecified"}};
  return ble_api.warble_gatt_create_with_options(2, options);
}

void read_device_information(device_record& record, WarbleGatt* connection, std::string& info,
                             device_information& information) {
  for (const dis_step& step : DIS_STEPS) {
    char value[DIS_BUFFER_SIZE];
    memset(value, 0, sizeof value);
    gatt_read_sync(slot_of(record), connection, step.uuid, reinterpret_cast<uint8_t*>(value),
                   DIS_READ_MAX);
    report_connect_progress(device_view(record), step.progress, step.progress_format, value);
    info += format_with_value(step.info_format, value);
    set_device_info_text(record, info);
    information.*step.field = value;
    set_last_device_information(record, information);
  }
}

connect_result fail_connection(device_record& record, connect_result result) {
  report_connect_progress(device_view(record), PROGRESS_FULL, "%s", connect_failure_text(result));
  return result;
}

// The part of a connection that holds the setup gate: the object, the link
// and the service check. Ready: the link is up and carries our service.
connect_result set_up_link(device_record& record, const std::string& address, std::string& info) {
  setup_turn one_setup_at_a_time;
  if (!one_setup_at_a_time.enter(record)) {
    trace_line("Connection called off: setups were stopped");
    return connect_result::called_off;
  }
  connection_slot& slot = slot_of(record);
  WarbleGatt* connection = create_connection(address);
  slot.gatt = connection;
  if (!connection) return fail_connection(record, connect_result::object_not_created);
  record.ready = false;
  report_connect_progress(device_view(record), 200, "Opening GATT");

  const gatt_status connected = gatt_connect_sync(slot, connection);
  if (connected != GATT_OK) {
    fail_connection(record, connect_result::cannot_connect);
    // A completion that reported an error ended the attempt; one that never
    // came did not.
    abandon_connection(record, connection, connected == GATT_TIMED_OUT);
    return connect_result::cannot_connect;
  }
  note_link_up(record);
  report_connect_progress(device_view(record), 300, "Connected OK");

  info = format_with_value("MAC: %s\n", address.c_str());
  set_device_info_text(record, info);

  // Reading the response characteristic is the proprietary-service check;
  // its value means nothing here.
  uint8_t check[DIS_BUFFER_SIZE] = {};
  if (gatt_read_sync(slot, connection, RESPONSE_CHAR_UUID, check, DIS_READ_MAX) == -1) {
    fail_connection(record, connect_result::service_not_found);
    abandon_connection(record, connection, true);
    return connect_result::service_not_found;
  }
  report_connect_progress(device_view(record), 400, "Propietary service found");
  return connect_result::ready;
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
    case connect_result::called_off:
      return "Connection called off";
    default:
      return "ERROR Proprietary service not found";
  }
}

void stop_connection_setups() {
  setups_stopped = true;
}

void allow_connection_setups() {
  setups_stopped = false;
}

link_census connection_link_census() {
  setup_gate& g = gate();
  std::lock_guard<std::mutex> hold(g.lock);
  return link_census{links_up_locked(g), g.links_ended};
}

bool wait_for_link_end(const link_census& since, bool (*stop)()) {
  setup_gate& g = gate();
  std::unique_lock<std::mutex> held(g.lock);
  for (;;) {
    if (g.links_ended != since.ended || links_up_locked(g) == 0) return true;
    if (stop && stop()) return false;
    g.link_ended.wait_for(held, real_duration(GATE_STOP_LOOK_MS));
  }
}

device_record* device_record_lease(display_sink* view) {
  connection_slot* slot = connection_slot_lease();
  if (!slot) return nullptr;
  device_record& record = device_record_at(slot->index);
  device_record_clear(record);
  record.view = view;
  return &record;
}

void device_record_return(device_record* record) {
  if (!record || record->slot == WINDOW_CONNECTION_SLOT) return;
  if (slot_of(*record).gatt.load()) release_device(*record);
  device_record_clear(*record);
  connection_slot_return(&slot_of(*record));
}

connect_result connect_device(device_record& record) {
  const trace_tag_scope tagged(device_record_tag(record));
  connection_slot& slot = slot_of(record);
  // A second connection must not leave the first one open: its handle
  // would be lost for good, and its notifications would keep feeding the
  // channels that the new connection subscribes.
  if (slot.gatt.load()) release_device(record);

  const std::string address = device_address_copy(record);
  trace_printf("Connecting to %s\n", address.c_str());
  report_connect_progress(device_view(record), 100, "Establishing");
  set_device_info_text(record, "");
  device_information information;
  information.mac = address;
  set_last_device_information(record, information);

  record.update_subscribed = false;
  std::string info;
  const connect_result link = set_up_link(record, address, info);
  if (link != connect_result::ready) return link;
  WarbleGatt* connection = slot.gatt.load();

  // A channel that fails to subscribe just stays silent; the GATT layer
  // traces why.
  // Each connection starts from empty records, as the first one of the
  // process does.
  for (notify_channel* channel : channels_in_order(record)) notify_clear(channel);
  forget_unfinished_command(record);
  notify_enable(connection, RESPONSE_CHAR_UUID, &slot.response);
  const gatt_status status_enabled = notify_enable(connection, STATUS_CHAR_UUID, &slot.status);
  const gatt_status update_enabled = notify_enable(connection, UPDATE_CHAR_UUID, &slot.update);
  record.update_subscribed = status_enabled == GATT_OK && update_enabled == GATT_OK;

  read_device_information(record, connection, info, information);
  report_connect_progress(device_view(record), 800, "Update service found");
  record.ready = true;
  report_connect_progress(device_view(record), PROGRESS_FULL, "%s",
                          connect_failure_text(connect_result::ready));
  return connect_result::ready;
}

connect_result connect_device() {
  return connect_device(window_device_record());
}

void close_device(device_record& record) {
  const trace_tag_scope tagged(device_record_tag(record));
  trace_line(">>Closing device");
  release_device(record);
  trace_line(">>DEVICE CLOSED !!");
}

void close_device() {
  close_device(window_device_record());
}

int release_device(device_record& record) {
  const trace_tag_scope tagged(device_record_tag(record));
  connection_slot& slot = slot_of(record);
  WarbleGatt* connection = slot.gatt.load();
  if (!connection) return 0;

  // The library has been seen to fault on handles of a connection going
  // down; from here on such a fault ends the process with a numbered line.
  signal(SIGSEGV, numbered_signal_handler);

  // Characteristic handles die with their link. The link may go at any
  // moment of the close (users disconnect precisely when a device went out
  // of range), so each disable is asked only while the link is known up,
  // and the first one that fails or goes unanswered ends the disabling.
  if (!gatt_link_lost(slot, connection) && ble_api.warble_gatt_is_connected(connection)) {
    for (notify_channel* channel : channels_in_order(record)) {
      if (!channel->gattchar) continue;
      if (notify_disable(channel) != GATT_OK) break;
    }
  }
  // Before the link goes: notifications still on their way are dropped
  // rather than delivered on handles that are about to die.
  for (notify_channel* channel : channels_in_order(record)) notify_forget(channel);

  if (ble_api.warble_gatt_is_connected(connection)) {
    gatt_disconnect_sync(slot, connection);
    sleep_ms(RELEASE_DISCONNECT_PAUSE_MS);
  }
  note_link_down(record);
  record.ready = false;
  record.update_subscribed = false;
  delete_connection(record, connection);
  sleep_ms(RELEASE_DELETE_PAUSE_MS);
  return 0;
}

int release_device() {
  return release_device(window_device_record());
}

bool update_channels_subscribed(const device_record& record) {
  return record.update_subscribed;
}

bool update_channels_subscribed() {
  return update_channels_subscribed(window_device_record());
}

int report_ble_initialized() {
  trace_line("Bluetooth system initialized");
  return 0;
}
