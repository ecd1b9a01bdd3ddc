// The record of what the simulated device received, as text: one
// "key = value" per line, for tests that read it from a file (the Windows
// program under Wine cannot be asked directly).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/library.h"

namespace sim {

namespace {

std::string hex_bytes(const uint8_t* bytes, size_t count) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
    text += piece;
  }
  return text;
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

void line(std::string& out, const std::string& key, const std::string& value) {
  out += key + " = " + value + "\n";
}

}  // namespace

int32_t counter_value(const library& l, const std::string& name) {
  for (size_t i = 0; i < COUNTER_COUNT; ++i) {
    if (name == COUNTER_NAMES[i]) return l.world.counters[i];
  }
  const std::string airtime_of = "airtime_us.";
  if (name.rfind(airtime_of, 0) == 0) {
    std::string mac;
    if (!parse_mac(name.substr(airtime_of.size()), mac)) return -1;
    int32_t device = find_device(l, mac);
    return device < 0 ? -1 : static_cast<int32_t>(l.world.runtime[device].airtime_us);
  }
  bool open = name == "open_connections";
  bool live = name == "live_links";
  if (!open && !live) return -1;
  int32_t total = 0;
  for (const auto& gatt : l.gatts) {
    if (gatt->generation != l.world.generation || gatt->deleted) continue;
    if (open || gatt->state == WarbleGatt::link_state::up) ++total;
  }
  return total;
}

// What each device that saw a transfer received, under its own address.
void device_lines(std::string& out, const library& l) {
  for (size_t i = 0; i < l.world.runtime.size(); ++i) {
    const update_record& record = l.world.runtime[i].receiver.record();
    if (record.transfers == 0) continue;
    const std::string key = "device." + l.world.devices[i].mac + ".";
    line(out, key + "verdict", record.verdict);
    line(out, key + "transfers", std::to_string(record.transfers));
    line(out, key + "frames", std::to_string(record.frames));
    line(out, key + "packets", std::to_string(record.packets));
    line(out, key + "accepted", std::to_string(record.accepted ? 1 : 0));
    line(out, key + "finished", std::to_string(record.finished ? 1 : 0));
    line(out, key + "frames_after_failure", std::to_string(record.frames_after_failure));
    line(out, key + "frames_after_finish", std::to_string(record.frames_after_finish));
    line(out, key + "image_size", std::to_string(record.image.size()));
    line(out, key + "image_crc", hex32(record.computed_crc));
  }
}

std::string record_text(const library& l) {
  const update_record& record = latest_receiver(l).record();
  std::string out;
  line(out, "verdict", record.verdict);
  line(out, "accepted", std::to_string(record.accepted ? 1 : 0));
  line(out, "finished", std::to_string(record.finished ? 1 : 0));
  line(out, "transfers", std::to_string(l.world.transfers));
  line(out, "frames", std::to_string(record.frames));
  line(out, "packets", std::to_string(record.packets));
  line(out, "b1_value", std::to_string(record.b1_value));
  line(out, "announced_length", std::to_string(record.announced_length));
  line(out, "image_size", std::to_string(record.image.size()));
  line(out, "image_crc", hex32(record.computed_crc));
  line(out, "received_crc", record.crc_received ? hex32(record.received_crc) : "none");
  line(out, "first_failed_frame", std::to_string(record.first_failed_frame));
  line(out, "frames_after_failure", std::to_string(record.frames_after_failure));
  line(out, "frames_after_finish", std::to_string(record.frames_after_finish));
  line(out, "frames_after_refusal_seen", std::to_string(record.frames_after_refusal_seen));
  line(out, "refusals_after_finish", std::to_string(record.refusals_after_finish));
  line(out, "status_notifications", std::to_string(record.status_notifications));
  for (const auto& frame : record.control_frames)
    line(out, "control_frame", hex_bytes(frame.data(), frame.size()));
  for (const auto& [uuid, log] : l.world.writes) {
    line(out, "writes." + uuid, std::to_string(log.entries.size()));
  }
  const write_log& commands = l.world.writes.at(COMMAND_UUID);
  for (const auto& entry : commands.entries)
    line(out, "command", hex_bytes(commands.bytes.data() + entry.offset, entry.length));
  for (size_t i = 0; i < COUNTER_COUNT; ++i)
    line(out, std::string("counter.") + COUNTER_NAMES[i], std::to_string(l.world.counters[i]));
  line(out, "counter.open_connections", std::to_string(counter_value(l, "open_connections")));
  line(out, "counter.live_links", std::to_string(counter_value(l, "live_links")));
  device_lines(out, l);
  for (size_t i = 0; i < l.world.runtime.size(); ++i) {
    if (l.world.runtime[i].airtime_us > 0)
      line(out, "airtime_us." + l.world.devices[i].mac,
           std::to_string(l.world.runtime[i].airtime_us));
  }
  if (!l.last_error.empty()) line(out, "error", l.last_error);
  return out;
}

constexpr int RENAME_ATTEMPTS = 400;
constexpr int RENAME_RETRY_MS = 5;

bool write_text_file(const std::string& path, const std::string& text) {
  // Two threads may write the record at once (the device thread and the
  // exit hook); never destroyed, as it may be used while the process exits.
  static std::mutex* file_lock = new std::mutex;
  std::lock_guard<std::mutex> guard(*file_lock);
  // Readers never see half a record: write aside, then rename over.
  std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << text;
    if (!file.flush()) return false;
  }
  // On Windows a file that a reader holds open (a test polling the record)
  // cannot be replaced until the reader lets go: a rename that fails is
  // tried again for a while, or the record would keep a verdict long gone.
  std::error_code error;
  for (int attempt = 0; attempt < RENAME_ATTEMPTS; ++attempt) {
    std::filesystem::rename(temporary, path, error);
    if (!error) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(RENAME_RETRY_MS));
  }
  return false;
}

record_files take_record(const library& l) {
  return {record_text(l), latest_receiver(l).record().image};
}

bool write_record_files(const std::string& path, const record_files& files) {
  const std::string image(files.image.begin(), files.image.end());
  const bool image_written = write_text_file(path + ".image", image);
  return write_text_file(path, files.text) && image_written;
}

void write_record_if_verdict_changed(library& l, std::unique_lock<std::mutex>& held) {
  bool changed = false;
  for (auto& runtime : l.world.runtime) {
    const std::string& verdict = runtime.receiver.record().verdict;
    if (verdict == runtime.verdict_written) continue;
    runtime.verdict_written = verdict;
    changed = true;
  }
  if (l.record_path.empty() || !changed) {
    held.unlock();
    return;
  }
  std::string path = l.record_path;
  record_files files = take_record(l);
  held.unlock();
  write_record_files(path, files);
}

}  // namespace sim
