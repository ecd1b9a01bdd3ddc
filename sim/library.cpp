#include "sim/library.h"
#include "sim/radio_model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {

const char* const COUNTER_NAMES[COUNTER_COUNT] = {"connects",       "connect_attempts",
                                                  "disconnects",    "link_drops",
                                                  "creates",        "deletes",
                                                  "scan_starts",    "scan_stops",
                                                  "scan_results",   "results_after_stop",
                                                  "enables",        "disables",
                                                  "reads",          "writes",
                                                  "writes_no_resp", "notifications",
                                                  "handle_misuse",  "callback_stalls",
                                                  "restarts",       "airtime_us",
                                                  "skipped_events", "peak_links",
                                                  "overlaps",       "concurrent_setups",
                                                  "arrivals",       "departures",
                                                  "scan_windows",   "scan_skipped_events"};

namespace {

std::atomic<library*> instance{nullptr};
std::atomic<bool> exiting{false};

std::vector<device_config> flood_devices(int32_t count, std::mt19937& random) {
  std::vector<device_config> devices;
  std::set<std::string> macs;
  while (static_cast<int32_t>(devices.size()) < count) {
    char mac[18];
    uint32_t high = random(), low = random();
    // Locally administered, so never equal to a configured C4:... address.
    std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", 0xD2 | (high & 0x0C),
                  (high >> 8) & 0xFF, (high >> 16) & 0xFF, low & 0xFF, (low >> 8) & 0xFF,
                  (low >> 16) & 0xFF);
    if (!macs.insert(mac).second) continue;
    device_config device;
    device.mac = mac;
    device.name = "BLE Device " + std::to_string(devices.size() + 1);
    device.rssi = -100 + static_cast<int32_t>(random() % 61);
    device.proprietary = false;
    for (auto& value : device.information) value.reset();
    devices.push_back(device);
  }
  return devices;
}

std::shared_ptr<const std::vector<advertisement>> advertisements(
    const std::vector<device_config>& devices) {
  auto list = std::make_shared<std::vector<advertisement>>();
  for (const auto& device : devices) {
    advertisement ad;
    ad.device_index = static_cast<int32_t>(list->size());
    ad.mac = device.mac;
    ad.name_is_null = device.name_is_null;
    ad.name = device.name;
    ad.rssi = device.rssi;
    ad.manufacturer = device.advertised_manufacturer_data;
    ad.services = device.advertised_services;
    list->push_back(ad);
  }
  return list;
}

bool read_text_file(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  text = buffer.str();
  return true;
}

// Writes the record once more as the process ends. The library's threads may
// be gone (Windows ends them before unloading the library), possibly with
// the lock held: never wait for it long.
struct exit_hook {
  ~exit_hook() {
    exiting.store(true);
    library* l = instance.load();
    if (!l) return;
    std::unique_lock<std::mutex> held(l->lock, std::defer_lock);
    for (int attempt = 0; attempt < 50 && !held.try_lock(); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!held.owns_lock()) return;
    l->scanner.stop_requested = true;
    std::string path = l->record_path;
    record_files files = path.empty() ? record_files{} : take_record(*l);
    held.unlock();
    l->scanner_wake.notify_all();
    if (!path.empty()) write_record_files(path, files);
  }
};
exit_hook hook;

}  // namespace

library::library() {
  world_config defaults;
  std::string ignored;
  parse_scenario("", defaults, ignored);
  install_world(*this, defaults);
  if (const char* path = std::getenv("WARBLE_SIM_RECORD")) record_path = path;
  if (const char* path = std::getenv("WARBLE_SIM_SCENARIO")) {
    std::string text, error;
    world_config config;
    if (!read_text_file(path, text)) {
      error = std::string("cannot read the scenario file ") + path;
    } else if (!parse_scenario(text, config, error)) {
      error = std::string(path) + ": " + error;
    } else {
      install_world(*this, config);
    }
    if (!error.empty()) {
      last_error = error;
      std::fprintf(stderr, "warble (simulated): %s; running the default world\n", error.c_str());
    }
  }
}

library& lib() {
  static library* created = [] {
    auto* l = new library();
    instance.store(l);
    return l;
  }();
  return *created;
}

bool shutting_down() {
  return exiting.load();
}

void count(library& l, counter which, int32_t amount) {
  l.world.counters[which] += amount;
}

update_receiver& receiver_of(library& l, const WarbleGatt* gatt) {
  return l.world.runtime[gatt->device_index].receiver;
}

const update_receiver& latest_receiver(const library& l) {
  return l.world.runtime[l.world.latest_transfer_device].receiver;
}

timed_queue& handler_queue(library& l, timed_queue& many_mode_queue) {
  return l.world.config.one_callback_thread ? l.callback_queue : many_mode_queue;
}

void wait_for_callbacks(library& l) {
  {
    std::lock_guard<std::mutex> guard(l.lock);
    if (!l.world.config.one_callback_thread) return;
  }
  if (l.callback_queue.on_own_thread()) return;
  if (l.callback_queue.wait_for_running_task(CALLBACK_WAIT_LIMIT)) return;
  std::lock_guard<std::mutex> guard(l.lock);
  count(l, CALLBACK_STALLS);
}

void install_world(library& l, const world_config& config) {
  world_state& w = l.world;
  w.generation += 1;
  w.config = config;
  w.random.seed(config.seed);
  w.devices = config.devices;
  for (auto& device : flood_devices(config.flood, w.random)) w.devices.push_back(device);
  w.runtime.assign(w.devices.size(), device_runtime());
  for (size_t i = 0; i < w.devices.size(); ++i) w.runtime[i].status = w.devices[i].initial_status;
  w.advertised = advertisements(w.devices);
  w.latest_transfer_device = 0;
  w.transfers = 0;
  w.requests.fill(0);
  w.writes.clear();
  for (const char* uuid : PROPRIETARY_UUIDS) w.writes[uuid];
  w.counters.fill(0);
  for (auto& runtime : w.runtime) runtime.verdict_written = runtime.receiver.record().verdict;
  w.configured_at = sim_clock::now();
  // Connections of the old world are now dead handles (generation check);
  // their links are gone without a disconnect handler.
  for (auto& gatt : l.gatts) {
    if (gatt->state != WarbleGatt::link_state::down) {
      gatt->state = WarbleGatt::link_state::down;
      gatt->characteristics.clear();
    }
    gatt->air.to_device.clear();
    gatt->air.to_program.clear();
  }
  radio_reset(l);
  schedule_presence(l);
}

WarbleGatt* checked_gatt(library& l, const WarbleGatt* gatt) {
  if (!gatt || l.known_gatts.count(gatt) == 0) {
    count(l, HANDLE_MISUSE);
    return nullptr;
  }
  auto* live = const_cast<WarbleGatt*>(gatt);
  if (live->deleted || live->generation != l.world.generation) {
    count(l, HANDLE_MISUSE);
    return nullptr;
  }
  return live;
}

bool link_alive(const library& l, const WarbleGatt* gatt, uint64_t link_id) {
  return gatt->generation == l.world.generation && !gatt->deleted &&
         gatt->state == WarbleGatt::link_state::up && gatt->link_id == link_id;
}

bool char_alive(const library& l, const WarbleGattChar* chr) {
  return chr->generation == l.world.generation && link_alive(l, chr->gatt, chr->link_id);
}

WarbleGattChar* checked_char(library& l, const WarbleGattChar* chr) {
  if (!chr || l.known_characteristics.count(chr) == 0 || !char_alive(l, chr)) {
    count(l, HANDLE_MISUSE);
    return nullptr;
  }
  return const_cast<WarbleGattChar*>(chr);
}

int32_t find_device(const library& l, const std::string& mac) {
  for (size_t i = 0; i < l.world.devices.size(); ++i) {
    if (l.world.devices[i].mac == mac) return static_cast<int32_t>(i);
  }
  return -1;
}

bool device_absent(const library& l, int32_t device, sim_time now) {
  const device_runtime& runtime = l.world.runtime[device];
  if (!runtime.arrived || runtime.departed) return true;
  return runtime.restarts > 0 && (runtime.gone_for_ever || now < runtime.back_at);
}

void bring_link_up(library& l, WarbleGatt* gatt, std::optional<sim_time> anchor) {
  gatt->state = WarbleGatt::link_state::up;
  gatt->link_id = l.next_link_id++;
  gatt->link_origin = anchor.value_or(sim_clock::now());
  gatt->characteristics.clear();
  const device_config& device = l.world.devices[gatt->device_index];
  std::vector<std::string> uuids(std::begin(PROPRIETARY_UUIDS), std::end(PROPRIETARY_UUIDS));
  uuids.insert(uuids.end(), std::begin(INFORMATION_UUIDS), std::end(INFORMATION_UUIDS));
  for (const auto& uuid : uuids) {
    if (!device.has_characteristic(uuid)) continue;
    // Handles are never freed: a program that keeps one past its link gets
    // a detected misuse instead of a use-after-free.
    auto chr = std::make_unique<WarbleGattChar>();
    chr->gatt = gatt;
    chr->uuid = uuid;
    chr->link_id = gatt->link_id;
    chr->generation = l.world.generation;
    gatt->characteristics[uuid] = chr.get();
    l.known_characteristics.insert(chr.get());
    l.characteristics.push_back(std::move(chr));
  }
  count(l, CONNECTS);
  if (on_shared_radio(l, gatt)) radio_link_up(l, gatt);
  int32_t live = counter_value(l, "live_links");
  if (live > l.world.counters[PEAK_LINKS]) l.world.counters[PEAK_LINKS] = live;
  device_link_up(l, gatt);
}

disconnect_call take_link_down(library& l, WarbleGatt* gatt, int32_t status) {
  disconnect_call call;
  if (l.radio.setting_up == gatt) l.radio.setting_up = nullptr;
  if (gatt->state == WarbleGatt::link_state::connecting) {
    gatt->state = WarbleGatt::link_state::down;
    return call;
  }
  if (gatt->state != WarbleGatt::link_state::up) return call;
  if (on_shared_radio(l, gatt)) radio_link_down(l, gatt);
  device_runtime& runtime = l.world.runtime[gatt->device_index];
  if (runtime.transfer_link == gatt->link_id) runtime.receiver.link_lost(0, 0);
  gatt->state = WarbleGatt::link_state::down;
  gatt->characteristics.clear();
  call.handler = gatt->disconnect_handler;
  call.context = gatt->disconnect_context;
  call.gatt = gatt;
  call.status = status;
  return call;
}

void post_disconnect(library& l, const disconnect_call& call, sim_time due) {
  if (!call.handler) return;
  uint64_t generation = l.world.generation;
  handler_queue(l, l.completion_queue).post(due, [call, generation] {
    if (shutting_down()) return;
    library& l = lib();
    {
      std::lock_guard<std::mutex> guard(l.lock);
      if (call.gatt->deleted || l.world.generation != generation) return;
    }
    call.handler(call.context, call.gatt, call.status);
  });
}

std::chrono::nanoseconds device_interval(const library& l, int32_t device) {
  const auto& own = l.world.devices[device].connection_interval_ms;
  return std::chrono::nanoseconds(
      std::llround(own.value_or(l.world.config.connection_interval_ms) * 1e6));
}

std::chrono::nanoseconds connection_interval(const library& l, const WarbleGatt* gatt) {
  return device_interval(l, gatt->device_index);
}

sim_time next_event_after(const library& l, const WarbleGatt* gatt, sim_time t) {
  auto interval = connection_interval(l, gatt);
  if (interval.count() == 0) return t;
  if (t < gatt->link_origin) return gatt->link_origin;
  auto events = (t - gatt->link_origin) / interval + 1;
  return gatt->link_origin + events * interval;
}

sim_time event_at_or_after(const library& l, const WarbleGatt* gatt, sim_time t) {
  auto interval = connection_interval(l, gatt);
  if (interval.count() == 0 || t <= gatt->link_origin) return std::max(t, gatt->link_origin);
  auto elapsed = t - gatt->link_origin;
  auto events = (elapsed + interval - std::chrono::nanoseconds(1)) / interval;
  return gatt->link_origin + events * interval;
}

void post_notification(library& l, WarbleGattChar* chr, std::vector<uint8_t> bytes, sim_time due,
                       notification_lane lane, std::function<void(library&)> then) {
  if (bytes.size() > 255) bytes.resize(255);
  const device_config& device = l.world.devices[chr->gatt->device_index];
  int copies = device.duplicate_notifications ? 2 : 1;
  uint64_t generation = l.world.generation;
  // Status notifications are counted in their device's record, as
  // belonging to the transfer under way when they were sent.
  bool recorded = chr->uuid == STATUS_UUID;
  int32_t device_index = chr->gatt->device_index;
  int32_t transfer = receiver_of(l, chr->gatt).record().transfers;
  bool refusal = !bytes.empty() && bytes[0] == UPD_STATUS_REJECTED;
  timed_queue& queue = handler_queue(
      l, lane == notification_lane::first ? l.notification_queue : l.second_notification_queue);
  for (int copy = 0; copy < copies; ++copy) {
    bool last = copy == copies - 1;
    std::function<void()> task = [chr, bytes, generation, recorded, device_index, transfer, refusal,
                                  then = last ? then : std::function<void(library&)>()] {
      if (shutting_down()) return;
      library& l = lib();
      std::vector<WarbleGattChar::notify_target> targets;
      {
        std::lock_guard<std::mutex> guard(l.lock);
        if (l.world.generation != generation) return;
        if (char_alive(l, chr) && chr->notifying) {
          targets = chr->notify_targets;
          count(l, NOTIFICATIONS, static_cast<int32_t>(targets.size()));
        }
      }
      // Never a null pointer, also for an empty value.
      static const uint8_t nothing = 0;
      const uint8_t* value = bytes.empty() ? &nothing : bytes.data();
      for (const auto& target : targets) {
        target.handler(target.context, chr, value, static_cast<uint8_t>(bytes.size()));
      }
      bool delivered = recorded && !targets.empty();
      if (!delivered && !then) return;
      sim_time returned = sim_clock::now();
      std::lock_guard<std::mutex> guard(l.lock);
      if (l.world.generation != generation) return;
      if (delivered) {
        l.world.runtime[device_index].receiver.status_delivered(
            transfer, refusal, static_cast<int32_t>(targets.size()), returned);
      }
      if (then) then(l);
    };
    // The second lane is the library's late hand-over of what already came
    // on the air (a response handed over after its status, from another
    // thread): it waits for no event of its own.
    if (!on_shared_radio(l, chr->gatt) || lane == notification_lane::second) {
      queue.post(due, std::move(task));
      continue;
    }
    air_item item;
    item.ready = due;
    item.link_bytes =
        radio::link_bytes(radio::ATT_HEADER_BYTES + static_cast<int64_t>(bytes.size()));
    item.to_program = [queue = &queue, task = std::move(task)](library&, sim_time delivered) {
      queue->post(delivered, task);
    };
    radio_send_to_program(l, chr->gatt, std::move(item));
  }
}

}  // namespace sim
