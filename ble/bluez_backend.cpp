#include "ble/bluez_backend.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ble/bluez_dbus.h"
#include "ble/bluez_open.h"
#include "ble/gatt_sync.h"
#include "platform/trace.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Every call to BlueZ is bounded by the GATT layer's own operation bound,
// in real time: under a test's time compression the layer gives up sooner
// and rejects the late answer, and the call still ends.
constexpr milliseconds CALL_TIMEOUT{OP_TIMEOUT_MS};
// A connection, with the search for a device BlueZ has dropped from its
// tree and the retries below, ends within the same bound.
constexpr milliseconds CONNECT_BOUND{OP_TIMEOUT_MS};
// BlueZ sets up one connection at a time and answers another Connect
// meanwhile with InProgress: asked again after this pause.
constexpr milliseconds IN_PROGRESS_PAUSE{100};
// Characteristic objects can come after ServicesResolved: a connection is
// ready once none came for this long.
constexpr milliseconds GATT_SETTLE{50};

// The status a disconnect handler is told: the link dropped (supervision
// time-out), or we ended it.
constexpr int32_t LINK_DROPPED_STATUS = 0x08;
constexpr int32_t LOCAL_DISCONNECT_STATUS = 0x16;

constexpr size_t SEAM_VALUE_MAX = 255;

// A socket BlueZ handed over for writes without response that is full for
// the moment is tried again after this pause; the writes wait in order.
constexpr milliseconds SOCKET_FULL_PAUSE{1};

enum class link_state { idle, connecting, up, down };

// Writes without response go through a socket BlueZ hands over
// (AcquireWrite) where it offers one: no D-Bus round trip a frame.
enum class acquired_write { not_offered, untried, asking, acquired, refused };

struct queued_write {
  std::vector<uint8_t> bytes;
  void* context = nullptr;
  warble_char_done_handler handler = nullptr;
};

}  // namespace

struct WarbleGatt {
  uint64_t generation = 0;  // the backend it belongs to
  std::string mac;          // upper case; never changed
  std::string path;         // its Device1 object; never changed
  // Guarded by the backend's state lock.
  link_state state = link_state::idle;
  bool deleted = false;
  bool came_up = false;
  bool paired = false;
  void* disconnect_context = nullptr;
  warble_disconnect_handler on_disconnect = nullptr;
  std::vector<WarbleGattChar*> characteristics;  // of the current link
  std::vector<std::string> services;             // their UUIDs, lower case
  // The bus thread's alone: the connection being made.
  uint64_t attempt = 0;
  void* connect_context = nullptr;
  warble_connect_handler on_connect = nullptr;
  clock_type::time_point deadline{};
  clock_type::time_point last_gatt_object{};
  uint64_t connect_call = 0;  // the Connect whose answer counts
  bool discovering = false;
  bool connect_answered = false;
  bool settle_armed = false;
};

struct WarbleGattChar {
  WarbleGatt* gatt = nullptr;
  std::string uuid;  // lower case; never changed
  std::string path;  // never changed
  // Guarded by the backend's state lock.
  bool dead = false;
  void* notify_context = nullptr;
  warble_notify_handler on_notify = nullptr;
  // The value the characteristic held when it was subscribed (a read right
  // after StartNotify), or of a notification that came before a handler was
  // there: handed over as the first notification once the handler is
  // registered. BlueZ can lose the notification sent right after
  // StartNotify, and a device's early status must not be lost with it.
  std::optional<std::vector<uint8_t>> initial;
  // The bus thread's alone: reads in flight (BlueZ also announces a read's
  // value as a change of Value, which is no notification).
  int reads_in_flight = 0;
  // The bus thread's alone: the write socket, and the writes without
  // response waiting for it (in the order they were asked for).
  acquired_write acquire = acquired_write::not_offered;
  int write_fd = -1;
  bool retry_armed = false;
  std::deque<queued_write> queued;
};

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool is_mac(const std::string& text) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool colon_place = i % 3 == 2;
    if (colon_place ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i])))
      return false;
  }
  return true;
}

bool under(const std::string& path, const std::string& parent) {
  return path.size() > parent.size() + 1 && path.compare(0, parent.size(), parent) == 0 &&
         path[parent.size()] == '/';
}

// Handles of every backend ever opened: never freed, never reused.
struct handle_registry {
  std::mutex lock;
  std::vector<std::unique_ptr<WarbleGatt>> gatts;
  std::vector<std::unique_ptr<WarbleGattChar>> characteristics;
  std::unordered_set<const void*> known;
};

handle_registry& registry() {
  static handle_registry* instance = new handle_registry;  // outlives every thread
  return *instance;
}

bool known_handle(const void* handle) {
  handle_registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  return handle && r.known.count(handle);
}

class backend {
 public:
  backend(uint64_t generation, sd_bus* bus, bluez_start start);
  ~backend();

  uint64_t generation() const { return generation_; }
  const std::string& adapter_name() const { return start_.adapter_name; }
  const std::string& adapter_address() const { return start_.adapter_address; }

  // The table's functions, on the caller's thread.
  void set_scan_handler(void* context, warble_scan_handler handler);
  void start_scan();
  void stop_scan();
  WarbleGatt* create(const std::string& mac);
  bool is_connected(const WarbleGatt* gatt);
  void connect(WarbleGatt* gatt, void* context, warble_connect_handler handler);
  void disconnect(WarbleGatt* gatt);
  void on_disconnect(WarbleGatt* gatt, void* context, warble_disconnect_handler handler);
  WarbleGattChar* find(const WarbleGatt* gatt, const std::string& uuid);
  bool has_service(const WarbleGatt* gatt, const std::string& uuid);
  void read(WarbleGattChar* chr, void* context, warble_read_handler handler);
  void write(WarbleGattChar* chr, const uint8_t* value, uint8_t length, bool with_response,
             void* context, warble_char_done_handler handler);
  void set_notifications(WarbleGattChar* chr, bool enable, void* context,
                         warble_char_done_handler handler);
  void on_notification(WarbleGattChar* chr, void* context, warble_notify_handler handler);
  void destroy(WarbleGatt* gatt);
  void read_initial(WarbleGattChar* chr, void* context, warble_char_done_handler handler);

 private:
  // Bus thread below.
  static int on_signal(sd_bus_message* message, void* userdata, sd_bus_error*);
  void signal(sd_bus_message* message);
  void interfaces_added(sd_bus_message* message);
  void interfaces_removed(sd_bus_message* message);
  void properties_changed(sd_bus_message* message);
  void owner_changed(sd_bus_message* message);
  void bus_closed();
  void device_changed(const std::string& path, const bluez_properties& change);
  void gatt_object_added(const std::string& path);
  void report(const std::string& path);

  void discovery(int users_delta);
  sd_bus_message* new_call(const std::string& path, const char* interface, const char* member);
  bool send(sd_bus_message* call, bus_thread::reply_handler handler);

  void connect_step(WarbleGatt* gatt, uint64_t attempt);
  void connect_answered(WarbleGatt* gatt, uint64_t attempt, sd_bus_message* reply);
  void check_ready(WarbleGatt* gatt, uint64_t attempt);
  void finish_connect(WarbleGatt* gatt, const char* error);
  void end_search(WarbleGatt* gatt);
  bool connecting(const WarbleGatt* gatt, uint64_t attempt);
  void link_lost(WarbleGatt* gatt, int32_t status);
  void lose_every_link();
  void ask_disconnect(const std::string& path);
  void forget_device_cache(const std::string& path);
  std::vector<WarbleGatt*> gatts_of(const std::string& device_path);
  WarbleGattChar* live_characteristic(const std::string& path);
  bool usable(const WarbleGattChar* chr);
  void fail_char_call(WarbleGattChar* chr, void* context, warble_char_done_handler handler,
                      const char* error);
  void write_value(WarbleGattChar* chr, const std::vector<uint8_t>& bytes, bool with_response,
                   void* context, warble_char_done_handler handler);
  void acquire_write(WarbleGattChar* chr);
  void flush_writes(WarbleGattChar* chr);
  void writes_through_dbus(WarbleGattChar* chr);
  void release_writes(WarbleGatt* gatt);
  void release_writes(WarbleGattChar* chr);

  const uint64_t generation_;
  const bluez_start start_;
  std::string bluez_owner_;  // the unique name BlueZ speaks with

  std::mutex state_lock_;
  std::recursive_mutex scan_lock_;  // held while a result is handed over
  bool scanning_ = false;
  void* scan_context_ = nullptr;
  warble_scan_handler scan_handler_ = nullptr;

  // The bus thread's alone.
  std::map<std::string, bluez_object> objects_;
  std::vector<WarbleGatt*> live_;  // created, not deleted
  int discovery_users_ = 0;
  bool user_scanning_ = false;
  std::vector<sd_bus_slot*> matches_;

  std::unique_ptr<bus_thread> thread_;  // last: stops first
};

backend::backend(uint64_t generation, sd_bus* bus, bluez_start start)
    : generation_(generation), start_(std::move(start)) {
  bluez_owner_ = start_.owner;
  objects_ = start_.objects;
  // Added before the thread runs: the matches are in place before anything
  // is asked of BlueZ. No sender in the rules (a well-known sender does not
  // filter on this side): each signal's sender is checked against BlueZ's
  // unique name instead, so no other client can pose as BlueZ.
  const char* rules[] = {
      "type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
      "type='signal',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path_namespace='/org/bluez'",
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='org.bluez'",
  };
  for (const char* rule : rules) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match(bus, &slot, rule, on_signal, this) >= 0) matches_.push_back(slot);
  }
  thread_ = std::make_unique<bus_thread>(bus, [this] { bus_closed(); });
}

backend::~backend() {
  // The matches go with the connection, once the thread stopped.
  for (sd_bus_slot* slot : matches_) sd_bus_slot_set_floating(slot, 1);
  for (sd_bus_slot* slot : matches_) sd_bus_slot_unref(slot);
  thread_.reset();
  std::lock_guard<std::mutex> hold(state_lock_);
  handle_registry& r = registry();
  std::lock_guard<std::mutex> registry_hold(r.lock);
  for (auto& gatt : r.gatts) {
    if (gatt->generation != generation_) continue;
    gatt->state = link_state::down;
    for (WarbleGattChar* chr : gatt->characteristics) {
      chr->dead = true;
      if (chr->write_fd >= 0) close(chr->write_fd);
      chr->write_fd = -1;
    }
  }
}

// --- signals --------------------------------------------------------------

int backend::on_signal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  static_cast<backend*>(userdata)->signal(message);
  return 0;
}

void backend::signal(sd_bus_message* message) {
  const char* member = sd_bus_message_get_member(message);
  const char* sender = sd_bus_message_get_sender(message);
  if (!member) return;
  if (strcmp(member, "NameOwnerChanged") == 0) {
    if (sender && strcmp(sender, "org.freedesktop.DBus") == 0) owner_changed(message);
    return;
  }
  if (!sender || bluez_owner_.empty() || bluez_owner_ != sender) return;
  if (strcmp(member, "InterfacesAdded") == 0) interfaces_added(message);
  if (strcmp(member, "InterfacesRemoved") == 0) interfaces_removed(message);
  if (strcmp(member, "PropertiesChanged") == 0) properties_changed(message);
}

void backend::interfaces_added(sd_bus_message* message) {
  const char* path_text = nullptr;
  if (sd_bus_message_read_basic(message, 'o', &path_text) < 0 || !path_text) return;
  const std::string path = path_text;
  if (path != start_.adapter_path && !under(path, start_.adapter_path)) return;
  bluez_object added;
  if (read_interfaces(message, added) < 0) return;
  bluez_object& object = objects_[path];
  object.adapter |= added.adapter;
  object.device |= added.device;
  object.service |= added.service;
  object.characteristic |= added.characteristic;
  object.properties.merge(added.properties);
  if (added.device) device_changed(path, added.properties);
  if (added.service || added.characteristic) gatt_object_added(path);
}

void backend::interfaces_removed(sd_bus_message* message) {
  const char* path_text = nullptr;
  if (sd_bus_message_read_basic(message, 'o', &path_text) < 0 || !path_text) return;
  const std::string path = path_text;
  auto found = objects_.find(path);
  if (found == objects_.end()) return;
  const bool was_device = found->second.device;
  const bool was_adapter = found->second.adapter;
  bool emptied = false;
  if (read_removed_interfaces(message, found->second, emptied) < 0) return;
  const bool device_gone = was_device && !found->second.device;
  const bool adapter_gone = was_adapter && !found->second.adapter;
  if (emptied) objects_.erase(found);
  if (adapter_gone) {
    trace_printf("BlueZ: the adapter %s went away\n", start_.adapter_name.c_str());
    lose_every_link();
  }
  if (!device_gone) return;
  for (WarbleGatt* gatt : gatts_of(path)) {
    if (gatt->on_connect && !gatt->connect_answered) {
      // Dropped from the tree (discovery stopped) before BlueZ took our
      // Connect: found again within the bound, the call in flight
      // forgotten.
      gatt->connect_call += 1;
      connect_step(gatt, gatt->attempt);
      continue;
    }
    if (gatt->on_connect) finish_connect(gatt, "The device went away");
    link_lost(gatt, LINK_DROPPED_STATUS);
  }
}

void backend::properties_changed(sd_bus_message* message) {
  const char* path_text = sd_bus_message_get_path(message);
  const char* interface_text = nullptr;
  if (!path_text || sd_bus_message_read_basic(message, 's', &interface_text) < 0 || !interface_text)
    return;
  const std::string path = path_text;
  const std::string interface = interface_text;
  bluez_properties change;
  if (read_properties(message, change) < 0) return;
  char** invalidated = nullptr;
  if (sd_bus_message_read_strv(message, &invalidated) >= 0) {
    for (char** name = invalidated; name && *name; ++name) {
      change.invalidated.emplace_back(*name);
      free(*name);
    }
    free(invalidated);
  }
  if (interface == ADAPTER_INTERFACE && path == start_.adapter_path) {
    objects_[path].properties.merge(change);
    if (change.powered && !*change.powered) {
      trace_printf("BlueZ: the adapter %s was switched off\n", start_.adapter_name.c_str());
      lose_every_link();
    }
    return;
  }
  if (interface == DEVICE_INTERFACE && under(path, start_.adapter_path)) {
    auto found = objects_.find(path);
    if (found == objects_.end() || !found->second.device) return;
    found->second.properties.merge(change);
    device_changed(path, change);
    return;
  }
  if (interface != CHARACTERISTIC_INTERFACE || !change.value) return;
  WarbleGattChar* chr = live_characteristic(path);
  if (!chr) return;
  if (chr->reads_in_flight > 0) return;  // the value a read is about to return
  void* context = nullptr;
  warble_notify_handler handler = nullptr;
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    if (chr->dead) return;
    context = chr->notify_context;
    handler = chr->on_notify;
    if (!handler) chr->initial = *change.value;
  }
  if (!handler) return;
  const std::vector<uint8_t>& value = *change.value;
  handler(context, chr, value.data(),
          static_cast<uint8_t>(std::min<size_t>(value.size(), SEAM_VALUE_MAX)));
}

void backend::owner_changed(sd_bus_message* message) {
  const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) < 0) return;
  if (!name || strcmp(name, BLUEZ_SERVICE) != 0) return;
  const std::string now = new_owner ? new_owner : "";
  if (now == bluez_owner_) return;
  trace_printf("BlueZ: bluetoothd %s the bus\n", now.empty() ? "left" : "came back on");
  lose_every_link();
  objects_.clear();
  bluez_owner_ = now;
}

void backend::bus_closed() {
  trace_printf("BlueZ: the system bus connection closed\n");
  bluez_owner_.clear();
  lose_every_link();
  objects_.clear();
}

void backend::device_changed(const std::string& path, const bluez_properties& change) {
  if (change.rssi) report(path);
  for (WarbleGatt* gatt : gatts_of(path)) {
    if (change.paired) {
      std::lock_guard<std::mutex> hold(state_lock_);
      gatt->paired = *change.paired;
    }
    if (gatt->on_connect) {
      const uint64_t attempt = gatt->attempt;
      if (gatt->discovering) {
        connect_step(gatt, attempt);  // the device it was looking for is there
      } else if (!gatt->connect_answered) {
        // Connect is under way: what it says decides.
      } else if (change.connected && !*change.connected) {
        finish_connect(gatt, "The device disconnected before its services were resolved");
      } else {
        check_ready(gatt, attempt);
      }
      continue;
    }
    if (change.connected && !*change.connected) link_lost(gatt, LINK_DROPPED_STATUS);
  }
}

void backend::gatt_object_added(const std::string& path) {
  for (WarbleGatt* gatt : live_) {
    if (!under(path, gatt->path) || !gatt->on_connect) continue;
    gatt->last_gatt_object = clock_type::now();
    check_ready(gatt, gatt->attempt);
  }
}

void backend::report(const std::string& path) {
  const auto found = objects_.find(path);
  if (found == objects_.end()) return;
  const bluez_properties& p = found->second.properties;
  if (!p.address || !p.rssi || !is_mac(*p.address)) return;
  const std::string mac = upper(*p.address);
  // BlueZ makes an Alias of the address when the device has no name.
  std::string name;
  if (p.name) {
    name = *p.name;
  } else if (p.alias) {
    std::string dashed = mac;
    std::replace(dashed.begin(), dashed.end(), ':', '-');
    if (upper(*p.alias) != dashed) name = *p.alias;
  }
  std::lock_guard<std::recursive_mutex> hold(scan_lock_);
  if (!scanning_ || !scan_handler_) return;
  const WarbleScanResult result{mac.c_str(), name.c_str(), *p.rssi, nullptr};
  scan_handler_(scan_context_, &result);
}

// --- calls ----------------------------------------------------------------

sd_bus_message* backend::new_call(const std::string& path, const char* interface,
                                  const char* member) {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(thread_->bus(), &call, BLUEZ_SERVICE, path.c_str(), interface,
                                     member) < 0)
    return nullptr;
  return call;
}

bool backend::send(sd_bus_message* call, bus_thread::reply_handler handler) {
  if (!call) return false;
  const bool sent = thread_->call_async(call, CALL_TIMEOUT, std::move(handler));
  sd_bus_message_unref(call);
  return sent;
}

void trace_failure(const char* what, sd_bus_message* reply) {
  if (const std::optional<bus_error> error = reply_error(reply))
    trace_printf("BlueZ: %s: %s\n", what, error->text().c_str());
}

void backend::discovery(int users_delta) {
  const bool was_on = discovery_users_ > 0;
  discovery_users_ = std::max(0, discovery_users_ + users_delta);
  const bool on = discovery_users_ > 0;
  if (was_on == on) return;
  if (on) {
    // Set every time: BlueZ forgets a client's filter when its discovery
    // ends, and its documented default (duplicates filtered out) has not
    // always been what it did. Sent back to back: BlueZ takes a client's
    // calls in order.
    sd_bus_message* filter = new_call(start_.adapter_path, ADAPTER_INTERFACE, "SetDiscoveryFilter");
    if (filter)
      sd_bus_message_append(filter, "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b", 1);
    send(filter, [](sd_bus_message* reply) { trace_failure("SetDiscoveryFilter", reply); });
    send(new_call(start_.adapter_path, ADAPTER_INTERFACE, "StartDiscovery"),
         [](sd_bus_message* reply) { trace_failure("StartDiscovery", reply); });
  } else {
    send(new_call(start_.adapter_path, ADAPTER_INTERFACE, "StopDiscovery"),
         [](sd_bus_message* reply) { trace_failure("StopDiscovery", reply); });
  }
}

// --- connections ------------------------------------------------------------

bool backend::connecting(const WarbleGatt* gatt, uint64_t attempt) {
  return gatt->on_connect && gatt->attempt == attempt;
}

void backend::connect_step(WarbleGatt* gatt, uint64_t attempt) {
  if (!connecting(gatt, attempt)) return;
  const auto found = objects_.find(gatt->path);
  if (found == objects_.end() || !found->second.device) {
    // Not in BlueZ's tree (never seen, or dropped when discovery stopped):
    // found by discovery within the connection's bound.
    if (!gatt->discovering) {
      gatt->discovering = true;
      discovery(+1);
    }
    return;
  }
  // A search that found the device goes on until BlueZ took the Connect:
  // stopping it first would let BlueZ drop the device again.
  const auto left = std::chrono::duration_cast<milliseconds>(gatt->deadline - clock_type::now());
  sd_bus_message* call = new_call(gatt->path, DEVICE_INTERFACE, "Connect");
  if (!call) return finish_connect(gatt, "Cannot ask BlueZ to connect");
  const uint64_t call_number = ++gatt->connect_call;
  const bool sent = thread_->call_async(call, std::max(left, milliseconds(1)),
                                        [this, gatt, attempt, call_number](sd_bus_message* reply) {
                                          if (call_number == gatt->connect_call)
                                            connect_answered(gatt, attempt, reply);
                                        });
  sd_bus_message_unref(call);
  if (!sent) finish_connect(gatt, "Cannot ask BlueZ to connect");
}

void backend::connect_answered(WarbleGatt* gatt, uint64_t attempt, sd_bus_message* reply) {
  if (!connecting(gatt, attempt)) return;
  const std::optional<bus_error> error = reply_error(reply);
  if (error && error->is("org.bluez.Error.InProgress")) {
    trace_printf("BlueZ: %s: another connection is being set up; asking again\n",
                 gatt->mac.c_str());
    thread_->at(clock_type::now() + IN_PROGRESS_PAUSE,
                [this, gatt, attempt] { connect_step(gatt, attempt); });
    return;
  }
  if (error && (error->is("org.freedesktop.DBus.Error.UnknownObject") ||
                error->is("org.freedesktop.DBus.Error.UnknownMethod") ||
                error->is("org.bluez.Error.DoesNotExist"))) {
    // The object went between our look and the call: found again.
    objects_.erase(gatt->path);
    connect_step(gatt, attempt);
    return;
  }
  if (error && !error->is("org.bluez.Error.AlreadyConnected")) {
    finish_connect(gatt, error->text().c_str());
    return;
  }
  gatt->connect_answered = true;
  end_search(gatt);
  check_ready(gatt, attempt);
}

void backend::check_ready(WarbleGatt* gatt, uint64_t attempt) {
  if (!connecting(gatt, attempt) || !gatt->connect_answered) return;
  const auto found = objects_.find(gatt->path);
  if (found == objects_.end()) return;
  const bluez_properties& p = found->second.properties;
  // Connected comes before the services: not ready yet.
  if (!p.connected.value_or(false) || !p.services_resolved.value_or(false)) return;
  bool any_characteristic = false;
  for (auto it = objects_.upper_bound(gatt->path); it != objects_.end(); ++it) {
    if (!under(it->first, gatt->path)) break;
    any_characteristic |= it->second.characteristic;
  }
  if (!any_characteristic) return;  // they lag: their InterfacesAdded brings us back
  const clock_type::time_point settled = gatt->last_gatt_object + GATT_SETTLE;
  if (clock_type::now() < settled) {
    if (!gatt->settle_armed) {
      gatt->settle_armed = true;
      thread_->at(settled, [this, gatt, attempt] {
        if (!connecting(gatt, attempt)) return;
        gatt->settle_armed = false;
        check_ready(gatt, attempt);
      });
    }
    return;
  }
  finish_connect(gatt, nullptr);
}

void backend::end_search(WarbleGatt* gatt) {
  if (!gatt->discovering) return;
  gatt->discovering = false;
  discovery(-1);
}

// Ends the attempt: on success the link's characteristics become handles.
void backend::finish_connect(WarbleGatt* gatt, const char* error) {
  end_search(gatt);
  void* context = gatt->connect_context;
  warble_connect_handler handler = gatt->on_connect;
  gatt->on_connect = nullptr;
  gatt->connect_context = nullptr;
  const bool link_may_be_up = gatt->connect_answered;
  std::vector<std::unique_ptr<WarbleGattChar>> made;
  std::vector<std::string> services;
  if (!error) {
    for (auto it = objects_.upper_bound(gatt->path); it != objects_.end(); ++it) {
      if (!under(it->first, gatt->path)) break;
      const bluez_object& object = it->second;
      if (!object.properties.uuid) continue;
      if (object.service) services.push_back(lower(*object.properties.uuid));
      if (!object.characteristic) continue;
      auto chr = std::make_unique<WarbleGattChar>();
      chr->gatt = gatt;
      chr->uuid = lower(*object.properties.uuid);
      chr->path = it->first;
      if (object.properties.write_acquired) chr->acquire = acquired_write::untried;
      made.push_back(std::move(chr));
    }
  }
  bool deleted = false;
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    deleted = gatt->deleted;
    gatt->state = error ? link_state::down : link_state::up;
    if (!error) gatt->came_up = true;
    gatt->characteristics.clear();
    gatt->services = services;
    handle_registry& r = registry();
    std::lock_guard<std::mutex> registry_hold(r.lock);
    for (auto& chr : made) {
      gatt->characteristics.push_back(chr.get());
      r.known.insert(chr.get());
      r.characteristics.push_back(std::move(chr));
    }
  }
  // A link that may be up is not left behind a failed attempt.
  if (error && link_may_be_up) ask_disconnect(gatt->path);
  if (error) trace_printf("BlueZ: %s: connection failed: %s\n", gatt->mac.c_str(), error);
  if (handler && !deleted) handler(context, gatt, error);
}

void backend::link_lost(WarbleGatt* gatt, int32_t status) {
  void* context = nullptr;
  warble_disconnect_handler handler = nullptr;
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    if (gatt->state != link_state::up) return;
    gatt->state = link_state::down;
    for (WarbleGattChar* chr : gatt->characteristics) chr->dead = true;
    if (!gatt->deleted) {
      context = gatt->disconnect_context;
      handler = gatt->on_disconnect;
    }
  }
  trace_printf("BlueZ: %s: link down\n", gatt->mac.c_str());
  release_writes(gatt);
  if (handler) handler(context, gatt, status);
}

void backend::lose_every_link() {
  const std::vector<WarbleGatt*> gatts = live_;
  for (WarbleGatt* gatt : gatts) {
    if (gatt->on_connect) finish_connect(gatt, "BlueZ went away");
    link_lost(gatt, LINK_DROPPED_STATUS);
  }
}

void backend::ask_disconnect(const std::string& path) {
  send(new_call(path, DEVICE_INTERFACE, "Disconnect"),
       [](sd_bus_message* reply) { trace_failure("Disconnect", reply); });
}

void backend::forget_device_cache(const std::string& path) {
  sd_bus_message* call = new_call(start_.adapter_path, ADAPTER_INTERFACE, "RemoveDevice");
  if (call) sd_bus_message_append(call, "o", path.c_str());
  send(call, [](sd_bus_message* reply) { trace_failure("RemoveDevice", reply); });
}

std::vector<WarbleGatt*> backend::gatts_of(const std::string& device_path) {
  std::vector<WarbleGatt*> found;
  for (WarbleGatt* gatt : live_)
    if (gatt->path == device_path) found.push_back(gatt);
  return found;
}

WarbleGattChar* backend::live_characteristic(const std::string& path) {
  std::lock_guard<std::mutex> hold(state_lock_);
  for (WarbleGatt* gatt : live_) {
    if (!under(path, gatt->path) || gatt->state != link_state::up) continue;
    for (WarbleGattChar* chr : gatt->characteristics)
      if (chr->path == path && !chr->dead) return chr;
  }
  return nullptr;
}

bool backend::usable(const WarbleGattChar* chr) {
  std::lock_guard<std::mutex> hold(state_lock_);
  return !chr->dead && chr->gatt->state == link_state::up;
}

void backend::fail_char_call(WarbleGattChar* chr, void* context, warble_char_done_handler handler,
                             const char* error) {
  if (handler) handler(context, chr, error);
}

// --- the table's functions --------------------------------------------------

void backend::set_scan_handler(void* context, warble_scan_handler handler) {
  std::lock_guard<std::recursive_mutex> hold(scan_lock_);
  scan_context_ = context;
  scan_handler_ = handler;
}

void backend::start_scan() {
  {
    std::lock_guard<std::recursive_mutex> hold(scan_lock_);
    scanning_ = true;
  }
  thread_->post([this] {
    if (user_scanning_) return;
    user_scanning_ = true;
    discovery(+1);
  });
}

void backend::stop_scan() {
  {
    // Waits for a result being handed over: none comes after this returns.
    std::lock_guard<std::recursive_mutex> hold(scan_lock_);
    scanning_ = false;
  }
  thread_->post([this] {
    if (!user_scanning_) return;
    user_scanning_ = false;
    discovery(-1);
  });
}

WarbleGatt* backend::create(const std::string& mac) {
  auto gatt = std::make_unique<WarbleGatt>();
  gatt->generation = generation_;
  gatt->mac = upper(mac);
  std::string tail = gatt->mac;
  std::replace(tail.begin(), tail.end(), ':', '_');
  gatt->path = start_.adapter_path + "/dev_" + tail;
  WarbleGatt* made = gatt.get();
  {
    handle_registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.known.insert(made);
    r.gatts.push_back(std::move(gatt));
  }
  thread_->post([this, made] { live_.push_back(made); });
  return made;
}

bool backend::is_connected(const WarbleGatt* gatt) {
  std::lock_guard<std::mutex> hold(state_lock_);
  return gatt->state == link_state::up;
}

void backend::connect(WarbleGatt* gatt, void* context, warble_connect_handler handler) {
  thread_->post([this, gatt, context, handler] {
    bool busy = false;
    {
      std::lock_guard<std::mutex> hold(state_lock_);
      busy = gatt->deleted || gatt->state == link_state::up || gatt->on_connect;
      if (!busy) gatt->state = link_state::connecting;
    }
    if (busy) {
      if (handler) handler(context, gatt, "A connection is already up or being made");
      return;
    }
    gatt->attempt += 1;
    gatt->connect_context = context;
    gatt->on_connect = handler;
    gatt->connect_answered = false;
    gatt->settle_armed = false;
    gatt->last_gatt_object = clock_type::time_point{};
    gatt->deadline = clock_type::now() + CONNECT_BOUND;
    const uint64_t attempt = gatt->attempt;
    thread_->at(gatt->deadline, [this, gatt, attempt] {
      if (connecting(gatt, attempt)) finish_connect(gatt, "Connection timed out");
    });
    connect_step(gatt, attempt);
  });
}

void backend::disconnect(WarbleGatt* gatt) {
  thread_->post([this, gatt] {
    if (gatt->on_connect) {
      // Asking BlueZ to disconnect also ends an attempt under way.
      finish_connect(gatt, "Connection canceled");
      ask_disconnect(gatt->path);
      return;
    }
    if (!is_connected(gatt)) return;
    send(new_call(gatt->path, DEVICE_INTERFACE, "Disconnect"), [this, gatt](sd_bus_message* reply) {
      // Connected turning false normally tells it; a device BlueZ already
      // lost tells it here.
      const std::optional<bus_error> error = reply_error(reply);
      if (error && (error->is("org.bluez.Error.NotConnected") ||
                    error->is("org.freedesktop.DBus.Error.UnknownObject")))
        link_lost(gatt, LOCAL_DISCONNECT_STATUS);
      else if (error)
        trace_printf("BlueZ: Disconnect: %s\n", error->text().c_str());
    });
  });
}

void backend::on_disconnect(WarbleGatt* gatt, void* context, warble_disconnect_handler handler) {
  std::lock_guard<std::mutex> hold(state_lock_);
  gatt->disconnect_context = context;
  gatt->on_disconnect = handler;
}

WarbleGattChar* backend::find(const WarbleGatt* gatt, const std::string& uuid) {
  const std::string wanted = lower(uuid);
  std::lock_guard<std::mutex> hold(state_lock_);
  if (gatt->state != link_state::up) return nullptr;
  for (WarbleGattChar* chr : gatt->characteristics)
    if (chr->uuid == wanted) return chr;
  return nullptr;
}

bool backend::has_service(const WarbleGatt* gatt, const std::string& uuid) {
  const std::string wanted = lower(uuid);
  std::lock_guard<std::mutex> hold(state_lock_);
  return std::find(gatt->services.begin(), gatt->services.end(), wanted) != gatt->services.end();
}

void backend::read(WarbleGattChar* chr, void* context, warble_read_handler handler) {
  thread_->post([this, chr, context, handler] {
    const auto fail = [&](const char* error) {
      if (handler) handler(context, chr, nullptr, 0, error);
    };
    if (!usable(chr)) return fail("Not connected");
    sd_bus_message* call = new_call(chr->path, CHARACTERISTIC_INTERFACE, "ReadValue");
    if (call) sd_bus_message_append(call, "a{sv}", 0);
    chr->reads_in_flight += 1;
    const bool sent = send(call, [chr, context, handler](sd_bus_message* reply) {
      chr->reads_in_flight -= 1;
      if (!handler) return;
      if (const std::optional<bus_error> error = reply_error(reply))
        return handler(context, chr, nullptr, 0, error->text().c_str());
      const void* data = nullptr;
      size_t size = 0;
      if (sd_bus_message_read_array(reply, 'y', &data, &size) < 0)
        return handler(context, chr, nullptr, 0, "BlueZ sent a malformed value");
      handler(context, chr, static_cast<const uint8_t*>(data),
              static_cast<uint8_t>(std::min(size, SEAM_VALUE_MAX)), nullptr);
    });
    if (!sent) {
      chr->reads_in_flight -= 1;
      fail("Cannot ask BlueZ to read");
    }
  });
}

void backend::write(WarbleGattChar* chr, const uint8_t* value, uint8_t length, bool with_response,
                    void* context, warble_char_done_handler handler) {
  // The bytes are the caller's only during this call.
  std::vector<uint8_t> bytes(value, value + (value ? length : 0));
  thread_->post([this, chr, bytes = std::move(bytes), with_response, context, handler]() mutable {
    if (!usable(chr)) return fail_char_call(chr, context, handler, "Not connected");
    const bool by_socket = !with_response && chr->acquire != acquired_write::not_offered &&
                           chr->acquire != acquired_write::refused;
    if (!by_socket) return write_value(chr, bytes, with_response, context, handler);
    chr->queued.push_back({std::move(bytes), context, handler});
    if (chr->acquire == acquired_write::untried) return acquire_write(chr);
    if (chr->acquire == acquired_write::acquired) flush_writes(chr);
  });
}

void backend::write_value(WarbleGattChar* chr, const std::vector<uint8_t>& bytes,
                          bool with_response, void* context, warble_char_done_handler handler) {
  sd_bus_message* call = new_call(chr->path, CHARACTERISTIC_INTERFACE, "WriteValue");
  if (call) {
    sd_bus_message_append_array(call, 'y', bytes.data(), bytes.size());
    sd_bus_message_append(call, "a{sv}", 1, "type", "s", with_response ? "request" : "command");
  }
  const bool sent = send(call, [chr, context, handler](sd_bus_message* reply) {
    if (!handler) return;
    const std::optional<bus_error> error = reply_error(reply);
    handler(context, chr, error ? error->text().c_str() : nullptr);
  });
  if (!sent) fail_char_call(chr, context, handler, "Cannot ask BlueZ to write");
}

// Asked once a link, at the first write without response; the writes wait
// for the answer so that none overtakes another.
void backend::acquire_write(WarbleGattChar* chr) {
  chr->acquire = acquired_write::asking;
  sd_bus_message* call = new_call(chr->path, CHARACTERISTIC_INTERFACE, "AcquireWrite");
  if (call) sd_bus_message_append(call, "a{sv}", 0);
  const bool sent = send(call, [this, chr](sd_bus_message* reply) {
    int fd = -1;
    uint16_t mtu = 0;
    const std::optional<bus_error> error = reply_error(reply);
    if (!error && sd_bus_message_read(reply, "hq", &fd, &mtu) >= 0 && fd >= 0)
      fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the message owns its own
    else
      fd = -1;
    if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
      close(fd);
      fd = -1;
    }
    if (!usable(chr)) {
      if (fd >= 0) close(fd);
      return release_writes(chr);
    }
    if (fd < 0) {
      trace_printf("BlueZ: AcquireWrite: %s: writing through D-Bus\n",
                   error ? error->text().c_str() : "no socket");
      return writes_through_dbus(chr);
    }
    chr->write_fd = fd;
    chr->acquire = acquired_write::acquired;
    flush_writes(chr);
  });
  if (!sent) writes_through_dbus(chr);
}

void backend::flush_writes(WarbleGattChar* chr) {
  while (!chr->queued.empty()) {
    const queued_write& next = chr->queued.front();
    const ssize_t written =
        ::send(chr->write_fd, next.bytes.data(), next.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
      if (chr->retry_armed) return;
      chr->retry_armed = true;
      thread_->at(clock_type::now() + SOCKET_FULL_PAUSE, [this, chr] {
        chr->retry_armed = false;
        if (!usable(chr)) return release_writes(chr);
        if (chr->acquire == acquired_write::acquired) flush_writes(chr);
      });
      return;
    }
    if (written != static_cast<ssize_t>(next.bytes.size())) {
      // BlueZ closed the socket (it does when it releases the write or the
      // link): the link, if still up, still takes WriteValue.
      trace_printf("BlueZ: the write socket failed (%s): writing through D-Bus\n",
                   written < 0 ? strerror(errno) : "a short write");
      return writes_through_dbus(chr);
    }
    const queued_write done = std::move(chr->queued.front());
    chr->queued.pop_front();
    if (done.handler) done.handler(done.context, chr, nullptr);
  }
}

void backend::writes_through_dbus(WarbleGattChar* chr) {
  if (chr->write_fd >= 0) close(chr->write_fd);
  chr->write_fd = -1;
  chr->acquire = acquired_write::refused;
  std::deque<queued_write> waiting;
  waiting.swap(chr->queued);
  for (const queued_write& each : waiting)
    write_value(chr, each.bytes, false, each.context, each.handler);
}

// The link ended: its sockets close and the writes still waiting fail.
void backend::release_writes(WarbleGatt* gatt) {
  std::vector<WarbleGattChar*> characteristics;
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    characteristics = gatt->characteristics;
  }
  for (WarbleGattChar* chr : characteristics) release_writes(chr);
}

void backend::release_writes(WarbleGattChar* chr) {
  if (chr->write_fd >= 0) close(chr->write_fd);
  chr->write_fd = -1;
  std::deque<queued_write> waiting;
  waiting.swap(chr->queued);
  for (const queued_write& each : waiting)
    fail_char_call(chr, each.context, each.handler, "Not connected");
}

void backend::set_notifications(WarbleGattChar* chr, bool enable, void* context,
                                warble_char_done_handler handler) {
  thread_->post([this, chr, enable, context, handler] {
    if (!usable(chr)) return fail_char_call(chr, context, handler, "Not connected");
    const char* member = enable ? "StartNotify" : "StopNotify";
    const bool sent = send(new_call(chr->path, CHARACTERISTIC_INTERFACE, member),
                           [this, chr, enable, context, handler](sd_bus_message* reply) {
                             const std::optional<bus_error> error = reply_error(reply);
                             if (enable && !error) return read_initial(chr, context, handler);
                             if (handler)
                               handler(context, chr, error ? error->text().c_str() : nullptr);
                           });
    if (!sent) fail_char_call(chr, context, handler, "Cannot ask BlueZ for notifications");
  });
}

// The subscription is reported done only after the read, so that the value
// read is in place before the caller can write anything the device would
// answer.
void backend::read_initial(WarbleGattChar* chr, void* context, warble_char_done_handler handler) {
  const auto done = [chr, context, handler] {
    if (handler) handler(context, chr, nullptr);
  };
  sd_bus_message* call = new_call(chr->path, CHARACTERISTIC_INTERFACE, "ReadValue");
  if (call) sd_bus_message_append(call, "a{sv}", 0);
  chr->reads_in_flight += 1;
  const bool sent = send(call, [this, chr, done](sd_bus_message* reply) {
    chr->reads_in_flight -= 1;
    const void* data = nullptr;
    size_t size = 0;
    // A characteristic that cannot be read simply has no first value.
    if (!reply_error(reply) && sd_bus_message_read_array(reply, 'y', &data, &size) >= 0 && size) {
      const uint8_t* bytes = static_cast<const uint8_t*>(data);
      std::lock_guard<std::mutex> hold(state_lock_);
      if (!chr->initial) chr->initial = std::vector<uint8_t>(bytes, bytes + size);
    }
    done();
  });
  if (!sent) {
    chr->reads_in_flight -= 1;
    done();
  }
}

void backend::on_notification(WarbleGattChar* chr, void* context, warble_notify_handler handler) {
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    chr->notify_context = context;
    chr->on_notify = handler;
  }
  // The first value goes out on the bus thread, ahead of anything the caller
  // asks for next.
  thread_->post([this, chr] {
    std::optional<std::vector<uint8_t>> initial;
    void* context = nullptr;
    warble_notify_handler handler = nullptr;
    {
      std::lock_guard<std::mutex> hold(state_lock_);
      if (chr->dead || !chr->on_notify) return;
      initial.swap(chr->initial);
      context = chr->notify_context;
      handler = chr->on_notify;
    }
    if (initial && !initial->empty())
      handler(context, chr, initial->data(),
              static_cast<uint8_t>(std::min<size_t>(initial->size(), SEAM_VALUE_MAX)));
  });
}

void backend::destroy(WarbleGatt* gatt) {
  {
    std::lock_guard<std::mutex> hold(state_lock_);
    if (gatt->deleted) return;
    gatt->deleted = true;
  }
  thread_->post([this, gatt] {
    const bool attempt_open = gatt->on_connect != nullptr;
    if (attempt_open) finish_connect(gatt, "Deleted");
    bool up = false, came_up = false, paired = false;
    {
      std::lock_guard<std::mutex> hold(state_lock_);
      up = gatt->state == link_state::up;
      came_up = gatt->came_up;
      paired = gatt->paired;
      gatt->state = link_state::down;
      for (WarbleGattChar* chr : gatt->characteristics) chr->dead = true;
    }
    live_.erase(std::remove(live_.begin(), live_.end(), gatt), live_.end());
    release_writes(gatt);
    if (up || attempt_open) ask_disconnect(gatt->path);
    // BlueZ would serve the next connection the database it cached, also
    // after the device's firmware changed it; a paired device keeps its
    // pairing instead.
    if (came_up && !paired) forget_device_cache(gatt->path);
  });
}

// --- the table ---------------------------------------------------------------

std::mutex current_lock;
backend* current_backend = nullptr;  // replaced only between commands
uint64_t generations = 0;

backend* owner_of(const WarbleGatt* gatt) {
  if (!known_handle(gatt)) return nullptr;
  std::lock_guard<std::mutex> hold(current_lock);
  if (!current_backend || gatt->generation != current_backend->generation()) return nullptr;
  return current_backend;
}

backend* owner_of(const WarbleGattChar* chr) {
  return known_handle(chr) ? owner_of(chr->gatt) : nullptr;
}

backend* any_backend() {
  std::lock_guard<std::mutex> hold(current_lock);
  return current_backend;
}

const char* bz_lib_version() {
  return "BlueZ over D-Bus";
}

void bz_scanner_set_handler(void* context, warble_scan_handler handler) {
  if (backend* b = any_backend()) b->set_scan_handler(context, handler);
}

void bz_scanner_start(int32_t, const WarbleOption*) {
  if (backend* b = any_backend()) b->start_scan();
}

void bz_scanner_stop() {
  if (backend* b = any_backend()) b->stop_scan();
}

WarbleGatt* bz_gatt_create_with_options(int32_t count, const WarbleOption* options) {
  std::string mac;
  for (int32_t i = 0; options && i < count; ++i) {
    if (!options[i].key || !options[i].value) return nullptr;
    const std::string key = options[i].key;
    if (key == "mac") {
      mac = options[i].value;
    } else if (key != "address-type") {
      return nullptr;  // an unknown option is a hard error, as in a library
    }
  }
  backend* b = any_backend();
  return b && is_mac(mac) ? b->create(mac) : nullptr;
}

WarbleGatt* bz_gatt_create(const char* mac) {
  const WarbleOption option{"mac", mac};
  return bz_gatt_create_with_options(1, &option);
}

int32_t bz_gatt_is_connected(const WarbleGatt* gatt) {
  backend* b = owner_of(gatt);
  return b && b->is_connected(gatt) ? 1 : 0;
}

void bz_gatt_connect_async(WarbleGatt* gatt, void* context, warble_connect_handler handler) {
  if (backend* b = owner_of(gatt)) return b->connect(gatt, context, handler);
  if (handler) handler(context, gatt, "Unknown connection");
}

void bz_gatt_disconnect(WarbleGatt* gatt) {
  if (backend* b = owner_of(gatt)) b->disconnect(gatt);
}

void bz_gatt_on_disconnect(WarbleGatt* gatt, void* context, warble_disconnect_handler handler) {
  if (backend* b = owner_of(gatt)) b->on_disconnect(gatt, context, handler);
}

const char* bz_gattchar_get_uuid(const WarbleGattChar* chr) {
  return known_handle(chr) ? chr->uuid.c_str() : "";
}

WarbleGattChar* bz_gatt_find_characteristic(const WarbleGatt* gatt, const char* uuid) {
  backend* b = owner_of(gatt);
  return b && uuid ? b->find(gatt, uuid) : nullptr;
}

void bz_gattchar_read_async(WarbleGattChar* chr, void* context, warble_read_handler handler) {
  if (backend* b = owner_of(chr)) return b->read(chr, context, handler);
  if (handler) handler(context, chr, nullptr, 0, "Not connected");
}

void bz_write_async(WarbleGattChar* chr, const uint8_t* value, uint8_t length, void* context,
                    warble_char_done_handler handler) {
  if (backend* b = owner_of(chr)) return b->write(chr, value, length, true, context, handler);
  if (handler) handler(context, chr, "Not connected");
}

void bz_write_without_resp_async(WarbleGattChar* chr, const uint8_t* value, uint8_t length,
                                 void* context, warble_char_done_handler handler) {
  if (backend* b = owner_of(chr)) return b->write(chr, value, length, false, context, handler);
  if (handler) handler(context, chr, "Not connected");
}

void bz_enable_notifications_async(WarbleGattChar* chr, void* context,
                                   warble_char_done_handler handler) {
  if (backend* b = owner_of(chr)) return b->set_notifications(chr, true, context, handler);
  if (handler) handler(context, chr, "Not connected");
}

void bz_disable_notifications_async(WarbleGattChar* chr, void* context,
                                    warble_char_done_handler handler) {
  if (backend* b = owner_of(chr)) return b->set_notifications(chr, false, context, handler);
  if (handler) handler(context, chr, "Not connected");
}

const WarbleScanMftData* bz_get_manufacturer_data(const WarbleScanResult*, uint16_t) {
  return nullptr;
}

int32_t bz_has_service_uuid(const WarbleScanResult*, const char*) {
  return 0;
}

void bz_gatt_delete(WarbleGatt* gatt) {
  if (backend* b = owner_of(gatt)) b->destroy(gatt);
}

int32_t bz_gatt_has_service(const WarbleGatt* gatt, const char* uuid) {
  backend* b = owner_of(gatt);
  return b && uuid && b->has_service(gatt, uuid) ? 1 : 0;
}

WarbleGatt* bz_gattchar_get_gatt(const WarbleGattChar* chr) {
  return known_handle(chr) ? chr->gatt : nullptr;
}

void bz_lib_init(int32_t, const WarbleOption*) {}

const char* bz_lib_config() {
  return "bluez";
}

void bz_on_notification_received(WarbleGattChar* chr, void* context,
                                 warble_notify_handler handler) {
  if (backend* b = owner_of(chr)) b->on_notification(chr, context, handler);
}

ble_api_table bluez_table() {
  return ble_api_table{
      bz_lib_version,
      bz_scanner_set_handler,
      bz_scanner_start,
      bz_scanner_stop,
      bz_gatt_create,
      bz_gatt_create_with_options,
      bz_gatt_is_connected,
      bz_gatt_connect_async,
      bz_gatt_disconnect,
      bz_gatt_on_disconnect,
      bz_gattchar_get_uuid,
      bz_gatt_find_characteristic,
      bz_gattchar_read_async,
      bz_write_without_resp_async,
      bz_write_async,
      bz_enable_notifications_async,
      bz_get_manufacturer_data,
      bz_has_service_uuid,
      bz_gatt_delete,
      bz_gatt_has_service,
      bz_disable_notifications_async,
      bz_gattchar_get_gatt,
      bz_lib_init,
      bz_lib_config,
      bz_on_notification_received,
  };
}

}  // namespace

bool bluez_backend_supported() {
  return true;
}

bool bluez_backend_open(const std::string& adapter, ble_api_table& table, std::string& error) {
  sd_bus* bus = nullptr;
  bluez_start start;
  if (!bluez_connect_and_check(adapter, bus, start, error)) return false;
  std::unique_ptr<backend> old;
  {
    std::lock_guard<std::mutex> hold(current_lock);
    old.reset(current_backend);
    current_backend = nullptr;
  }
  old.reset();  // its thread stops before the new one starts
  backend* made = nullptr;
  {
    std::lock_guard<std::mutex> hold(current_lock);
    made = new backend(++generations, bus, std::move(start));
    current_backend = made;
  }
  table = bluez_table();
  return true;
}

std::string bluez_backend_adapter() {
  std::lock_guard<std::mutex> hold(current_lock);
  if (!current_backend) return "";
  return current_backend->adapter_name() + " (" + current_backend->adapter_address() + ")";
}

bool ble_api_load_bluez(const std::string& adapter, std::string& error) {
  const char* which = "";
  if (!gatt_lock_objects_create(&which)) {
    error = std::string("cannot create the GATT layer's ") + which;
    return false;
  }
  if (!bluez_backend_open(adapter, ble_api, error)) return false;
  trace_printf("WARBLE %s!\n", ble_api.warble_lib_version());
  trace_printf("BlueZ: adapter %s\n", bluez_backend_adapter().c_str());
  return true;
}
