#pragma once

#include <cstdint>

#include <string>

#include "device/device_state.h"

class display_sink;

// How a connection attempt ended. Each failure has its final report text
// (connect_failure_text), which is also what a front end tells its user.
// `called_off`: connection setups were stopped before this one began, so
// nothing was asked of the library.
enum class connect_result {
  ready,
  object_not_created,
  cannot_connect,
  service_not_found,
  called_off
};
const char* connect_failure_text(connect_result result);

// The library needs time to let a link go before its object is deleted,
// and again before the next connection may start, on any record.
constexpr uint32_t RELEASE_DISCONNECT_PAUSE_MS = 1000;
constexpr uint32_t RELEASE_DELETE_PAUSE_MS = 1000;

// Any thread: a record for one more device served at once, on a connection
// slot of its own, reporting through `view` (null: the process-wide
// display(), which must then take reports from several threads). Its
// address, texts and tag are empty. Null when all LEASED_CONNECTION_SLOTS
// are out.
device_record* device_record_lease(display_sink* view);

// Hands a leased record back (null and the window's record are passed
// over): releases its connection when one is left (the documented pauses
// included), empties it and returns its slot. Called by the record's
// thread, or once that thread no longer uses the record.
void device_record_return(device_record* record);

// The record's thread. Connects to the device at the record's address,
// checks the proprietary service, subscribes the three channels, reads the
// Device Information strings (last_device_information) and sets the
// record ready. One connection is set up at a time in the process: from
// the connection object's creation through the service check, an attempt
// on another record waits, and no attempt starts before
// RELEASE_DELETE_PAUSE_MS passed since another record deleted a connection.
// Without a record: the window's.
connect_result connect_device(device_record& record);
connect_result connect_device();

// Any thread, also a signal handler: a connection setup that has not begun
// (one waiting for another's to end, or for the quiet time after a delete)
// does not begin, nor does any later one, until allowed again: connect_device
// reports called_off at once. A setup under way completes or is abandoned
// within its own bound.
void stop_connection_setups();
void allow_connection_setups();

// The links our records hold up (from a connection that came up to its
// disconnect or abandonment), and how many ended since the process began:
// what an adapter that has no room for another link is waiting on.
struct link_census {
  int up = 0;
  uint32_t ended = 0;
};
link_census connection_link_census();

// Waits until a link ended after `since` was taken, or none of ours is up,
// or `stop` holds (looked at every tenth of a second). False when it was
// the stop. Each link's life has a bound of its own (every operation on it
// has one), so this wait has one too.
bool wait_for_link_end(const link_census& since, bool (*stop)());

// The record's thread. ">>Closing device", release_device, ">>DEVICE
// CLOSED !!".
void close_device(device_record& record);
void close_device();

// The record's thread. Disables the channels, disconnects and deletes the
// connection; does nothing when there is none. Returns 0.
int release_device(device_record& record);
int release_device();

// The record's thread, after connect_device reported ready: whether the
// status and update channels of this connection are subscribed, as an
// update needs them (the window connects a device without them all the
// same, and its update then fails).
bool update_channels_subscribed(const device_record& record);
bool update_channels_subscribed();

// Prints "Bluetooth system initialized"; returns 0.
int report_ble_initialized();
