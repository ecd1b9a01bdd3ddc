// The warble C interface over the simulated device (scanning is in
// scanner.cpp). Every call is checked against the handle registry: a handle
// of a deleted connection, of a link that went down, or of a replaced world
// is counted as a misuse and fails the way a failed call would, instead of
// crashing as the real library does.
#include <cstring>

#include "sim/library.h"
#include "sim/radio_model.h"

using namespace sim;

namespace {

constexpr const char* DEAD_CONNECTION = "Connection object is no longer valid";
constexpr const char* DEAD_CHARACTERISTIC = "Characteristic handle is no longer valid";
constexpr const char* CONNECTION_LOST = "Connection lost";

bool is_one_of(const std::string& uuid, std::initializer_list<const char*> uuids) {
  for (const char* candidate : uuids) {
    if (uuid == candidate) return true;
  }
  return false;
}

bool readable(const std::string& uuid) {
  return is_one_of(uuid, {STATUS_UUID, RESPONSE_UUID, FIRMWARE_REVISION_UUID,
                          MANUFACTURER_NAME_UUID, MODEL_NUMBER_UUID, SERIAL_NUMBER_UUID});
}

bool writable(const std::string& uuid) {
  return is_one_of(uuid, {COMMAND_UUID, UPDATE_UUID});
}

bool notifies(const std::string& uuid) {
  return is_one_of(uuid, {STATUS_UUID, RESPONSE_UUID, UPDATE_UUID});
}

const device_config& config_of(const library& l, const WarbleGattChar* chr) {
  return l.world.devices[chr->gatt->device_index];
}

// Bytes on the link of the device's answers: a write response (1 byte), an
// error response (5) and a read response (1 + the value).
constexpr int64_t WRITE_RESPONSE_BYTES = 1;
constexpr int64_t ERROR_RESPONSE_BYTES = 5;
constexpr int64_t READ_RESPONSE_HEADER_BYTES = 1;
// A write request or command carries the 3-byte ATT header; a read request
// is that header alone; enabling notifications writes 2 bytes.
constexpr int64_t SUBSCRIPTION_VALUE_BYTES = 2;

void post_completion_at(library& l, WarbleGattChar* chr, sim_time due, std::string error,
                        std::function<void(const char*)> deliver);

// Runs `deliver(error)` on the completion thread at `due`. Dropped when the
// connection was deleted or the world replaced meanwhile; a success turns
// into an error when the link went down before it could be reported. An
// answer the device sends (`answer_bytes` > 0 of ATT) goes over the shared
// radio, ready at `due`; a local one (a lost link) does not.
void post_completion(library& l, WarbleGattChar* chr, sim_time due, std::string error,
                     std::function<void(const char*)> deliver, int64_t answer_bytes = 0) {
  if (answer_bytes == 0 || !on_shared_radio(l, chr->gatt)) {
    post_completion_at(l, chr, due, std::move(error), std::move(deliver));
    return;
  }
  air_item item;
  item.ready = due;
  item.link_bytes = radio::link_bytes(answer_bytes);
  item.to_program = [chr, error, deliver](library& l, sim_time delivered) {
    post_completion_at(l, chr, delivered, error, deliver);
  };
  radio_send_to_program(l, chr->gatt, std::move(item));
}

void post_completion_at(library& l, WarbleGattChar* chr, sim_time due, std::string error,
                        std::function<void(const char*)> deliver) {
  uint64_t generation = l.world.generation;
  handler_queue(l, l.completion_queue).post(due, [chr, generation, error, deliver] {
    if (shutting_down()) return;
    library& l = lib();
    std::string reported = error;
    {
      std::lock_guard<std::mutex> guard(l.lock);
      if (l.world.generation != generation || chr->gatt->deleted) return;
      if (reported.empty() && !char_alive(l, chr)) reported = CONNECTION_LOST;
    }
    deliver(reported.empty() ? nullptr : reported.c_str());
  });
}

// Runs `work` on the device thread when the request of `att_bytes` reaches
// the device: at the next connection event of its link or, on the shared
// radio, at the end of its packets in the event that carries it. `work`
// gets the event's start (`arrival`) and when it landed, runs with the lock
// held and only if the link is still up; otherwise `lost` runs (lock held
// too).
using device_work =
    std::function<void(library&, std::unique_lock<std::mutex>&, sim_time arrival, sim_time landed)>;
void send_to_device(library& l, WarbleGattChar* chr, int64_t att_bytes, device_work work,
                    std::function<void(library&)> lost) {
  if (on_shared_radio(l, chr->gatt)) {
    air_item item;
    item.link_bytes = radio::link_bytes(att_bytes);
    item.to_device = std::move(work);
    item.lost = std::move(lost);
    radio_send_to_device(l, chr->gatt, std::move(item));
    return;
  }
  sim_time arrival = next_event_after(l, chr->gatt, sim_clock::now());
  uint64_t generation = l.world.generation;
  uint64_t link_id = chr->link_id;
  l.device_queue.post(arrival, [chr, generation, link_id, work, lost, arrival] {
    library& l = lib();
    std::unique_lock<std::mutex> held(l.lock);
    if (l.world.generation != generation || chr->gatt->deleted) return;
    if (!link_alive(l, chr->gatt, link_id)) {
      if (lost) lost(l);
      return;
    }
    work(l, held, arrival, arrival);
  });
}

using char_done = std::function<void(const char*)>;

void start_write(WarbleGattChar* chr, const uint8_t* value, uint8_t length, void* context,
                 warble_char_done_handler handler, bool with_response) {
  library& l = lib();
  auto done = [=](const char* error) {
    if (handler) handler(context, chr, error);
  };
  std::unique_lock<std::mutex> held(l.lock);
  count(l, with_response ? WRITES : WRITES_NO_RESP);
  WarbleGattChar* live = checked_char(l, chr);
  const char* refusal = nullptr;
  if (!live) {
    refusal = DEAD_CHARACTERISTIC;
  } else if (!writable(live->uuid)) {
    refusal = "Write not permitted";
  } else if (length > 0 && !value) {
    refusal = "No value to write";
  } else if (!with_response && config_of(l, live).write_error.matches(live->uuid)) {
    // Nothing reaches the device; the local stack reports it at once.
    refusal = "Simulated write error";
  }
  if (refusal) {
    held.unlock();
    done(refusal);
    return;
  }
  std::vector<uint8_t> bytes(value, value + length);
  sim_time now = sim_clock::now();
  if (live->uuid == UPDATE_UUID) receiver_of(l, live->gatt).frame_written(now);
  bool fails = with_response && config_of(l, live).write_error.matches(live->uuid);
  send_to_device(
      l, live, radio::ATT_HEADER_BYTES + length,
      [live, bytes, with_response, fails, done](library& l, std::unique_lock<std::mutex>& held,
                                                sim_time arrival, sim_time landed) {
        sim_time reported = arrival + connection_interval(l, live->gatt);
        if (fails) {
          post_completion(l, live, reported, "Simulated write error", done, ERROR_RESPONSE_BYTES);
          held.unlock();
          return;
        }
        if (!device_receive_write(l, live->gatt, live->link_id, live->uuid, bytes, arrival,
                                  landed)) {
          // The link went down at it: the failure follows the disconnect handler.
          if (with_response) post_completion(l, live, arrival, CONNECTION_LOST, done);
        } else if (with_response) {
          reported += std::chrono::milliseconds(config_of(l, live).late_completion_ms);
          post_completion(l, live, reported, "", done, WRITE_RESPONSE_BYTES);
        }
        write_record_if_verdict_changed(l, held);
      },
      [live, with_response, done](library& l) {
        if (with_response) post_completion(l, live, sim_clock::now(), CONNECTION_LOST, done);
      });
  held.unlock();
  // A write without response is done once the local stack took it.
  if (!with_response) done(nullptr);
}

void start_subscription(WarbleGattChar* chr, void* context, warble_char_done_handler handler,
                        bool enable) {
  library& l = lib();
  auto done = [=](const char* error) {
    if (handler) handler(context, chr, error);
  };
  if (!enable) wait_for_callbacks(l);
  std::unique_lock<std::mutex> held(l.lock);
  count(l, enable ? ENABLES : DISABLES);
  WarbleGattChar* live = checked_char(l, chr);
  const char* refusal = nullptr;
  if (!live) {
    refusal = DEAD_CHARACTERISTIC;
  } else if (!notifies(live->uuid)) {
    refusal = "Notifications not supported";
  }
  if (refusal) {
    held.unlock();
    done(refusal);
    return;
  }
  if (!enable) {
    // Nothing more is delivered from the moment the program asks.
    live->notifying = false;
    live->status_announced = false;
  }
  send_to_device(
      l, live, radio::ATT_HEADER_BYTES + SUBSCRIPTION_VALUE_BYTES,
      [live, enable, done](library& l, std::unique_lock<std::mutex>&, sim_time arrival, sim_time) {
        sim_time reported = arrival + connection_interval(l, live->gatt);
        if (enable && config_of(l, live).enable_error.matches(live->uuid)) {
          post_completion(l, live, reported, "Simulated error enabling notifications", done,
                          ERROR_RESPONSE_BYTES);
          return;
        }
        if (!device_takes_request(l, live->gatt,
                                  enable ? request_kind::enable : request_kind::disable, arrival)) {
          post_completion(l, live, arrival, CONNECTION_LOST, done);
          return;
        }
        if (enable) live->notifying = true;
        post_completion(l, live, reported, "", done, WRITE_RESPONSE_BYTES);
        if (enable) device_maybe_announce_status(l, live);
      },
      [live, done](library& l) {
        post_completion(l, live, sim_clock::now(), CONNECTION_LOST, done);
      });
}

WarbleGatt* create_gatt(const std::string& mac) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  auto gatt = std::make_unique<WarbleGatt>();
  gatt->mac = mac;
  gatt->generation = l.world.generation;
  WarbleGatt* handle = gatt.get();
  l.known_gatts.insert(handle);
  l.gatts.push_back(std::move(gatt));
  count(l, CREATES);
  return handle;
}

void note_error(const std::string& text) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  l.last_error = text;
}

// What one adapter refuses on the shared radio: a second connection while
// one is being set up, and more links than it holds. Null when it takes it.
const char* adapter_refusal(library& l) {
  if (!l.world.config.shared_radio) return nullptr;
  if (l.radio.setting_up) {
    count(l, CONCURRENT_SETUPS);
    return "Another connection is being set up";
  }
  if (counter_value(l, "live_links") >= l.world.config.max_links) return "Too many connections";
  return nullptr;
}

}  // namespace

extern "C" {

WARBLE_API const char* warble_lib_version(void) {
  lib();
  return "1.2.0-simulated";
}

WARBLE_API void warble_lib_init(int32_t nopts, const WarbleOption* opts) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  std::string config;
  for (int32_t i = 0; opts && i < nopts; ++i) {
    if (!opts[i].key || !opts[i].value) continue;
    if (!config.empty()) config += ";";
    config += std::string(opts[i].key) + "=" + opts[i].value;
  }
  l.init_config = config.empty() ? "default" : config;
}

WARBLE_API const char* warble_lib_config(void) {
  library& l = lib();
  // Each thread keeps its own copy: a later warble_lib_init elsewhere never
  // changes a text that a caller is still reading.
  thread_local std::string copy;
  std::lock_guard<std::mutex> guard(l.lock);
  copy = l.init_config;
  return copy.c_str();
}

WARBLE_API WarbleGatt* warble_gatt_create(const char* mac) {
  std::string normalised;
  if (!mac || !parse_mac(mac, normalised)) {
    note_error("warble_gatt_create: bad address");
    return nullptr;
  }
  return create_gatt(normalised);
}

WARBLE_API WarbleGatt* warble_gatt_create_with_options(int32_t nopts, const WarbleOption* opts) {
  if (nopts < 0 || (nopts > 0 && !opts)) {
    note_error("warble_gatt_create_with_options: no options");
    return nullptr;
  }
  std::string mac;
  for (int32_t i = 0; i < nopts; ++i) {
    const char* key = opts[i].key;
    const char* value = opts[i].value;
    bool valid = false;
    if (key && value && std::strcmp(key, "mac") == 0) {
      valid = parse_mac(value, mac);
    } else if (key && value && std::strcmp(key, "address-type") == 0) {
      // "unspecified" is the Windows stack's; accepted everywhere, since the
      // program always passes it.
      valid = std::strcmp(value, "public") == 0 || std::strcmp(value, "random") == 0 ||
              std::strcmp(value, "unspecified") == 0;
    }
    if (!valid) {
      note_error(std::string("warble_gatt_create_with_options: bad option ") +
                 (key ? key : "(null)") + " = " + (value ? value : "(null)"));
      return nullptr;
    }
  }
  if (mac.empty()) {
    note_error("warble_gatt_create_with_options: \"mac\" is required");
    return nullptr;
  }
  return create_gatt(mac);
}

WARBLE_API int32_t warble_gatt_is_connected(const WarbleGatt* gatt) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  return live && live->state == WarbleGatt::link_state::up ? 1 : 0;
}

WARBLE_API void warble_gatt_connect_async(WarbleGatt* gatt, void* context,
                                          warble_connect_handler handler) {
  library& l = lib();
  auto done = [=](const char* error) {
    if (handler) handler(context, gatt, error);
  };
  std::unique_lock<std::mutex> held(l.lock);
  count(l, CONNECT_ATTEMPTS);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live || live->state == WarbleGatt::link_state::connecting) {
    held.unlock();
    done(live ? "A connection attempt is already running" : DEAD_CONNECTION);
    return;
  }
  uint64_t generation = l.world.generation;
  auto report = [generation, done, live](std::string error, bool brings_link_up, uint64_t attempt,
                                         std::optional<sim_time> anchor = std::nullopt) {
    return [generation, done, live, error, brings_link_up, attempt, anchor] {
      if (shutting_down()) return;
      library& l = lib();
      std::string reported = error;
      {
        std::lock_guard<std::mutex> guard(l.lock);
        if (l.world.generation != generation || live->deleted) return;
        if (brings_link_up) {
          if (live->state == WarbleGatt::link_state::connecting &&
              live->connect_attempt == attempt) {
            if (l.radio.setting_up == live) l.radio.setting_up = nullptr;
            if (device_absent(l, live->device_index, sim_clock::now())) {
              // It restarted while the link was being made.
              live->state = WarbleGatt::link_state::down;
              reported = "No device found with address " + live->mac;
            } else {
              bring_link_up(l, live, anchor);
            }
          } else {
            reported = "Connection attempt cancelled";
          }
        }
      }
      done(reported.empty() ? nullptr : reported.c_str());
    };
  };
  sim_time now = sim_clock::now();
  timed_queue& queue = handler_queue(l, l.completion_queue);
  if (live->state == WarbleGatt::link_state::up) {
    queue.post(now, report("", false, 0));
    return;
  }
  if (const char* refusal = adapter_refusal(l)) {
    queue.post(now, report(refusal, false, 0));
    return;
  }
  int32_t device = find_device(l, live->mac);
  if (device < 0 || device_absent(l, device, now)) {
    queue.post(now, report("No device found with address " + live->mac, false, 0));
    return;
  }
  const device_config& config = l.world.devices[device];
  if (config.connect_error &&
      (config.connect_error_times == 0 ||
       l.world.runtime[device].connect_errors_given++ < config.connect_error_times)) {
    queue.post(now, report(*config.connect_error, false, 0));
    return;
  }
  live->device_index = device;
  live->state = WarbleGatt::link_state::connecting;
  live->connect_attempt = l.next_link_id++;
  if (l.world.config.shared_radio) l.radio.setting_up = live;
  if (config.connect_timeout) return;  // the attempt never ends
  sim_time up_at = now + device_interval(l, device);
  std::optional<sim_time> anchor;
  if (l.world.config.shared_radio && device_interval(l, device).count() > 0)
    anchor = up_at = radio_anchor(l, device, up_at);
  queue.post(up_at, report("", true, live->connect_attempt, anchor));
}

WARBLE_API void warble_gatt_disconnect(WarbleGatt* gatt) {
  library& l = lib();
  wait_for_callbacks(l);
  std::unique_lock<std::mutex> held(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live) return;
  disconnect_call call = take_link_down(l, live, 0);
  if (call.gatt) count(l, DISCONNECTS);
#ifdef _WIN32
  // The Windows stack reports the link down before this call returns.
  write_record_if_verdict_changed(l, held);
  if (call.handler) call.handler(call.context, call.gatt, call.status);
#else
  post_disconnect(l, call, sim_clock::now());
  write_record_if_verdict_changed(l, held);
#endif
}

WARBLE_API void warble_gatt_on_disconnect(WarbleGatt* gatt, void* context,
                                          warble_disconnect_handler handler) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live) return;
  live->disconnect_context = context;
  live->disconnect_handler = handler;
}

WARBLE_API void warble_gatt_delete(WarbleGatt* gatt) {
  library& l = lib();
  std::unique_lock<std::mutex> held(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live) return;
  // No disconnect handler: deleting is not a link event the program hears of.
  take_link_down(l, live, 0);
  live->deleted = true;
  count(l, DELETES);
  write_record_if_verdict_changed(l, held);
}

WARBLE_API int32_t warble_gatt_has_service(const WarbleGatt* gatt, const char* uuid) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live || !uuid || live->state != WarbleGatt::link_state::up) return 0;
  std::string wanted(uuid);
  const char* members[4] = {};
  if (wanted == PROPRIETARY_SERVICE_UUID) {
    std::copy(std::begin(PROPRIETARY_UUIDS), std::end(PROPRIETARY_UUIDS), members);
  } else if (wanted == DEVICE_INFORMATION_SERVICE_UUID) {
    std::copy(std::begin(INFORMATION_UUIDS), std::end(INFORMATION_UUIDS), members);
  }
  for (const char* member : members) {
    if (member && live->characteristics.count(member)) return 1;
  }
  return 0;
}

WARBLE_API WarbleGattChar* warble_gatt_find_characteristic(const WarbleGatt* gatt,
                                                           const char* uuid) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGatt* live = checked_gatt(l, gatt);
  if (!live || !uuid || live->state != WarbleGatt::link_state::up) return nullptr;
  auto found = live->characteristics.find(uuid);
  return found == live->characteristics.end() ? nullptr : found->second;
}

WARBLE_API const char* warble_gattchar_get_uuid(const WarbleGattChar* chr) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGattChar* live = checked_char(l, chr);
  return live ? live->uuid.c_str() : nullptr;
}

WARBLE_API WarbleGatt* warble_gattchar_get_gatt(const WarbleGattChar* chr) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGattChar* live = checked_char(l, chr);
  return live ? live->gatt : nullptr;
}

WARBLE_API void warble_gattchar_read_async(WarbleGattChar* chr, void* context,
                                           warble_read_handler handler) {
  library& l = lib();
  auto done = [=](const std::vector<uint8_t>& value, const char* error) {
    static const uint8_t nothing = 0;
    if (handler)
      handler(context, chr, value.empty() ? &nothing : value.data(),
              static_cast<uint8_t>(value.size()), error);
  };
  std::unique_lock<std::mutex> held(l.lock);
  count(l, READS);
  WarbleGattChar* live = checked_char(l, chr);
  const char* refusal = !live                   ? DEAD_CHARACTERISTIC
                        : !readable(live->uuid) ? "Read not permitted"
                                                : nullptr;
  if (refusal) {
    held.unlock();
    done({}, refusal);
    return;
  }
  send_to_device(
      l, live, radio::ATT_HEADER_BYTES,
      [live, done](library& l, std::unique_lock<std::mutex>&, sim_time arrival, sim_time) {
        const device_config& config = config_of(l, live);
        sim_time reported = arrival + connection_interval(l, live->gatt) +
                            std::chrono::milliseconds(config.late_completion_ms);
        std::string error;
        std::vector<uint8_t> value;
        if (config.read_error.matches(live->uuid)) {
          error = "Simulated read error";
        } else if (!device_takes_request(l, live->gatt, request_kind::read, arrival)) {
          error = CONNECTION_LOST;
          reported = arrival;
        } else {
          value = device_read_value(l, live->gatt, live->uuid);
        }
        int64_t answer = error == CONNECTION_LOST ? 0
                         : error.empty()
                             ? READ_RESPONSE_HEADER_BYTES + static_cast<int64_t>(value.size())
                             : ERROR_RESPONSE_BYTES;
        post_completion(
            l, live, reported, error,
            [value, done](const char* error) {
              done(error ? std::vector<uint8_t>() : value, error);
            },
            answer);
      },
      [live, done](library& l) {
        post_completion(l, live, sim_clock::now(), CONNECTION_LOST,
                        [done](const char* error) { done({}, error); });
      });
}

WARBLE_API void warble_gattchar_write_async(WarbleGattChar* chr, const uint8_t* value,
                                            uint8_t length, void* context,
                                            warble_char_done_handler handler) {
  start_write(chr, value, length, context, handler, true);
}

WARBLE_API void warble_gattchar_write_without_resp_async(WarbleGattChar* chr, const uint8_t* value,
                                                         uint8_t length, void* context,
                                                         warble_char_done_handler handler) {
  start_write(chr, value, length, context, handler, false);
}

WARBLE_API void warble_gattchar_enable_notifications_async(WarbleGattChar* chr, void* context,
                                                           warble_char_done_handler handler) {
  start_subscription(chr, context, handler, true);
}

WARBLE_API void warble_gattchar_disable_notifications_async(WarbleGattChar* chr, void* context,
                                                            warble_char_done_handler handler) {
  start_subscription(chr, context, handler, false);
}

WARBLE_API void warble_gattchar_on_notification_received(WarbleGattChar* chr, void* context,
                                                         warble_notify_handler handler) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  WarbleGattChar* live = checked_char(l, chr);
  if (!live || !handler) return;
  // Registering again adds a second delivery, as the Windows stack does.
  live->notify_targets.push_back({context, handler});
  device_maybe_announce_status(l, live);
}

}  // extern "C"
