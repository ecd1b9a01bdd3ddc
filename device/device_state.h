// What the program knows about a device it serves: its address, what its
// connection learnt of it, and whether it is ready. The window serves one
// device, through the window's record; the command line may serve several
// at once, each through a record of its own (device_record_lease in
// device/connection.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "ble/gatt_sync.h"
#include "ble/warble.h"

class display_sink;

constexpr size_t DEVICE_ADDRESS_SIZE = 80;  // 79 characters and the terminator
constexpr size_t DEVICE_INFO_TEXT_SIZE = 4096;

// What the latest connection learnt of its device: the address and the four
// Device Information strings as read (empty when a read failed).
struct device_information {
  std::string mac;
  std::string firmware_revision;
  std::string manufacturer;
  std::string model_number;
  std::string serial_number;
};

// A command whose end the device never showed (no reply in time, or still
// busy when the idle wait gave up) still has its final status, and maybe
// its response, on the way; so has a query that gave up waiting for its
// response. Taken for the next command's, they would judge it and hand it
// the old command's bytes (see device/command_channel.cpp). Each connection
// starts settled.
struct unfinished_command {
  bool status_pending = false;
  uint32_t status_sequence = 0;  // the last status seen before giving up
  bool response_pending = false;
  uint32_t response_sequence = 0;
};

// One device served over one connection slot. Records live in a fixed pool
// beside the connection slots (record i uses slot i) and are never
// destroyed. One thread at a time runs the device operations of a record
// (connect, close, queries, update: "its thread"); the address and what the
// connection learnt may be read from any thread.
struct device_record {
  explicit device_record(uint32_t slot_index) : slot(slot_index) {}

  const uint32_t slot;  // its connection slot (connection_slot_at)
  // Where its device operations report; null: the process-wide display().
  // Set when the record is leased, before its thread uses it.
  std::atomic<display_sink*> view{nullptr};
  // Set when a connection reaches "System READY", cleared by the close or by
  // the next connection attempt once its connection object exists.
  std::atomic<bool> ready{false};
  // Any thread: this record's update writes no new frame, as after
  // request_update_stop (device/firmware_update.h), until cleared (by its
  // front end, or when the record is emptied for its next lease).
  std::atomic<bool> stop_update{false};

  // The texts, each changed under `texts_lock`: the address may be written
  // by another thread while the record's thread still reads it for a
  // connection in progress, and what the connection learnt is read by
  // others while it is filled in.
  mutable std::mutex texts_lock;
  char address[DEVICE_ADDRESS_SIZE] = {};
  std::string info_text;
  device_information information;

  // Its thread only.
  bool update_subscribed = false;  // the latest connection subscribed what an update needs
  unfinished_command unfinished;
};

// The window's record, on slot 0 (window_connection_slot), reporting to the
// process-wide display(), with no trace tag.
device_record& window_device_record();

// The record on slot `index` (below CONNECTION_SLOT_COUNT).
device_record& device_record_at(uint32_t index);

// The connection slot of a record.
connection_slot& slot_of(const device_record& record);

// Where the record's device operations report: its view, or display().
display_sink& device_view(const device_record& record);

// The window's record's state under the names it has always had: its
// connection (slot 0's, declared in ble/gatt_sync.h as `gatt`) and whether
// it is ready.
extern std::atomic<bool>& device_ready;

// Stores the device's MAC text (for the window: the UI thread, before
// REQ_CONNECT is posted). Returns 0, or 1 without changing anything when the
// text does not fit in DEVICE_ADDRESS_SIZE with its terminator: an address
// is never cut.
int set_device_address(device_record& record, const char* text);
int set_device_address(const char* text);

// Copies of the shared texts, taken under their lock.
std::string device_address_copy(const device_record& record);
std::string device_address_copy();
std::string device_info_text_copy(const device_record& record);
std::string device_info_text_copy();

// The record's thread only: replaces the device information text (bounded
// to DEVICE_INFO_TEXT_SIZE - 1 characters).
void set_device_info_text(device_record& record, const std::string& text);
void set_device_info_text(const std::string& text);

// The latest connection's device information; any thread reads, the
// record's thread writes.
device_information last_device_information(const device_record& record);
device_information last_device_information();
void set_last_device_information(device_record& record, const device_information& information);
void set_last_device_information(const device_information& information);

// The tag that the trace lines written for the record carry, also those
// its slot's library threads write ("[tag] " in front; empty: none, the
// window's and every record's until a front end sets one).
void device_record_set_tag(device_record& record, const std::string& tag);
std::string device_record_tag(const device_record& record);

// Empties what the record knows of a device (address, texts, ready, the
// unfinished command) and its view, for the next lease.
void device_record_clear(device_record& record);
