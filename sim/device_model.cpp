// What the simulated device does with what it receives: the command
// channel, the update channel, its status byte and the faults it was told to
// show. Runs on the device thread (at the connection event a write reaches
// the device), with the library lock held; everything the program sees goes
// out through the notification and completion queues.
#include <cstring>

#include "sim/library.h"

namespace sim {

namespace {

constexpr uint8_t STATUS_BUSY = 0x01;
constexpr uint8_t CMD_STATUS_FAILED = 4;
constexpr uint16_t CMD_GET_VERSION = 0x0000;
constexpr uint16_t CMD_GET_FW_DATE = 0x0001;
constexpr uint16_t CMD_GET_FW_TIME = 0x0002;
// Filler of status replies stretched to a fixed size: not zero, so that a
// program reading past byte 0 does not get a plausible "idle".
constexpr uint8_t STATUS_PADDING = 0xA5;
constexpr size_t NOISE_MAX_LENGTH = 20;

device_runtime& runtime_of(library& l, const WarbleGatt* gatt) {
  return l.world.runtime[gatt->device_index];
}

const device_config& config_of(const library& l, const WarbleGatt* gatt) {
  return l.world.devices[gatt->device_index];
}

uint8_t current_status(const device_runtime& runtime) {
  return runtime.stays_busy ? STATUS_BUSY : runtime.status;
}

WarbleGattChar* characteristic_of(WarbleGatt* gatt, const char* uuid) {
  auto found = gatt->characteristics.find(uuid);
  return found == gatt->characteristics.end() ? nullptr : found->second;
}

// Status notifications follow the notification_size fault: cut, or
// padded. A refusal the device sends after it accepted the finish of the
// transfer under way is recorded (`after_finish` says whether it had, at
// the moment that counts). False when the device has no status
// characteristic.
bool send_status(library& l, WarbleGatt* gatt, uint8_t status, uint8_t detail, sim_time due,
                 bool after_finish, std::function<void(library&)> then = {}) {
  WarbleGattChar* chr = characteristic_of(gatt, STATUS_UUID);
  if (!chr) return false;
  if (status == UPD_STATUS_REJECTED && after_finish && chr->notifying)
    receiver_of(l, gatt).refusal_sent_after_finish();
  std::vector<uint8_t> bytes = {status, detail};
  int32_t size = config_of(l, gatt).notification_size;
  if (size >= 0) bytes.resize(static_cast<size_t>(size), STATUS_PADDING);
  post_notification(l, chr, bytes, due, notification_lane::first, std::move(then));
  return true;
}

bool notify_status(library& l, WarbleGatt* gatt, uint8_t status, uint8_t detail, sim_time due,
                   std::function<void(library&)> then = {}) {
  return send_status(l, gatt, status, detail, due, receiver_of(l, gatt).record().finished,
                     std::move(then));
}

// The link goes down at a request that reached the device; the disconnect
// handler goes out at `arrival`.
void drop_link(library& l, WarbleGatt* gatt, sim_time arrival) {
  count(l, LINK_DROPS);
  post_disconnect(l, take_link_down(l, gatt, LINK_DROP_STATUS), arrival);
}

int32_t count_request(library& l, request_kind kind) {
  return ++l.world.requests[static_cast<size_t>(kind)];
}

void notify_noise(library& l, WarbleGatt* gatt, const char* uuid, sim_time due) {
  WarbleGattChar* chr = characteristic_of(gatt, uuid);
  if (!chr) return;
  std::vector<uint8_t> bytes(1 + l.world.random() % NOISE_MAX_LENGTH);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(l.world.random());
  post_notification(l, chr, bytes, due);
}

void log_write(library& l, const WarbleGatt* gatt, const std::string& uuid,
               const std::vector<uint8_t>& bytes, sim_time arrival, sim_time landed) {
  auto found = l.world.writes.find(uuid);
  if (found == l.world.writes.end()) return;
  write_log& log = found->second;
  auto since_link = [gatt](sim_time t) {
    return static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t - gatt->link_origin).count());
  };
  log.entries.push_back(write_log::entry{log.bytes.size(), static_cast<uint8_t>(bytes.size()),
                                         since_link(arrival), since_link(landed)});
  log.bytes.insert(log.bytes.end(), bytes.begin(), bytes.end());
}

bool command_response(const device_config& device, uint16_t code, std::vector<uint8_t>& out) {
  switch (code) {
    case CMD_GET_VERSION:
      out = device.version;
      return true;
    case CMD_GET_FW_DATE:
      out.assign(device.fw_date.begin(), device.fw_date.end());
      return true;
    case CMD_GET_FW_TIME:
      out.assign(device.fw_time.begin(), device.fw_time.end());
      return true;
    default:
      return false;
  }
}

// Busy at once; the response and the idle status once the command ran.
// Commands queue behind each other and behind a busy period.
bool receive_command(library& l, WarbleGatt* gatt, const std::vector<uint8_t>& frame,
                     sim_time arrival) {
  const device_config& device = config_of(l, gatt);
  device_runtime& runtime = runtime_of(l, gatt);
  int32_t number = count_request(l, request_kind::command);
  if (device.drops_link_at(request_kind::command, number)) {
    drop_link(l, gatt, arrival);
    return false;
  }
  auto interval = connection_interval(l, gatt);
  bool well_formed = frame.size() >= 2;
  uint16_t code = well_formed ? static_cast<uint16_t>((frame[0] << 8) | frame[1]) : 0xFFFF;
  runtime.status = STATUS_BUSY;
  runtime.status_detail = static_cast<uint8_t>(code);
  notify_status(l, gatt, STATUS_BUSY, runtime.status_detail, arrival + interval);
  if (device.status_stays_busy_ms < 0 && runtime.stays_busy) return true;  // never free again

  sim_time start = std::max(arrival, runtime.command_free_at);
  if (runtime.stays_busy)
    start =
        std::max(start, gatt->link_origin + std::chrono::milliseconds(device.status_stays_busy_ms));
  int32_t busy_ms =
      device.late_status_command == number ? device.late_status_ms : device.command_busy_ms;
  sim_time done = event_at_or_after(l, gatt, start + std::chrono::milliseconds(busy_ms)) + interval;
  runtime.command_free_at = done;

  uint64_t link_id = gatt->link_id;
  l.device_queue.post(done, [gatt, link_id, code, well_formed] {
    library& l = lib();
    std::lock_guard<std::mutex> guard(l.lock);
    if (!link_alive(l, gatt, link_id)) return;
    const device_config& device = config_of(l, gatt);
    device_runtime& runtime = runtime_of(l, gatt);
    std::vector<uint8_t> response;
    bool known = well_formed && command_response(device, code, response);
    sim_time now = sim_clock::now();
    runtime.status = known ? device.command_status : CMD_STATUS_FAILED;
    WarbleGattChar* response_chr = known ? characteristic_of(gatt, RESPONSE_UUID) : nullptr;
    if (known) runtime.response = response;
    if (device.response_after_status_ms < 0) {
      if (response_chr) post_notification(l, response_chr, response, now);
      notify_status(l, gatt, runtime.status, runtime.status_detail, now);
      return;
    }
    // The response only once the status went out, and from another thread.
    sim_time later = now + std::chrono::milliseconds(device.response_after_status_ms);
    auto send_response = [response_chr, response, later](library& l) {
      if (response_chr)
        post_notification(l, response_chr, response, later, notification_lane::second);
    };
    if (!notify_status(l, gatt, runtime.status, runtime.status_detail, now, send_response))
      send_response(l);
  });
  return true;
}

const std::string& configured_revision(const device_config& device) {
  static const std::string none;
  return device.information[0] ? *device.information[0] : none;
}

// The device installs what it accepted: every link to it goes down as a
// radio link that goes away, and it is gone for a while.
void restart(library& l, int32_t device_index) {
  const device_config& device = l.world.devices[device_index];
  device_runtime& runtime = l.world.runtime[device_index];
  sim_time now = sim_clock::now();
  runtime.old_revision = runtime.restarts > 0 ? runtime.revision : configured_revision(device);
  runtime.revision = device.revision_after_restart.value_or(configured_revision(device));
  ++runtime.restarts;
  runtime.gone_for_ever = device.restart_absent_ms < 0;
  runtime.back_at = now + std::chrono::milliseconds(std::max(device.restart_absent_ms, 0));
  runtime.new_revision_from =
      runtime.back_at + std::chrono::milliseconds(device.old_revision_for_ms);
  count(l, RESTARTS);
  drop_device_links(l, device_index, now);
}

void schedule_restart(library& l, const WarbleGatt* gatt, sim_time finish_arrival) {
  const device_config& device = config_of(l, gatt);
  int32_t device_index = gatt->device_index;
  uint64_t generation = l.world.generation;
  l.device_queue.post(finish_arrival + std::chrono::milliseconds(device.restart_delay_ms),
                      [device_index, generation] {
                        library& l = lib();
                        std::lock_guard<std::mutex> guard(l.lock);
                        if (l.world.generation == generation) restart(l, device_index);
                      });
}

bool receive_update_frame(library& l, WarbleGatt* gatt, const std::vector<uint8_t>& frame,
                          sim_time arrival) {
  const device_config& device = config_of(l, gatt);
  device_runtime& runtime = runtime_of(l, gatt);
  update_receiver& receiver = runtime.receiver;
  int32_t number = count_request(l, request_kind::frame);
  uint8_t code = frame.empty() ? 0 : frame[0];

  if (device.drops_link_at(request_kind::frame, number)) {
    if (runtime.transfer_link == gatt->link_id) receiver.link_lost(number, code);
    drop_link(l, gatt, arrival);
    return false;
  }
  // The previous reply once more, now that the next frame is here.
  if (runtime.duplicate_reply) {
    send_status(l, gatt, (*runtime.duplicate_reply)[0], (*runtime.duplicate_reply)[1], arrival,
                false);
    runtime.duplicate_reply.reset();
  }
  if (code == UPD_CMD_START) {
    runtime.transfer_link = gatt->link_id;
    l.world.latest_transfer_device = gatt->device_index;
    ++l.world.transfers;
  }
  // A status sent ahead of the reply is judged by where the transfer stood
  // before this frame.
  bool finished_before = code != UPD_CMD_START && receiver.record().finished;

  // A frame the device does not take is answered 5, whatever the reason:
  // any other status byte tells the sender the frame was accepted.
  const char* forced = nullptr;
  if (runtime.stays_busy) {
    forced = "written while the device was busy";
  } else if (device.refuse_frame == number) {
    forced = "refused by the device (fault)";
  } else if (device.refuse_code == code) {
    forced = "code refused by the device (fault)";
  }
  uint8_t status = receiver.receive(frame.data(), frame.size(), number, forced);
  if (code == UPD_CMD_FINISH && status == UPD_STATUS_ACCEPTED && device.restart_after_finish)
    schedule_restart(l, gatt, arrival);
  bool replies = device.no_reply_frame != number;
  if (!replies) receiver.reply_lost(number);
  int32_t delay_ms =
      device.late_reply_frame == number ? device.late_reply_ms : device.reply_delay_ms;
  sim_time reply = event_at_or_after(l, gatt, arrival + std::chrono::milliseconds(delay_ms)) +
                   connection_interval(l, gatt);
  if (replies && device.noise_notifications) {
    notify_noise(l, gatt, RESPONSE_UUID, reply);
    notify_noise(l, gatt, UPDATE_UUID, reply);
  }
  for (const auto& unprompted : device.unprompted) {
    if (unprompted.frame == number && !unprompted.after)
      send_status(l, gatt, unprompted.value, 0, reply, finished_before);
  }
  if (replies && !runtime.stays_busy) {
    runtime.status = status;
    runtime.status_detail = code;
  }
  if (replies) {
    notify_status(l, gatt, status, code, reply);
    if (device.late_duplicate_replies)
      runtime.duplicate_reply = std::array<uint8_t, 2>{status, code};
  }
  for (const auto& unprompted : device.unprompted) {
    if (unprompted.frame != number || !unprompted.after) continue;
    // Sent by the device when it is due, after the reply: it becomes the
    // status a read returns from then on.
    sim_time due =
        event_at_or_after(l, gatt, reply + std::chrono::milliseconds(unprompted.delay_ms));
    uint64_t link_id = gatt->link_id;
    uint8_t value = unprompted.value;
    l.device_queue.post(due, [gatt, link_id, value] {
      library& l = lib();
      std::lock_guard<std::mutex> guard(l.lock);
      if (!link_alive(l, gatt, link_id)) return;
      device_runtime& runtime = runtime_of(l, gatt);
      if (!runtime.stays_busy) {
        runtime.status = value;
        runtime.status_detail = 0;
      }
      notify_status(l, gatt, value, 0, sim_clock::now());
    });
  }
  return true;
}

}  // namespace

void device_link_up(library& l, WarbleGatt* gatt) {
  const device_config& device = config_of(l, gatt);
  device_runtime& runtime = runtime_of(l, gatt);
  runtime.status = device.initial_status;
  runtime.status_detail = 0;
  runtime.response.clear();
  runtime.command_free_at = gatt->link_origin;
  runtime.duplicate_reply.reset();
  runtime.stays_busy = device.status_stays_busy_ms != 0;
  if (device.status_stays_busy_ms <= 0) return;
  uint64_t link_id = gatt->link_id;
  sim_time free_at = gatt->link_origin + std::chrono::milliseconds(device.status_stays_busy_ms);
  l.device_queue.post(free_at, [gatt, link_id] {
    library& l = lib();
    std::lock_guard<std::mutex> guard(l.lock);
    if (!link_alive(l, gatt, link_id)) return;
    device_runtime& runtime = runtime_of(l, gatt);
    runtime.stays_busy = false;
    notify_status(l, gatt, runtime.status, runtime.status_detail, sim_clock::now());
  });
}

void drop_device_links(library& l, int32_t device, sim_time now) {
  for (auto& gatt : l.gatts) {
    if (gatt->generation != l.world.generation || gatt->deleted || gatt->device_index != device)
      continue;
    if (gatt->state == WarbleGatt::link_state::up) drop_link(l, gatt.get(), now);
  }
}

void device_maybe_announce_status(library& l, WarbleGattChar* chr) {
  if (chr->uuid != STATUS_UUID || !chr->notifying || chr->notify_targets.empty() ||
      chr->status_announced)
    return;
  const device_runtime& runtime = runtime_of(l, chr->gatt);
  uint8_t status = current_status(runtime);
  if (status == 0) return;
  chr->status_announced = true;
  sim_time due = next_event_after(l, chr->gatt, sim_clock::now());
  notify_status(l, chr->gatt, status, runtime.status_detail, due);
}

std::vector<uint8_t> device_read_value(library& l, WarbleGatt* gatt, const std::string& uuid) {
  const device_runtime& runtime = runtime_of(l, gatt);
  if (uuid == STATUS_UUID) return {current_status(runtime), runtime.status_detail};
  if (uuid == RESPONSE_UUID) return runtime.response;
  if (uuid == FIRMWARE_REVISION_UUID && runtime.restarts > 0 &&
      config_of(l, gatt).information_value(uuid)) {
    const std::string& revision =
        sim_clock::now() < runtime.new_revision_from ? runtime.old_revision : runtime.revision;
    return std::vector<uint8_t>(revision.begin(), revision.end());
  }
  if (const std::string* value = config_of(l, gatt).information_value(uuid)) {
    std::vector<uint8_t> bytes(value->begin(), value->end());
    if (bytes.size() > 255) bytes.resize(255);
    return bytes;
  }
  return {};
}

bool device_receive_write(library& l, WarbleGatt* gatt, uint64_t link_id, const std::string& uuid,
                          const std::vector<uint8_t>& bytes, sim_time arrival, sim_time landed) {
  if (!link_alive(l, gatt, link_id)) return false;
  log_write(l, gatt, uuid, bytes, arrival, landed);
  if (uuid == COMMAND_UUID) return receive_command(l, gatt, bytes, arrival);
  if (uuid == UPDATE_UUID) return receive_update_frame(l, gatt, bytes, arrival);
  return true;
}

bool device_takes_request(library& l, WarbleGatt* gatt, request_kind kind, sim_time arrival) {
  if (!config_of(l, gatt).drops_link_at(kind, count_request(l, kind))) return true;
  drop_link(l, gatt, arrival);
  return false;
}

}  // namespace sim
