// Blocking GATT operations over the asynchronous BLE library.
//
// Connections live in a fixed pool of slots (below). Every operation runs
// on the thread that serves its slot, holds that slot's operation lock
// across its whole wait (at most OP_TIMEOUT_MS) and so keeps at most one
// GATT call in flight per connection; operations on different slots run at
// once. Completion handlers run on library threads, or before the starting
// call returns; each belongs to the operation that started its call: a
// completion that arrives after that operation ended (a time-out, or the
// never-awaited completion of a write without response), or that belongs to
// another slot, neither writes into another operation's answer nor wakes its
// wait. A handler takes only its own slot's small locks, never an operation
// lock, and no lock of the GATT layer is held across a library call: a
// library that runs every callback on one thread, or a disconnect handler
// that runs inside warble_gatt_disconnect, holds nothing up.
//
// Results: 0 success, 1 failure, 2 time-out; reads give a length or -1.
//
// The link. gatt_connect_sync registers the library's disconnect handler for
// the connection before it asks for the link (each connection is watched on
// its own, until it is deleted); from the moment that handler
// runs, or a call fails and the library then says the link is down, the link
// counts as lost: characteristic handles die with their link, so no call is
// made on them any more (the operation fails at once instead), and waits on
// the link end early rather than running to their time-out.
//
// The functions without a slot parameter work on slot 0, the window's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ble/warble.h"
#include "platform/event.h"

constexpr uint32_t OP_TIMEOUT_MS = 10000;

// The result of a blocking operation (reads give a length or -1 instead).
// The values are the ones the device protocol has always compared with.
enum gatt_status : int32_t {
  GATT_OK = 0,
  GATT_FAILED = 1,
  GATT_TIMED_OUT = 2,
  GATT_LINK_LOST = 3,  // notify_wait_for_new only: the link went down meanwhile
  // notify_wait_for_new only: the channel has no event (never subscribed, or
  // disabled), so nothing could ever end the wait early; told apart from a
  // time-out so that a caller waiting in slices stops at once.
  GATT_NOT_LISTENING = 4,
};

// Slot 0 is the window's; the command line leases the others, one per
// device it serves at once.
constexpr uint32_t WINDOW_CONNECTION_SLOT = 0;
constexpr uint32_t LEASED_CONNECTION_SLOTS = 8;
constexpr uint32_t CONNECTION_SLOT_COUNT = 1 + LEASED_CONNECTION_SLOTS;

// The latest notification of one subscribed characteristic.
//
// The three channels of a slot share one event object (a notification on
// any of them sets it, a reset of any clears it for all three). `event` is
// null when the channel has none: before its first subscription, and after
// its notifications were disabled (the event is then closed and must never
// be used again). Every field is guarded by `data_lock`, the only lock the
// notification handler takes besides its slot's tag lock (it must never
// wait for an operation: a library that runs every callback on one thread
// would then hold up the completion that operation waits for). `gattchar`,
// `gatt` and `event` are written by the slot's thread only. Readers on
// other threads use notify_snapshot() rather than touching the fields
// directly.
struct notify_channel {
  notify_channel() = default;
  explicit notify_channel(uint32_t slot_index) : slot(slot_index) {}

  const uint32_t slot = WINDOW_CONNECTION_SLOT;  // the connection slot it belongs to
  WarbleGattChar* gattchar = nullptr;
  WarbleGatt* gatt = nullptr;
  std::shared_ptr<manual_event> event;
  uint8_t length = 0;
  uint8_t data[256] = {};
  uint32_t sequence = 0;  // notifications received on this channel, ever
  // For each first byte, the sequence number of the latest notification
  // that began with it (0: none yet). Lets a reader learn that some value
  // arrived since a moment even when later notifications overwrote it.
  uint32_t latest_by_first_byte[256] = {};
  mutable std::mutex data_lock;
};

// A consistent copy of a channel's latest notification.
struct notify_value {
  uint8_t length = 0;
  uint8_t data[256] = {};
  uint32_t sequence = 0;
};

// The state of one connection: its object, its three channels, and (inside
// the GATT layer) its operation lock, wait event, completion slot, link
// watch, the event its channels share, and its trace tag. The pool's slots
// are never destroyed, so a callback that turns up late, even while the
// process runs its exit-time destructors, lands on memory that rejects it
// by serial. Completion and disconnect handlers are told their slot and
// serial through their integer context; a notification handler's context
// is its channel.
struct connection_slot {
  explicit connection_slot(uint32_t slot_index)
      : index(slot_index), status(slot_index), response(slot_index), update(slot_index) {}

  const uint32_t index;
  // The connection bound to this slot; null when there is none. Set by the
  // connection sequence once the object exists, cleared before it is
  // deleted (gatt_delete_if_set).
  std::atomic<WarbleGatt*> gatt{nullptr};
  notify_channel status;    // fabbe004
  notify_channel response;  // fabbe006
  notify_channel update;    // fabbe008
};

// Slot 0, under the names the window has always used. References to
// records that are never destroyed, bound before any code runs.
extern std::atomic<WarbleGatt*>& gatt;
extern notify_channel& status_channel;    // fabbe004
extern notify_channel& response_channel;  // fabbe006
extern notify_channel& update_channel;    // fabbe008

connection_slot& window_connection_slot();
// `index` below CONNECTION_SLOT_COUNT.
connection_slot& connection_slot_at(uint32_t index);

// Any thread. A slot other than the window's, free until it is returned;
// null when all LEASED_CONNECTION_SLOTS are out. Its tag is empty.
connection_slot* connection_slot_lease();
// Hands a leased slot back (null and slot 0 are passed over), once its
// connection was deleted: its tag is emptied, and late callbacks of its
// old connections are still rejected by serial when it is leased again.
void connection_slot_return(connection_slot* slot);

// The tag the trace lines of library threads carry for this slot (see
// trace_tag_scope); empty: none, as for slot 0 unless a front end sets one.
void connection_slot_set_tag(connection_slot& slot, const std::string& tag);
std::string connection_slot_tag(const connection_slot& slot);

// Creates every slot's operation lock, wait event and other state; called
// by the library loader once. False when they could not be created, with
// `which` naming what ("mutex").
bool gatt_lock_objects_create(const char** which);

// Each operation below works on `connection` under the operation lock of
// `slot`, and watches that connection's link in that slot; the caller is
// the one thread that serves the slot.

// Registers the disconnect handler (the link watch) and connects; 0 when
// the library reports the link up, asked after the completion woke us.
gatt_status gatt_connect_sync(connection_slot& slot, WarbleGatt* connection);
gatt_status gatt_connect_sync(WarbleGatt* connection);
// What the library said when it refused the slot's latest connect (its
// error text; empty when it did not refuse): an adapter that holds as many
// links as it can says so.
std::string gatt_connect_error(connection_slot& slot);
// 0 when the link is down (also when it already was, or `connection` is 0),
// 2 when the library did not report it down in time.
gatt_status gatt_disconnect_sync(connection_slot& slot, WarbleGatt* connection);
gatt_status gatt_disconnect_sync(WarbleGatt* connection);
// After a connect that went unanswered: the attempt may still be under way
// in the library, or its link may have come up unseen. Asks the library to
// disconnect whatever the link's state, and waits (at most OP_TIMEOUT_MS)
// for a link that is up to go; 0 when no link is left up, 2 otherwise.
gatt_status gatt_cancel_connect_sync(connection_slot& slot, WarbleGatt* connection);
gatt_status gatt_cancel_connect_sync(WarbleGatt* connection);
// True once the link of `connection` is known to be down (see above).
bool gatt_link_lost(const connection_slot& slot, const WarbleGatt* connection);
bool gatt_link_lost(const WarbleGatt* connection);
// Unbinds the connection from the slot (slot.gatt, when it is this one),
// stops watching its link, then deletes the object: a callback of it that
// comes later finds nothing of it in the slot.
void gatt_delete_if_set(connection_slot& slot, WarbleGatt* connection);
void gatt_delete_if_set(WarbleGatt* connection);
int32_t gatt_read_sync(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                       uint8_t* destination, uint32_t max_count);
int32_t gatt_read_sync(WarbleGatt* connection, const char* uuid, uint8_t* destination,
                       uint32_t max_count);
gatt_status gatt_write_sync(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                            const uint8_t* bytes, uint8_t count);
gatt_status gatt_write_sync(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                            uint8_t count);
gatt_status gatt_write_no_resp(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                               const uint8_t* bytes, uint8_t count);
gatt_status gatt_write_no_resp(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                               uint8_t count);

// The channel operations work under the operation lock of the channel's
// own slot.
gatt_status notify_enable(WarbleGatt* connection, const char* uuid, notify_channel* channel);
// 0 done; 1 nothing to disable, the link is lost, or the library reported an
// error (the channel lets go of its event all the same); 2 time-out. A
// caller disabling several channels stops at the first non-zero result: the
// link may be going, and the next handle with it.
gatt_status notify_disable(notify_channel* channel);

// Under the operation lock, the channel lets go of its characteristic, its
// connection and its event, before that connection goes away: a
// notification of the old characteristic still waiting for the lock is then
// dropped instead of touching a dead handle or feeding a later connection.
void notify_forget(notify_channel* channel);

// No lock is taken. A channel that is absent gives 1; one whose event was
// closed or never created gives 2 from notify_wait at once and 1 from
// notify_reset.
gatt_status notify_wait(notify_channel* channel, uint32_t timeout_ms);
gatt_status notify_reset(notify_channel* channel);

notify_value notify_snapshot(const notify_channel& channel);

// Empties the channel's latest value (length 0, zero bytes); its sequence
// keeps counting. Each connection starts from cleared channels, so that a
// value kept from the previous device neither holds up nor judges this one.
void notify_clear(notify_channel* channel);

// The sequence number of the channel's latest notification whose first byte
// was `first_byte`; 0 when none arrived yet.
uint32_t notify_latest_with_first_byte(const notify_channel& channel, uint8_t first_byte);

// Waits on its slot's shared event until `channel` itself has received a
// notification after the one numbered `since_sequence` (taken with
// notify_snapshot before the write that asks for it), for at most
// `timeout_ms` in all. Notifications on the other channels set the shared
// event too; they are passed over here, so a reply is never judged on a
// stale value. 0 a new notification arrived; 1 no channel; 2 time-out;
// GATT_LINK_LOST the channel's link went down; GATT_NOT_LISTENING the
// channel has no usable event (at once).
gatt_status notify_wait_for_new(notify_channel* channel, uint32_t since_sequence,
                                uint32_t timeout_ms);

// The library's notification handler, registered by notify_enable with the
// channel as context. Its trace line carries the channel's slot's tag.
void on_notification(void* channel, WarbleGattChar* characteristic, const uint8_t* value,
                     uint8_t size);

// Tests only: brings every slot (its completion slot, link watch, channels,
// connection, tag and lease) back to its start state between cases.
void gatt_reset_for_tests();
