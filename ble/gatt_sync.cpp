#include "ble/gatt_sync.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "ble/ble_api.h"
#include "platform/clock.h"
#include "platform/os.h"
#include "platform/trace.h"

namespace {

// Holds a channel record without ever destroying it (see the header).
union undestroyed_channel {
  notify_channel channel;
  undestroyed_channel() : channel() {}
  ~undestroyed_channel() {}
};

undestroyed_channel status_storage;
undestroyed_channel response_storage;
undestroyed_channel update_storage;

}  // namespace

// Bound before any code runs, so other files may take the channels'
// addresses in their own static initialisers.
constinit notify_channel& status_channel = status_storage.channel;
constinit notify_channel& response_channel = response_storage.channel;
constinit notify_channel& update_channel = update_storage.channel;

namespace {

// ---------------------------------------------------------------------------
// The operation lock. Created once and never freed: library threads may be
// inside a handler when the process exits.

std::mutex* op_mutex_instance() {
  static std::mutex* const instance = new (std::nothrow) std::mutex;
  return instance;
}

manual_event* wait_event_instance() {
  static manual_event* const instance = new (std::nothrow) manual_event;
  return instance;
}

std::mutex& op_mutex() {
  return *op_mutex_instance();
}
manual_event& wait_event() {
  return *wait_event_instance();
}

void gatt_op_begin() {
  op_mutex().lock();
  wait_event().reset();
}

void gatt_op_end() {
  op_mutex().unlock();
}

// gatt_op_end exactly once on every way out of an operation.
class operation_frame {
 public:
  operation_frame() { gatt_op_begin(); }
  ~operation_frame() { gatt_op_end(); }
  operation_frame(const operation_frame&) = delete;
  operation_frame& operator=(const operation_frame&) = delete;
};

// ---------------------------------------------------------------------------
// Tying a completion to the operation that started its call.
//
// Each awaited call gets a serial number, handed to the library as the
// call's context (an integer, never a pointer to the operation's stack, so
// a completion that turns up late dereferences nothing). The handler writes
// the answer and sets wait_event only while that serial is the one being
// awaited. The slot has its own small lock: handlers must never take
// op_mutex, which the waiting operation holds.

constexpr uint32_t NO_OPERATION = 0;  // the context of a never-awaited call

constexpr int32_t ANSWER_RECEIVED = 1;
constexpr int32_t ANSWER_ERROR = 2;

struct completion_answer {
  bool answered = false;
  int32_t status = 0;  // ANSWER_RECEIVED or ANSWER_ERROR
  uint8_t length = 0;  // a read's value
  uint8_t data[256] = {};
};

struct completion_slot {
  std::mutex lock;
  uint32_t last_serial = 0;
  uint32_t awaited = NO_OPERATION;
  completion_answer answer;
};

completion_slot& slot() {
  static completion_slot* const instance = new completion_slot;
  return *instance;
}

void* context_of(uint32_t serial) {
  return reinterpret_cast<void*>(uintptr_t{serial});
}

uint32_t serial_of(void* context) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
}

// Opens the slot for a call about to be made; returns the call's serial.
uint32_t open_completion() {
  completion_slot& s = slot();
  std::lock_guard<std::mutex> hold(s.lock);
  if (++s.last_serial == NO_OPERATION) ++s.last_serial;
  s.awaited = s.last_serial;
  s.answer = completion_answer{};
  return s.awaited;
}

enum class wait_outcome { answered, link_lost, timed_out };

struct awaited_answer {
  wait_outcome outcome = wait_outcome::timed_out;
  completion_answer answer;
};

bool link_lost_now(const WarbleGatt* connection);

// Closes the slot so that nothing arriving later can touch the answer.
awaited_answer close_completion(wait_outcome outcome) {
  completion_slot& s = slot();
  std::lock_guard<std::mutex> hold(s.lock);
  s.awaited = NO_OPERATION;
  awaited_answer result{outcome, s.answer};
  if (s.answer.answered) result.outcome = wait_outcome::answered;
  return result;
}

bool answer_arrived() {
  completion_slot& s = slot();
  std::lock_guard<std::mutex> hold(s.lock);
  return s.answer.answered;
}

// Waits at most OP_TIMEOUT_MS for `condition`, or for the link of
// `connection` to go. The event is reset before each look, so a wake-up
// that lands between the look and the wait is never slept through.
template <typename Condition>
wait_outcome wait_on_link(const WarbleGatt* connection, Condition condition) {
  const uint32_t start = tick_count_ms();
  for (;;) {
    wait_event().reset();
    if (condition()) return wait_outcome::answered;
    if (link_lost_now(connection)) return wait_outcome::link_lost;
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= OP_TIMEOUT_MS) return wait_outcome::timed_out;
    wait_event().wait_ms(OP_TIMEOUT_MS - elapsed);
  }
}

// Waits for the awaited call's completion; ends early when the link of
// `connection` goes, since no completion may come then.
awaited_answer await_completion(const WarbleGatt* connection) {
  return close_completion(wait_on_link(connection, answer_arrived));
}

// Records the answer of call `serial` and wakes its operation, when that
// call is still awaited and unanswered; a second completion of the same call
// changes nothing. `fill` runs under the slot's lock.
template <typename Fill>
void deliver(uint32_t serial, Fill fill) {
  completion_slot& s = slot();
  std::lock_guard<std::mutex> hold(s.lock);
  if (serial == NO_OPERATION || serial != s.awaited || s.answer.answered) return;
  fill(s.answer);
  s.answer.answered = true;
  wait_event().set();
}

void deliver_status(uint32_t serial, int32_t status) {
  deliver(serial, [status](completion_answer& answer) { answer.status = status; });
}

void print_error(const char* error) {
  trace_printf("Error: %s\n", error);
}

// ---------------------------------------------------------------------------
// Completion handlers; they run on the library's threads, or inside the call
// that started them.

// Records only whether the library reported an error: whether the link is
// up is asked by the waiting operation, which still holds the connection.
// A completion that arrives after that operation timed out may find the
// connection already deleted.
void on_connect_done(void* context, WarbleGatt*, const char* error) {
  if (error) print_error(error);
  deliver_status(serial_of(context), error ? ANSWER_ERROR : ANSWER_RECEIVED);
}

void on_read_done(void* context, WarbleGattChar*, const uint8_t* value, uint8_t size,
                  const char* error) {
  const uint32_t serial = serial_of(context);
  if (error) {
    print_error(error);
    deliver(serial, [](completion_answer& answer) {
      answer.status = ANSWER_ERROR;
      answer.length = 0;
    });
    return;
  }
  deliver(serial, [value, size](completion_answer& answer) {
    answer.length = size;
    answer.status = ANSWER_RECEIVED;
    trace_printf("\nReceived read answer %u bytes:", static_cast<unsigned>(size));
    if (value && size) memcpy(answer.data, value, size);
  });
}

void on_write_done(void* context, WarbleGattChar*, const char* error) {
  if (error) print_error(error);
  deliver_status(serial_of(context), error ? ANSWER_ERROR : ANSWER_RECEIVED);
}

void on_enable_done(void* context, WarbleGattChar* characteristic, const char* error) {
  on_write_done(context, characteristic, error);
}

void on_disable_done(void* context, WarbleGattChar*, const char* error) {
  if (error) print_error(error);
  trace_line("GATT disconnected");
  deliver_status(serial_of(context), error ? ANSWER_ERROR : ANSWER_RECEIVED);
}

WarbleGattChar* find_characteristic(WarbleGatt* connection, const char* uuid) {
  WarbleGattChar* characteristic = ble_api.warble_gatt_find_characteristic(connection, uuid);
  if (!characteristic) trace_line("Characteristic not found");
  return characteristic;
}

// ---------------------------------------------------------------------------
// The notify channels' shared event. The program once had the three channels
// open one system event by name; here a process-local registry plays that
// part: it hands out the event some channel still holds, or a fresh, clear
// one once every channel has let go of it.

struct notify_event_registry {
  std::mutex lock;
  std::weak_ptr<manual_event> shared;
};

notify_event_registry& registry() {
  static notify_event_registry* const instance = new notify_event_registry;
  return *instance;
}

std::shared_ptr<manual_event> open_notify_event() {
  notify_event_registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::shared_ptr<manual_event> event = r.shared.lock();
  if (!event) {
    event.reset(new (std::nothrow) manual_event);
    r.shared = event;
  }
  return event;
}

std::shared_ptr<manual_event> event_of(const notify_channel& channel) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  return channel.event;
}

void set_event_of(notify_channel& channel, std::shared_ptr<manual_event> event) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  channel.event = std::move(event);
}

uint32_t sequence_of(const notify_channel& channel) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  return channel.sequence;
}

void print_notification(const std::string& uuid, const uint8_t* value, uint8_t size) {
  std::string line = "NOTIF Char UUID ";
  line += uuid;
  line += ' ';
  char hex[4];
  for (unsigned i = 0; i < size; ++i) {
    snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", value[i]);
    line += hex;
  }
  line += "]\n";
  trace_write(line.data(), line.size());
}

// ---------------------------------------------------------------------------
// The link watch: for each connection object, whether its link is known to
// be down. Each connection is watched on its own (a second connection must
// not make the first one's disconnect go unheard), from its connect until it
// is deleted. Its disconnect handler is registered with a serial of its own
// as context, so that the handler of an earlier link of the same object, or
// of a deleted object, turning up late, says nothing about the current one.

struct watched_link {
  uint32_t serial = NO_OPERATION;  // of the handler registered for it; none: not watched
  bool lost = false;
};

struct link_watch {
  std::mutex lock;
  uint32_t last_serial = NO_OPERATION;
  std::map<const WarbleGatt*, watched_link> links;
};

link_watch& watch() {
  static link_watch* const instance = new link_watch;
  return *instance;
}

// Waits on the link (an operation's, or a channel's) end early once it is
// lost: nothing will answer them any more.
void wake_link_waits() {
  wait_event().set();
  std::shared_ptr<manual_event> notify_event;
  {
    notify_event_registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    notify_event = r.shared.lock();
  }
  if (notify_event) notify_event->set();
}

void on_link_down(void* context, WarbleGatt*, int32_t) {
  trace_line("GATT disconnected");
  const uint32_t serial = serial_of(context);
  bool current = false;
  {
    link_watch& w = watch();
    std::lock_guard<std::mutex> hold(w.lock);
    for (auto& [connection, link] : w.links) {
      if (serial == NO_OPERATION || link.serial != serial) continue;
      link.lost = true;
      current = true;
    }
  }
  if (current) wake_link_waits();
}

// Starts watching `connection`'s link afresh (under the operation lock).
void watch_link(WarbleGatt* connection) {
  uint32_t serial = NO_OPERATION;
  {
    link_watch& w = watch();
    std::lock_guard<std::mutex> hold(w.lock);
    if (++w.last_serial == NO_OPERATION) ++w.last_serial;
    serial = w.last_serial;
    w.links[connection] = watched_link{serial, false};
  }
  ble_api.warble_gatt_on_disconnect(connection, context_of(serial), on_link_down);
}

bool is_watched(const WarbleGatt* connection) {
  link_watch& w = watch();
  std::lock_guard<std::mutex> hold(w.lock);
  const auto found = w.links.find(connection);
  return found != w.links.end() && found->second.serial != NO_OPERATION;
}

void mark_link_lost(const WarbleGatt* connection) {
  {
    link_watch& w = watch();
    std::lock_guard<std::mutex> hold(w.lock);
    w.links[connection].lost = true;
  }
  wake_link_waits();
}

void forget_link(const WarbleGatt* connection) {
  link_watch& w = watch();
  std::lock_guard<std::mutex> hold(w.lock);
  w.links.erase(connection);
}

// After a call failed or went unanswered: the library may have lost the
// link without (yet) calling the disconnect handler. The connection handle
// itself stays valid until it is deleted, so asking is safe.
void learn_link_state(const WarbleGatt* connection) {
  if (connection && !link_lost_now(connection) && !ble_api.warble_gatt_is_connected(connection))
    mark_link_lost(connection);
}

bool link_lost_now(const WarbleGatt* connection) {
  if (!connection) return false;
  link_watch& w = watch();
  std::lock_guard<std::mutex> hold(w.lock);
  const auto found = w.links.find(connection);
  return found != w.links.end() && found->second.lost;
}

void reset_channel(notify_channel& channel) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  channel.gattchar = nullptr;
  channel.gatt = nullptr;
  channel.event.reset();
  channel.length = 0;
  memset(channel.data, 0, sizeof channel.data);
  channel.sequence = 0;
  memset(channel.latest_by_first_byte, 0, sizeof channel.latest_by_first_byte);
}

void set_subscription(notify_channel& channel, WarbleGatt* connection,
                      WarbleGattChar* characteristic) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  channel.gatt = connection;
  channel.gattchar = characteristic;
}

struct subscription {
  WarbleGatt* connection = nullptr;
  WarbleGattChar* characteristic = nullptr;
};

subscription subscription_of(const notify_channel& channel) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  return {channel.gatt, channel.gattchar};
}

}  // namespace

bool gatt_lock_objects_create(const char** which) {
  if (!op_mutex_instance()) {
    if (which) *which = "mutex";
    return false;
  }
  if (!wait_event_instance()) {
    if (which) *which = "event";
    return false;
  }
  slot();
  registry();
  watch();
  return true;
}

gatt_status gatt_connect_sync(WarbleGatt* connection) {
  operation_frame frame;
  // Watched before the attempt: a link that comes up and drops at once is
  // still heard of.
  watch_link(connection);
  const uint32_t serial = open_completion();
  ble_api.warble_gatt_connect_async(connection, context_of(serial), on_connect_done);
  const awaited_answer result = await_completion(connection);
  if (result.outcome == wait_outcome::timed_out) return GATT_TIMED_OUT;
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.answer.status != ANSWER_RECEIVED) return GATT_FAILED;
  return ble_api.warble_gatt_is_connected(connection) ? GATT_OK : GATT_FAILED;
}

gatt_status gatt_disconnect_sync(WarbleGatt* connection) {
  operation_frame frame;
  if (!connection || link_lost_now(connection) || !ble_api.warble_gatt_is_connected(connection))
    return GATT_OK;
  // A connection made elsewhere than gatt_connect_sync is watched from here.
  if (!is_watched(connection)) watch_link(connection);
  ble_api.warble_gatt_disconnect(connection);
  const wait_outcome outcome = wait_on_link(connection, [] { return false; });
  return outcome == wait_outcome::link_lost ? GATT_OK : GATT_TIMED_OUT;
}

gatt_status gatt_cancel_connect_sync(WarbleGatt* connection) {
  if (!connection) return GATT_OK;
  operation_frame frame;
  if (!is_watched(connection)) watch_link(connection);
  // Asked even when the library says the link is not up: that is what ends
  // an attempt still under way, which would otherwise go on to bring up a
  // link on an object about to be deleted.
  const bool was_up = !link_lost_now(connection) && ble_api.warble_gatt_is_connected(connection);
  ble_api.warble_gatt_disconnect(connection);
  if (!was_up) return GATT_OK;
  const wait_outcome outcome = wait_on_link(connection, [] { return false; });
  return outcome == wait_outcome::link_lost ? GATT_OK : GATT_TIMED_OUT;
}

bool gatt_link_lost(const WarbleGatt* connection) {
  return link_lost_now(connection);
}

void gatt_delete_if_set(WarbleGatt* connection) {
  if (!connection) return;
  // The object may be handed out again for a later connection: nothing
  // learnt of this one's link may carry over.
  forget_link(connection);
  ble_api.warble_gatt_delete(connection);
}

int32_t gatt_read_sync(WarbleGatt* connection, const char* uuid, uint8_t* destination,
                       uint32_t max_count) {
  operation_frame frame;
  if (link_lost_now(connection)) return -1;
  WarbleGattChar* characteristic = find_characteristic(connection, uuid);
  if (!characteristic) return -1;
  const uint32_t serial = open_completion();
  ble_api.warble_gattchar_read_async(characteristic, context_of(serial), on_read_done);
  const awaited_answer result = await_completion(connection);
  if (result.outcome != wait_outcome::answered || result.answer.status != ANSWER_RECEIVED) {
    learn_link_state(connection);
    return -1;
  }
  const uint32_t copied = std::min<uint32_t>(result.answer.length, max_count);
  if (copied) memcpy(destination, result.answer.data, copied);
  return result.answer.length;
}

gatt_status gatt_write_sync(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                            uint8_t count) {
  operation_frame frame;
  if (link_lost_now(connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(connection, uuid);
  if (!characteristic) return GATT_FAILED;
  const uint32_t serial = open_completion();
  trace_printf("TIME 11: %u\n", process_clock_ms());
  ble_api.warble_gattchar_write_async(characteristic, bytes, count, context_of(serial),
                                      on_write_done);
  trace_printf("TIME 12: %u\n", process_clock_ms());
  const awaited_answer result = await_completion(connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(connection);
    return GATT_TIMED_OUT;
  }
  trace_printf("TIME 13: %u\n", process_clock_ms());
  if (result.answer.status == ANSWER_RECEIVED) return GATT_OK;
  learn_link_state(connection);
  return GATT_FAILED;
}

gatt_status gatt_write_no_resp(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                               uint8_t count) {
  operation_frame frame;
  if (link_lost_now(connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(connection, uuid);
  if (!characteristic) return GATT_FAILED;
  // Never awaited: its completion may come at any later time, and must find
  // no operation to answer.
  ble_api.warble_gattchar_write_without_resp_async(characteristic, bytes, count,
                                                   context_of(NO_OPERATION), on_write_done);
  return GATT_OK;
}

gatt_status notify_enable(WarbleGatt* connection, const char* uuid, notify_channel* channel) {
  if (!channel) return GATT_FAILED;
  operation_frame frame;
  set_subscription(*channel, connection, nullptr);
  if (link_lost_now(connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(connection, uuid);
  set_subscription(*channel, connection, characteristic);
  if (!characteristic) return GATT_FAILED;
  std::shared_ptr<manual_event> event = open_notify_event();
  if (!event) {
    trace_printf("CreateNotification error: %lu\n", os_last_error());
    return GATT_FAILED;
  }
  set_event_of(*channel, std::move(event));
  const uint32_t serial = open_completion();
  ble_api.warble_gattchar_enable_notifications_async(characteristic, context_of(serial),
                                                     on_enable_done);
  const awaited_answer result = await_completion(connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(connection);
    return GATT_TIMED_OUT;
  }
  if (result.answer.status != ANSWER_RECEIVED) {
    learn_link_state(connection);
    return GATT_FAILED;
  }
  ble_api.warble_gattchar_on_notification_received(characteristic, channel, on_notification);
  return GATT_OK;
}

gatt_status notify_disable(notify_channel* channel) {
  // The library would be handed a dead or null characteristic otherwise.
  if (!channel) return GATT_FAILED;
  const subscription current = subscription_of(*channel);
  if (!current.characteristic) return GATT_FAILED;
  operation_frame frame;
  if (link_lost_now(current.connection)) return GATT_FAILED;
  const uint32_t serial = open_completion();
  ble_api.warble_gattchar_disable_notifications_async(current.characteristic, context_of(serial),
                                                      on_disable_done);
  const awaited_answer result = await_completion(current.connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(current.connection);
    return GATT_TIMED_OUT;
  }
  // The channel lets go of the shared event: waits and resets on it now fail
  // instead of touching a closed event.
  set_event_of(*channel, nullptr);
  if (result.answer.status == ANSWER_RECEIVED) return GATT_OK;
  learn_link_state(current.connection);
  return GATT_FAILED;
}

void notify_forget(notify_channel* channel) {
  if (!channel) return;
  set_subscription(*channel, nullptr, nullptr);
  set_event_of(*channel, nullptr);
}

gatt_status notify_wait(notify_channel* channel, uint32_t timeout_ms) {
  if (!channel) return GATT_FAILED;
  const std::shared_ptr<manual_event> event = event_of(*channel);
  if (!event) return GATT_TIMED_OUT;
  return event->wait_ms(timeout_ms) ? GATT_OK : GATT_TIMED_OUT;
}

gatt_status notify_reset(notify_channel* channel) {
  if (!channel) return GATT_FAILED;
  const std::shared_ptr<manual_event> event = event_of(*channel);
  if (!event) return GATT_FAILED;
  event->reset();
  return GATT_OK;
}

notify_value notify_snapshot(const notify_channel& channel) {
  notify_value value;
  std::lock_guard<std::mutex> hold(channel.data_lock);
  value.length = channel.length;
  memcpy(value.data, channel.data, sizeof value.data);
  value.sequence = channel.sequence;
  return value;
}

void notify_clear(notify_channel* channel) {
  if (!channel) return;
  std::lock_guard<std::mutex> hold(channel->data_lock);
  channel->length = 0;
  memset(channel->data, 0, sizeof channel->data);
}

uint32_t notify_latest_with_first_byte(const notify_channel& channel, uint8_t first_byte) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  return channel.latest_by_first_byte[first_byte];
}

gatt_status notify_wait_for_new(notify_channel* channel, uint32_t since_sequence,
                                uint32_t timeout_ms) {
  if (!channel) return GATT_FAILED;
  const std::shared_ptr<manual_event> event = event_of(*channel);
  if (!event) return GATT_NOT_LISTENING;
  const WarbleGatt* connection = subscription_of(*channel).connection;
  const uint32_t start = tick_count_ms();
  for (;;) {
    // Reset before looking: a notification landing between the look and the
    // wait then leaves the event set, and is never slept through.
    event->reset();
    if (sequence_of(*channel) != since_sequence) return GATT_OK;
    if (link_lost_now(connection)) return GATT_LINK_LOST;
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= timeout_ms) return GATT_TIMED_OUT;
    event->wait_ms(timeout_ms - elapsed);
  }
}

// Takes no lock but the channel's own, and never waits for an operation: a
// library that runs every callback on one thread would otherwise hold the
// completion of the operation in flight behind this notification.
void on_notification(void* context, WarbleGattChar* characteristic, const uint8_t* value,
                     uint8_t size) {
  if (!value) size = 0;
  const char* uuid_text = ble_api.warble_gattchar_get_uuid(characteristic);
  print_notification(uuid_text ? uuid_text : "", value, size);
  notify_channel* channel = static_cast<notify_channel*>(context);
  if (!channel) return;
  std::shared_ptr<manual_event> event;
  {
    std::lock_guard<std::mutex> hold(channel->data_lock);
    // A notification of a characteristic the channel no longer follows (its
    // connection was released, or replaced) belongs to no one.
    if (channel->gattchar != characteristic) return;
    channel->length = size;
    if (value && size) memcpy(channel->data, value, size);
    ++channel->sequence;
    if (size) channel->latest_by_first_byte[value[0]] = channel->sequence;
    event = channel->event;
  }
  if (event) event->set();
}

void gatt_reset_for_tests() {
  operation_frame frame;
  {
    completion_slot& s = slot();
    std::lock_guard<std::mutex> hold(s.lock);
    s.awaited = NO_OPERATION;
    s.answer = completion_answer{};
  }
  {
    link_watch& w = watch();
    std::lock_guard<std::mutex> hold(w.lock);
    w.links.clear();
  }
  reset_channel(status_channel);
  reset_channel(response_channel);
  reset_channel(update_channel);
}
