// The stand-in's own control interface (warble_sim.h): what tests use to set
// up the world and to read what the device received.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/library.h"
#include "sim/warble_sim.h"

using namespace sim;

namespace {

int32_t configure_from_text(const std::string& text, const std::string& source) {
  world_config config;
  std::string error;
  bool parsed = parse_scenario(text, config, error);
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  if (!parsed) {
    l.last_error = source + error;
    return -1;
  }
  install_world(l, config);
  l.last_error.clear();
  return 0;
}

// A step whose handlers have not all returned by then is a hang, not a
// slow machine.
constexpr std::chrono::seconds STEP_LIMIT{30};

const write_log* log_of(const library& l, const char* uuid) {
  if (!uuid) return nullptr;
  auto found = l.world.writes.find(uuid);
  return found == l.world.writes.end() ? nullptr : &found->second;
}

void copy_text(char* dest, size_t capacity, const std::string& text) {
  size_t n = std::min(capacity - 1, text.size());
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

void copy_record(const update_record& record, WarbleSimUpdateRecord* out) {
  *out = WarbleSimUpdateRecord();
  out->frames = record.frames;
  out->packets = record.packets;
  out->announced_length = record.announced_length;
  out->image_size = static_cast<uint32_t>(record.image.size());
  out->received_crc = record.received_crc;
  out->computed_crc = record.computed_crc;
  out->finished = record.finished ? 1 : 0;
  out->accepted = record.accepted ? 1 : 0;
  out->frames_after_failure = record.frames_after_failure;
  copy_text(out->verdict, sizeof out->verdict, record.verdict);
  out->transfers = record.transfers;
  out->first_failed_frame = record.first_failed_frame;
  out->frames_after_finish = record.frames_after_finish;
  out->b1_value = record.b1_value;
  out->crc_received = record.crc_received ? 1 : 0;
  out->frames_after_refusal_seen = record.frames_after_refusal_seen;
  out->refusals_after_finish = record.refusals_after_finish;
  out->status_notifications = record.status_notifications;
}

uint32_t copy_image(const std::vector<uint8_t>& image, uint8_t* dest, uint32_t capacity) {
  if (dest) std::memcpy(dest, image.data(), std::min<size_t>(capacity, image.size()));
  return static_cast<uint32_t>(image.size());
}

// A configured device by its address in any letter case, or -1.
int32_t device_named(const library& l, const char* mac) {
  std::string normalised;
  if (!mac || !parse_mac(mac, normalised)) return -1;
  return find_device(l, normalised);
}

}  // namespace

extern "C" {

WARBLE_API int32_t warble_sim_configure(const char* scenario_text) {
  return configure_from_text(scenario_text ? scenario_text : "", "");
}

WARBLE_API int32_t warble_sim_configure_file(const char* path) {
  std::ifstream file(path ? path : "", std::ios::binary);
  if (!file) {
    library& l = lib();
    std::lock_guard<std::mutex> guard(l.lock);
    l.last_error = std::string("cannot read the scenario file ") + (path ? path : "(null)");
    return -1;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return configure_from_text(text.str(), std::string(path) + ": ");
}

WARBLE_API const char* warble_sim_error(void) {
  library& l = lib();
  thread_local std::string copy;
  std::lock_guard<std::mutex> guard(l.lock);
  copy = l.last_error;
  return copy.c_str();
}

WARBLE_API int32_t warble_sim_update_record(WarbleSimUpdateRecord* out) {
  if (!out) return -1;
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  copy_record(latest_receiver(l).record(), out);
  out->transfers = l.world.transfers;
  return 0;
}

WARBLE_API int32_t warble_sim_update_record_of(const char* mac, WarbleSimUpdateRecord* out) {
  if (!out) return -1;
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  int32_t device = device_named(l, mac);
  if (device < 0) return -1;
  copy_record(l.world.runtime[device].receiver.record(), out);
  return 0;
}

WARBLE_API void warble_sim_program_looks(const WarbleGatt* gatt) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  // Not a library call of the program's: a dead handle is no misuse here.
  if (!gatt || l.known_gatts.count(gatt) == 0) return;
  if (gatt->deleted || gatt->generation != l.world.generation || gatt->device_index < 0) return;
  receiver_of(l, gatt).program_looked(sim_clock::now());
}

WARBLE_API uint32_t warble_sim_image(uint8_t* dest, uint32_t capacity) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  return copy_image(latest_receiver(l).record().image, dest, capacity);
}

WARBLE_API uint32_t warble_sim_image_of(const char* mac, uint8_t* dest, uint32_t capacity) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  int32_t device = device_named(l, mac);
  return device < 0 ? 0
                    : copy_image(l.world.runtime[device].receiver.record().image, dest, capacity);
}

WARBLE_API int32_t warble_sim_write_count(const char* uuid) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  const write_log* log = log_of(l, uuid);
  return log ? static_cast<int32_t>(log->entries.size()) : -1;
}

WARBLE_API int32_t warble_sim_write_at(const char* uuid, int32_t index, uint8_t* dest,
                                       int32_t capacity) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  const write_log* log = log_of(l, uuid);
  if (!log || index < 0 || static_cast<size_t>(index) >= log->entries.size()) return -1;
  const write_log::entry& entry = log->entries[index];
  if (dest && capacity > 0)
    std::memcpy(dest, log->bytes.data() + entry.offset,
                std::min<size_t>(static_cast<size_t>(capacity), entry.length));
  return entry.length;
}

WARBLE_API int64_t warble_sim_write_arrival_us(const char* uuid, int32_t index) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  const write_log* log = log_of(l, uuid);
  if (!log || index < 0 || static_cast<size_t>(index) >= log->entries.size()) return -1;
  return log->entries[index].arrival_us;
}

WARBLE_API int64_t warble_sim_write_landed_us(const char* uuid, int32_t index) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  const write_log* log = log_of(l, uuid);
  if (!log || index < 0 || static_cast<size_t>(index) >= log->entries.size()) return -1;
  return log->entries[index].landed_us;
}

WARBLE_API int32_t warble_sim_counter(const char* name) {
  if (!name) return -1;
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  return counter_value(l, name);
}

WARBLE_API int32_t warble_sim_write_record(const char* path) {
  if (!path) return -1;
  library& l = lib();
  record_files files;
  {
    std::lock_guard<std::mutex> guard(l.lock);
    files = take_record(l);
  }
  return write_record_files(path, files) ? 0 : -1;
}

WARBLE_API int32_t warble_sim_drop_links(void) {
  library& l = lib();
  std::unique_lock<std::mutex> held(l.lock);
  int32_t dropped = 0;
  sim_time now = sim_clock::now();
  for (auto& gatt : l.gatts) {
    if (gatt->generation != l.world.generation || gatt->deleted ||
        gatt->state != WarbleGatt::link_state::up)
      continue;
    count(l, LINK_DROPS);
    post_disconnect(l, take_link_down(l, gatt.get(), LINK_DROP_STATUS), now);
    ++dropped;
  }
  write_record_if_verdict_changed(l, held);
  return dropped;
}

WARBLE_API int32_t warble_sim_notify(const char* uuid, const uint8_t* value, int32_t length) {
  if (!uuid || length < 0 || length > 255 || (length > 0 && !value)) return -1;
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  int32_t sent = 0;
  for (auto& gatt : l.gatts) {
    if (gatt->generation != l.world.generation || gatt->deleted ||
        gatt->state != WarbleGatt::link_state::up)
      continue;
    auto found = gatt->characteristics.find(uuid);
    if (found == gatt->characteristics.end() || !found->second->notifying) continue;
    post_notification(l, found->second, std::vector<uint8_t>(value, value + length),
                      next_event_after(l, gatt.get(), sim_clock::now()));
    ++sent;
  }
  return sent;
}

WARBLE_API int32_t warble_sim_drive_clock(int32_t driven) {
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  if (l.scanner.running) {
    l.last_error = "the scanner runs in real time: stop it before the clock changes";
    return -1;
  }
  driven_clock::instance().drive(driven != 0);
  return 0;
}

WARBLE_API int64_t warble_sim_clock_us(void) {
  return driven_clock::instance().now_us();
}

WARBLE_API int64_t warble_sim_advance_clock(int64_t until_us) {
  return driven_clock::instance().advance(until_us, STEP_LIMIT);
}

}  // extern "C"
