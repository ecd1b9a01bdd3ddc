#include "ble/gatt_sync.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <utility>

#include "ble/ble_api.h"
#include "platform/clock.h"
#include "platform/os.h"
#include "platform/trace.h"

namespace {

// Holds the pool without ever destroying it (see the header).
union undestroyed_pool {
  connection_slot slots[CONNECTION_SLOT_COUNT];
  template <size_t... Index>
  explicit undestroyed_pool(std::index_sequence<Index...>) : slots{connection_slot(Index)...} {}
  ~undestroyed_pool() {}
};

undestroyed_pool pool{std::make_index_sequence<CONNECTION_SLOT_COUNT>()};

// Which leasable slots are out; slot 0 is never leased.
constinit std::atomic<bool> leased[CONNECTION_SLOT_COUNT] = {};

}  // namespace

// Bound before any code runs, so other files may take their addresses in
// their own static initialisers.
constinit std::atomic<WarbleGatt*>& gatt = pool.slots[WINDOW_CONNECTION_SLOT].gatt;
constinit notify_channel& status_channel = pool.slots[WINDOW_CONNECTION_SLOT].status;
constinit notify_channel& response_channel = pool.slots[WINDOW_CONNECTION_SLOT].response;
constinit notify_channel& update_channel = pool.slots[WINDOW_CONNECTION_SLOT].update;

namespace {

// ---------------------------------------------------------------------------
// Tying a completion to the operation that started its call.
//
// Each awaited call gets a serial number of its slot, handed to the library
// with the slot's index as the call's context (an integer, never a pointer
// to the operation's stack, so a completion that turns up late dereferences
// nothing). The handler writes the answer and sets the slot's wait event
// only while that serial is the one its slot awaits. The completion slot
// has its own small lock: handlers must never take the operation lock,
// which the waiting operation holds.

constexpr uint32_t NO_OPERATION = 0;  // the serial of a never-awaited call

// A context carries the slot's index above the serial. 24 bits of serial
// are some sixteen million calls of one slot before a number comes back: a
// completion that late is not one a library delivers.
constexpr uint32_t SERIAL_BITS = 24;
constexpr uint32_t SERIAL_MASK = (uint32_t{1} << SERIAL_BITS) - 1;

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
  uint32_t last_serial = NO_OPERATION;
  uint32_t awaited = NO_OPERATION;
  completion_answer answer;
};

// ---------------------------------------------------------------------------
// The link watch of a slot: for each connection object, whether its link is
// known to be down. Each connection is watched on its own (a second
// connection must not make the first one's disconnect go unheard), from its
// connect until it is deleted. Its disconnect handler is registered with a
// serial of its own as context, so that the handler of an earlier link of
// the same object, or of a deleted object, turning up late, says nothing
// about the current one.

struct watched_link {
  uint32_t serial = NO_OPERATION;  // of the handler registered for it; none: not watched
  bool lost = false;
};

struct link_watch {
  std::mutex lock;
  uint32_t last_serial = NO_OPERATION;
  std::map<const WarbleGatt*, watched_link> links;
};

// ---------------------------------------------------------------------------
// The notify channels' shared event. The program once had the three channels
// open one system event by name; here a registry of the slot plays that
// part: it hands out the event some channel of the slot still holds, or a
// fresh, clear one once every channel has let go of it.

struct notify_event_registry {
  std::mutex lock;
  std::weak_ptr<manual_event> shared;
};

// What the GATT layer keeps of a slot besides its public record. Created
// once for every slot and never freed: library threads may be inside a
// handler when the process exits.
struct slot_state {
  std::mutex operation_lock;
  manual_event wait_event;
  completion_slot completion;
  link_watch watch;
  notify_event_registry registry;
  std::mutex tag_lock;
  std::string tag;
  // The library's own words for the latest connect it refused, under the
  // operation lock (only the slot's thread connects and asks).
  std::string connect_error;
};

slot_state* slot_states() {
  static slot_state* const instance = new (std::nothrow) slot_state[CONNECTION_SLOT_COUNT];
  return instance;
}

slot_state& state_of(uint32_t index) {
  return slot_states()[index];
}

slot_state& state_of(const connection_slot& slot) {
  return state_of(slot.index);
}

std::string tag_of(uint32_t index) {
  slot_state& s = state_of(index);
  std::lock_guard<std::mutex> hold(s.tag_lock);
  return s.tag;
}

uint32_t next_serial(uint32_t& last) {
  last = (last + 1) & SERIAL_MASK;
  if (last == NO_OPERATION) last = 1;
  return last;
}

void* context_of(const connection_slot& slot, uint32_t serial) {
  return reinterpret_cast<void*>(uintptr_t{(slot.index << SERIAL_BITS) | serial});
}

// What a completion or disconnect handler is told by its context.
struct callback_context {
  bool valid = false;  // names a slot of the pool
  uint32_t slot = 0;
  uint32_t serial = NO_OPERATION;
};

callback_context decode(void* context) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(context);
  callback_context decoded;
  decoded.slot = static_cast<uint32_t>(value >> SERIAL_BITS);
  decoded.serial = static_cast<uint32_t>(value & SERIAL_MASK);
  decoded.valid = decoded.slot < CONNECTION_SLOT_COUNT;
  return decoded;
}

// A callback that comes late (a completion twice, or of a call nobody waits
// for any more; a link or a characteristic the slot no longer follows) may
// belong to a device the slot served before: said under this tag instead
// of the one the slot carries now. A slot without a tag (the window's) says
// it as it says everything.
constexpr const char* LATE_TAG = "late";

std::string late_tag_of(uint32_t slot) {
  return tag_of(slot).empty() ? std::string() : std::string(LATE_TAG);
}

// The tag a completion's lines carry: its slot's, taken while the slot still
// awaits that very call (the tag changes only once the slot serves another
// device, after every call of this one ended); else the late tag.
std::string completion_tag(const callback_context& context);

// ---------------------------------------------------------------------------
// The operation lock.

// Holds the slot's operation lock for the whole of an operation, released
// exactly once on every way out.
class operation_frame {
 public:
  explicit operation_frame(const connection_slot& slot) : state_(state_of(slot)) {
    state_.operation_lock.lock();
    state_.wait_event.reset();
  }
  ~operation_frame() { state_.operation_lock.unlock(); }
  operation_frame(const operation_frame&) = delete;
  operation_frame& operator=(const operation_frame&) = delete;

 private:
  slot_state& state_;
};

// Opens the slot for a call about to be made; returns the call's serial.
uint32_t open_completion(const connection_slot& slot) {
  completion_slot& c = state_of(slot).completion;
  std::lock_guard<std::mutex> hold(c.lock);
  c.awaited = next_serial(c.last_serial);
  c.answer = completion_answer{};
  return c.awaited;
}

enum class wait_outcome { answered, link_lost, timed_out };

struct awaited_answer {
  wait_outcome outcome = wait_outcome::timed_out;
  completion_answer answer;
};

bool link_lost_now(const connection_slot& slot, const WarbleGatt* connection);
void learn_link_state(const connection_slot& slot, const WarbleGatt* connection);

// Closes the slot so that nothing arriving later can touch the answer.
awaited_answer close_completion(const connection_slot& slot, wait_outcome outcome) {
  completion_slot& c = state_of(slot).completion;
  std::lock_guard<std::mutex> hold(c.lock);
  c.awaited = NO_OPERATION;
  awaited_answer result{outcome, c.answer};
  if (c.answer.answered) result.outcome = wait_outcome::answered;
  return result;
}

bool answer_arrived(const connection_slot& slot) {
  completion_slot& c = state_of(slot).completion;
  std::lock_guard<std::mutex> hold(c.lock);
  return c.answer.answered;
}

// Waits at most OP_TIMEOUT_MS for `condition`, or for the link of
// `connection` to go. The event is reset before each look, so a wake-up
// that lands between the look and the wait is never slept through.
template <typename Condition>
wait_outcome wait_on_link(const connection_slot& slot, const WarbleGatt* connection,
                          Condition condition) {
  manual_event& wait_event = state_of(slot).wait_event;
  const uint32_t start = tick_count_ms();
  for (;;) {
    wait_event.reset();
    if (condition()) return wait_outcome::answered;
    if (link_lost_now(slot, connection)) return wait_outcome::link_lost;
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= OP_TIMEOUT_MS) return wait_outcome::timed_out;
    wait_event.wait_ms(OP_TIMEOUT_MS - elapsed);
  }
}

// Waits for the awaited call's completion; ends early when the link of
// `connection` goes, since no completion may come then.
awaited_answer await_completion(const connection_slot& slot, const WarbleGatt* connection) {
  return close_completion(slot,
                          wait_on_link(slot, connection, [&slot] { return answer_arrived(slot); }));
}

// Records the answer of call `context` and wakes its operation, when that
// call is still awaited by its slot and unanswered; a second completion of
// the same call changes nothing. `fill` runs under the completion slot's
// lock.
template <typename Fill>
void deliver(const callback_context& context, Fill fill) {
  if (!context.valid || context.serial == NO_OPERATION) return;
  slot_state& s = state_of(context.slot);
  std::lock_guard<std::mutex> hold(s.completion.lock);
  if (context.serial != s.completion.awaited || s.completion.answer.answered) return;
  fill(s.completion.answer);
  s.completion.answer.answered = true;
  s.wait_event.set();
}

std::string completion_tag(const callback_context& context) {
  if (!context.valid) return std::string();
  slot_state& s = state_of(context.slot);
  std::lock_guard<std::mutex> hold(s.completion.lock);
  const bool awaited = context.serial != NO_OPERATION && context.serial == s.completion.awaited &&
                       !s.completion.answer.answered;
  return awaited ? tag_of(context.slot) : late_tag_of(context.slot);
}

void deliver_status(const callback_context& context, int32_t status) {
  deliver(context, [status](completion_answer& answer) { answer.status = status; });
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
  const callback_context call = decode(context);
  const trace_tag_scope tagged(completion_tag(call));
  if (error) print_error(error);
  // The error text lives only during this call: a bounded copy goes with
  // the answer.
  deliver(call, [error](completion_answer& answer) {
    answer.status = error ? ANSWER_ERROR : ANSWER_RECEIVED;
    const size_t length = error ? strnlen(error, sizeof answer.data - 1) : 0;
    answer.length = static_cast<uint8_t>(length);
    if (length) memcpy(answer.data, error, length);
  });
}

void on_read_done(void* context, WarbleGattChar*, const uint8_t* value, uint8_t size,
                  const char* error) {
  const callback_context call = decode(context);
  const trace_tag_scope tagged(completion_tag(call));
  if (error) {
    print_error(error);
    deliver(call, [](completion_answer& answer) {
      answer.status = ANSWER_ERROR;
      answer.length = 0;
    });
    return;
  }
  deliver(call, [value, size](completion_answer& answer) {
    answer.length = size;
    answer.status = ANSWER_RECEIVED;
    trace_printf("\nReceived read answer %u bytes:", static_cast<unsigned>(size));
    if (value && size) memcpy(answer.data, value, size);
  });
}

void on_write_done(void* context, WarbleGattChar*, const char* error) {
  const callback_context call = decode(context);
  const trace_tag_scope tagged(completion_tag(call));
  if (error) print_error(error);
  deliver_status(call, error ? ANSWER_ERROR : ANSWER_RECEIVED);
}

void on_enable_done(void* context, WarbleGattChar* characteristic, const char* error) {
  on_write_done(context, characteristic, error);
}

void on_disable_done(void* context, WarbleGattChar*, const char* error) {
  const callback_context call = decode(context);
  const trace_tag_scope tagged(completion_tag(call));
  if (error) print_error(error);
  trace_line("GATT disconnected");
  deliver_status(call, error ? ANSWER_ERROR : ANSWER_RECEIVED);
}

// A library may find no characteristic because the link has just dropped,
// before its disconnect handler ran: the link is asked then, so that the
// failure is told as the lost link it is.
WarbleGattChar* find_characteristic(const connection_slot& slot, WarbleGatt* connection,
                                    const char* uuid) {
  WarbleGattChar* characteristic = ble_api.warble_gatt_find_characteristic(connection, uuid);
  if (characteristic) return characteristic;
  trace_line("Characteristic not found");
  learn_link_state(slot, connection);
  return nullptr;
}

// ---------------------------------------------------------------------------
// The channels.

std::shared_ptr<manual_event> open_notify_event(const connection_slot& slot) {
  notify_event_registry& r = state_of(slot).registry;
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

bool follows(const notify_channel& channel, const WarbleGattChar* characteristic) {
  std::lock_guard<std::mutex> hold(channel.data_lock);
  return channel.gattchar == characteristic;
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
// The link watch (see above).

// Waits on the slot's link (an operation's, or a channel's) end early once
// it is lost: nothing will answer them any more.
void wake_link_waits(slot_state& s) {
  s.wait_event.set();
  std::shared_ptr<manual_event> notify_event;
  {
    std::lock_guard<std::mutex> hold(s.registry.lock);
    notify_event = s.registry.shared.lock();
  }
  if (notify_event) notify_event->set();
}

// A link the slot no longer watches (its connection deleted, or watched
// afresh since) belongs to a device the slot served before: said as late.
void on_link_down(void* context, WarbleGatt*, int32_t) {
  const callback_context call = decode(context);
  if (!call.valid) {
    trace_line("GATT disconnected");
    return;
  }
  slot_state& s = state_of(call.slot);
  bool current = false;
  std::string tag;
  {
    std::lock_guard<std::mutex> hold(s.watch.lock);
    for (auto& [connection, link] : s.watch.links) {
      if (call.serial == NO_OPERATION || link.serial != call.serial) continue;
      link.lost = true;
      current = true;
    }
    tag = current ? tag_of(call.slot) : late_tag_of(call.slot);
  }
  {
    const trace_tag_scope tagged(tag);
    trace_line("GATT disconnected");
  }
  if (current) wake_link_waits(s);
}

// Starts watching `connection`'s link afresh (under the operation lock).
void watch_link(const connection_slot& slot, WarbleGatt* connection) {
  link_watch& w = state_of(slot).watch;
  uint32_t serial = NO_OPERATION;
  {
    std::lock_guard<std::mutex> hold(w.lock);
    serial = next_serial(w.last_serial);
    w.links[connection] = watched_link{serial, false};
  }
  ble_api.warble_gatt_on_disconnect(connection, context_of(slot, serial), on_link_down);
}

bool is_watched(const connection_slot& slot, const WarbleGatt* connection) {
  link_watch& w = state_of(slot).watch;
  std::lock_guard<std::mutex> hold(w.lock);
  const auto found = w.links.find(connection);
  return found != w.links.end() && found->second.serial != NO_OPERATION;
}

void mark_link_lost(const connection_slot& slot, const WarbleGatt* connection) {
  slot_state& s = state_of(slot);
  {
    std::lock_guard<std::mutex> hold(s.watch.lock);
    s.watch.links[connection].lost = true;
  }
  wake_link_waits(s);
}

void forget_link(const connection_slot& slot, const WarbleGatt* connection) {
  link_watch& w = state_of(slot).watch;
  std::lock_guard<std::mutex> hold(w.lock);
  w.links.erase(connection);
}

// After a call failed or went unanswered: the library may have lost the
// link without (yet) calling the disconnect handler. The connection handle
// itself stays valid until it is deleted, so asking is safe.
void learn_link_state(const connection_slot& slot, const WarbleGatt* connection) {
  if (connection && !link_lost_now(slot, connection) &&
      !ble_api.warble_gatt_is_connected(connection))
    mark_link_lost(slot, connection);
}

bool link_lost_now(const connection_slot& slot, const WarbleGatt* connection) {
  if (!connection) return false;
  link_watch& w = state_of(slot).watch;
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

const connection_slot& slot_of(const notify_channel& channel) {
  return pool.slots[channel.slot];
}

}  // namespace

connection_slot& window_connection_slot() {
  return pool.slots[WINDOW_CONNECTION_SLOT];
}

connection_slot& connection_slot_at(uint32_t index) {
  return pool.slots[index];
}

connection_slot* connection_slot_lease() {
  for (uint32_t index = WINDOW_CONNECTION_SLOT + 1; index < CONNECTION_SLOT_COUNT; ++index) {
    bool free = false;
    if (leased[index].compare_exchange_strong(free, true)) return &pool.slots[index];
  }
  return nullptr;
}

void connection_slot_return(connection_slot* slot) {
  if (!slot || slot->index == WINDOW_CONNECTION_SLOT) return;
  connection_slot_set_tag(*slot, "");
  leased[slot->index] = false;
}

void connection_slot_set_tag(connection_slot& slot, const std::string& tag) {
  slot_state& s = state_of(slot);
  std::lock_guard<std::mutex> hold(s.tag_lock);
  s.tag = tag;
}

std::string connection_slot_tag(const connection_slot& slot) {
  return tag_of(slot.index);
}

bool gatt_lock_objects_create(const char** which) {
  if (!slot_states()) {
    if (which) *which = "mutex";
    return false;
  }
  return true;
}

gatt_status gatt_connect_sync(connection_slot& slot, WarbleGatt* connection) {
  operation_frame frame(slot);
  // Watched before the attempt: a link that comes up and drops at once is
  // still heard of.
  watch_link(slot, connection);
  const uint32_t serial = open_completion(slot);
  state_of(slot).connect_error.clear();
  ble_api.warble_gatt_connect_async(connection, context_of(slot, serial), on_connect_done);
  const awaited_answer result = await_completion(slot, connection);
  if (result.outcome == wait_outcome::timed_out) return GATT_TIMED_OUT;
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.answer.status != ANSWER_RECEIVED) {
    state_of(slot).connect_error.assign(reinterpret_cast<const char*>(result.answer.data),
                                        result.answer.length);
    return GATT_FAILED;
  }
  return ble_api.warble_gatt_is_connected(connection) ? GATT_OK : GATT_FAILED;
}

std::string gatt_connect_error(connection_slot& slot) {
  operation_frame frame(slot);
  return state_of(slot).connect_error;
}

gatt_status gatt_connect_sync(WarbleGatt* connection) {
  return gatt_connect_sync(window_connection_slot(), connection);
}

gatt_status gatt_disconnect_sync(connection_slot& slot, WarbleGatt* connection) {
  operation_frame frame(slot);
  if (!connection || link_lost_now(slot, connection) ||
      !ble_api.warble_gatt_is_connected(connection))
    return GATT_OK;
  // A connection made elsewhere than gatt_connect_sync is watched from here.
  if (!is_watched(slot, connection)) watch_link(slot, connection);
  ble_api.warble_gatt_disconnect(connection);
  const wait_outcome outcome = wait_on_link(slot, connection, [] { return false; });
  return outcome == wait_outcome::link_lost ? GATT_OK : GATT_TIMED_OUT;
}

gatt_status gatt_disconnect_sync(WarbleGatt* connection) {
  return gatt_disconnect_sync(window_connection_slot(), connection);
}

gatt_status gatt_cancel_connect_sync(connection_slot& slot, WarbleGatt* connection) {
  if (!connection) return GATT_OK;
  operation_frame frame(slot);
  if (!is_watched(slot, connection)) watch_link(slot, connection);
  // Asked even when the library says the link is not up: that is what ends
  // an attempt still under way, which would otherwise go on to bring up a
  // link on an object about to be deleted.
  const bool was_up =
      !link_lost_now(slot, connection) && ble_api.warble_gatt_is_connected(connection);
  ble_api.warble_gatt_disconnect(connection);
  if (!was_up) return GATT_OK;
  const wait_outcome outcome = wait_on_link(slot, connection, [] { return false; });
  return outcome == wait_outcome::link_lost ? GATT_OK : GATT_TIMED_OUT;
}

gatt_status gatt_cancel_connect_sync(WarbleGatt* connection) {
  return gatt_cancel_connect_sync(window_connection_slot(), connection);
}

bool gatt_link_lost(const connection_slot& slot, const WarbleGatt* connection) {
  return link_lost_now(slot, connection);
}

bool gatt_link_lost(const WarbleGatt* connection) {
  return gatt_link_lost(window_connection_slot(), connection);
}

void gatt_delete_if_set(connection_slot& slot, WarbleGatt* connection) {
  if (!connection) return;
  WarbleGatt* bound = connection;
  slot.gatt.compare_exchange_strong(bound, nullptr);
  // The object may be handed out again for a later connection: nothing
  // learnt of this one's link may carry over.
  forget_link(slot, connection);
  ble_api.warble_gatt_delete(connection);
}

void gatt_delete_if_set(WarbleGatt* connection) {
  gatt_delete_if_set(window_connection_slot(), connection);
}

int32_t gatt_read_sync(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                       uint8_t* destination, uint32_t max_count) {
  operation_frame frame(slot);
  if (link_lost_now(slot, connection)) return -1;
  WarbleGattChar* characteristic = find_characteristic(slot, connection, uuid);
  if (!characteristic) return -1;
  const uint32_t serial = open_completion(slot);
  ble_api.warble_gattchar_read_async(characteristic, context_of(slot, serial), on_read_done);
  const awaited_answer result = await_completion(slot, connection);
  if (result.outcome != wait_outcome::answered || result.answer.status != ANSWER_RECEIVED) {
    learn_link_state(slot, connection);
    return -1;
  }
  const uint32_t copied = std::min<uint32_t>(result.answer.length, max_count);
  if (copied) memcpy(destination, result.answer.data, copied);
  return result.answer.length;
}

int32_t gatt_read_sync(WarbleGatt* connection, const char* uuid, uint8_t* destination,
                       uint32_t max_count) {
  return gatt_read_sync(window_connection_slot(), connection, uuid, destination, max_count);
}

gatt_status gatt_write_sync(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                            const uint8_t* bytes, uint8_t count) {
  operation_frame frame(slot);
  if (link_lost_now(slot, connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(slot, connection, uuid);
  if (!characteristic) return GATT_FAILED;
  const uint32_t serial = open_completion(slot);
  trace_printf("TIME 11: %u\n", process_clock_ms());
  ble_api.warble_gattchar_write_async(characteristic, bytes, count, context_of(slot, serial),
                                      on_write_done);
  trace_printf("TIME 12: %u\n", process_clock_ms());
  const awaited_answer result = await_completion(slot, connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(slot, connection);
    return GATT_TIMED_OUT;
  }
  trace_printf("TIME 13: %u\n", process_clock_ms());
  if (result.answer.status == ANSWER_RECEIVED) return GATT_OK;
  learn_link_state(slot, connection);
  return GATT_FAILED;
}

gatt_status gatt_write_sync(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                            uint8_t count) {
  return gatt_write_sync(window_connection_slot(), connection, uuid, bytes, count);
}

gatt_status gatt_write_no_resp(connection_slot& slot, WarbleGatt* connection, const char* uuid,
                               const uint8_t* bytes, uint8_t count) {
  operation_frame frame(slot);
  if (link_lost_now(slot, connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(slot, connection, uuid);
  if (!characteristic) return GATT_FAILED;
  // Never awaited: its completion may come at any later time, and must find
  // no operation to answer. It still names its slot, for its trace.
  ble_api.warble_gattchar_write_without_resp_async(characteristic, bytes, count,
                                                   context_of(slot, NO_OPERATION), on_write_done);
  return GATT_OK;
}

gatt_status gatt_write_no_resp(WarbleGatt* connection, const char* uuid, const uint8_t* bytes,
                               uint8_t count) {
  return gatt_write_no_resp(window_connection_slot(), connection, uuid, bytes, count);
}

gatt_status notify_enable(WarbleGatt* connection, const char* uuid, notify_channel* channel) {
  if (!channel) return GATT_FAILED;
  const connection_slot& slot = slot_of(*channel);
  operation_frame frame(slot);
  set_subscription(*channel, connection, nullptr);
  if (link_lost_now(slot, connection)) return GATT_FAILED;
  WarbleGattChar* characteristic = find_characteristic(slot, connection, uuid);
  set_subscription(*channel, connection, characteristic);
  if (!characteristic) return GATT_FAILED;
  std::shared_ptr<manual_event> event = open_notify_event(slot);
  if (!event) {
    trace_printf("CreateNotification error: %lu\n", os_last_error());
    return GATT_FAILED;
  }
  set_event_of(*channel, std::move(event));
  const uint32_t serial = open_completion(slot);
  ble_api.warble_gattchar_enable_notifications_async(characteristic, context_of(slot, serial),
                                                     on_enable_done);
  const awaited_answer result = await_completion(slot, connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(slot, connection);
    return GATT_TIMED_OUT;
  }
  if (result.answer.status != ANSWER_RECEIVED) {
    learn_link_state(slot, connection);
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
  const connection_slot& slot = slot_of(*channel);
  operation_frame frame(slot);
  if (link_lost_now(slot, current.connection)) return GATT_FAILED;
  const uint32_t serial = open_completion(slot);
  ble_api.warble_gattchar_disable_notifications_async(current.characteristic,
                                                      context_of(slot, serial), on_disable_done);
  const awaited_answer result = await_completion(slot, current.connection);
  if (result.outcome == wait_outcome::link_lost) return GATT_FAILED;
  if (result.outcome == wait_outcome::timed_out) {
    learn_link_state(slot, current.connection);
    return GATT_TIMED_OUT;
  }
  // The channel lets go of the shared event: waits and resets on it now fail
  // instead of touching a closed event.
  set_event_of(*channel, nullptr);
  if (result.answer.status == ANSWER_RECEIVED) return GATT_OK;
  learn_link_state(slot, current.connection);
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
  const connection_slot& slot = slot_of(*channel);
  const WarbleGatt* connection = subscription_of(*channel).connection;
  const uint32_t start = tick_count_ms();
  for (;;) {
    // Reset before looking: a notification landing between the look and the
    // wait then leaves the event set, and is never slept through.
    event->reset();
    if (sequence_of(*channel) != since_sequence) return GATT_OK;
    if (link_lost_now(slot, connection)) return GATT_LINK_LOST;
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= timeout_ms) return GATT_TIMED_OUT;
    event->wait_ms(timeout_ms - elapsed);
  }
}

// Takes no lock but the channel's own and its slot's tag lock, and never
// waits for an operation: a library that runs every callback on one thread
// would otherwise hold the completion of the operation in flight behind
// this notification.
void on_notification(void* context, WarbleGattChar* characteristic, const uint8_t* value,
                     uint8_t size) {
  if (!value) size = 0;
  notify_channel* channel = static_cast<notify_channel*>(context);
  // A notification of a characteristic the channel no longer follows (its
  // connection was released, or replaced) belongs to no one: said as late.
  const bool current = channel && follows(*channel, characteristic);
  const trace_tag_scope tagged(!channel  ? std::string()
                               : current ? tag_of(channel->slot)
                                         : late_tag_of(channel->slot));
  const char* uuid_text = ble_api.warble_gattchar_get_uuid(characteristic);
  print_notification(uuid_text ? uuid_text : "", value, size);
  if (!current) return;
  std::shared_ptr<manual_event> event;
  {
    std::lock_guard<std::mutex> hold(channel->data_lock);
    // Let go of meanwhile: as above.
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
  for (connection_slot& slot : pool.slots) {
    operation_frame frame(slot);
    slot_state& s = state_of(slot);
    {
      std::lock_guard<std::mutex> hold(s.completion.lock);
      s.completion.awaited = NO_OPERATION;
      s.completion.answer = completion_answer{};
    }
    {
      std::lock_guard<std::mutex> hold(s.watch.lock);
      s.watch.links.clear();
    }
    reset_channel(slot.status);
    reset_channel(slot.response);
    reset_channel(slot.update);
    slot.gatt = nullptr;
    connection_slot_set_tag(slot, "");
    leased[slot.index] = false;
  }
}
