#include "cli/device_session.h"

#include <cstdlib>
#include <functional>

#include "cli/interruption.h"
#include "cli/mac_address.h"
#include "device/device_list.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/scan.h"
#include "platform/clock.h"

namespace {

// The connection sequence reports this step once the link is up and the
// service check passed; the rest of it subscribes the channels and reads
// the Device Information.
constexpr uint32_t CONNECT_STEP_SERVICE_FOUND = 400;

double seconds_since(uint32_t start_ms) {
  return static_cast<uint32_t>(tick_count_ms() - start_ms) / 1000.0;
}

// The list keeps RSSI as the text the window shows ("-67 dBm").
int rssi_of(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// Brings `seen` in line with the device list, as a window brings its rows.
void catch_up(std::vector<seen_device>& seen) {
  for (;;) {
    const device_list_changes changes =
        device_list_take_changes(static_cast<int>(seen.size()), DEVICE_LIST_MAX_ROWS);
    for (const device_list_row& row : changes.rows) {
      seen_device device{row.mac, row.name, rssi_of(row.rssi)};
      if (static_cast<size_t>(row.index) < seen.size()) {
        seen[static_cast<size_t>(row.index)] = std::move(device);
      } else {
        seen.push_back(std::move(device));
      }
    }
    if (!changes.more) return;
  }
}

// Scans until `enough` holds for what was seen, an interruption, or
// `seconds` pass. The interruption is looked at here too: one that came
// before this scan was counted would not abort it.
std::vector<seen_device> search(const std::function<bool(const std::vector<seen_device>&)>& enough,
                                uint32_t seconds) {
  std::vector<seen_device> seen;
  device_list_init();
  scan_until(
      [&] {
        catch_up(seen);
        return interrupted() || (enough && enough(seen));
      },
      seconds);
  catch_up(seen);
  device_list_close();
  return seen;
}

const seen_device* with_mac(const std::vector<seen_device>& seen, const std::string& mac) {
  for (const seen_device& device : seen) {
    if (same_mac(device.mac, mac)) return &device;
  }
  return nullptr;
}

}  // namespace

std::vector<seen_device> scan_devices(uint32_t seconds) {
  return search(nullptr, seconds);
}

std::optional<seen_device> find_device(const std::string& mac, uint32_t seconds) {
  const std::vector<seen_device> seen = search(
      [&](const std::vector<seen_device>& so_far) { return with_mac(so_far, mac) != nullptr; },
      seconds);
  const seen_device* device = with_mac(seen, mac);
  if (!device || interrupted()) return std::nullopt;
  return *device;
}

const char* device_result_name(device_result result) {
  switch (result) {
    case device_result::ok:
      return "ok";
    case device_result::failed:
      return "failed";
    case device_result::skipped:
      return "skipped";
    case device_result::not_found:
      return "not_found";
    default:
      return "interrupted";
  }
}

bool device_result_named(const std::string& name, device_result& result) {
  for (device_result each : {device_result::ok, device_result::failed, device_result::skipped,
                             device_result::not_found, device_result::interrupted}) {
    if (name == device_result_name(each)) {
      result = each;
      return true;
    }
  }
  return false;
}

device_connection::~device_connection() {
  release();
}

connect_result device_connection::open(const std::string& mac) {
  if (set_device_address(mac.c_str()) != 0) return connect_result::object_not_created;
  return connect_device();
}

void device_connection::release() {
  if (gatt.load()) close_device();
}

namespace {

// One connection of a job: opened, split into its phases, and judged.
connect_result connect_timed(device_connection& link, const std::string& mac,
                             console_display& display, phase_times& times) {
  display.forget_connect_steps();
  const uint32_t start = tick_count_ms();
  const connect_result result = link.open(mac);
  const uint32_t end = tick_count_ms();
  uint32_t checked = end;
  if (!display.connect_step_time(CONNECT_STEP_SERVICE_FOUND, checked)) checked = end;
  times.connect += static_cast<uint32_t>(checked - start) / 1000.0;
  times.read += static_cast<uint32_t>(end - checked) / 1000.0;
  return result;
}

void release_timed(device_connection& link, phase_times& times) {
  const uint32_t start = tick_count_ms();
  link.release();
  times.release += seconds_since(start);
}

void mark_interrupted(device_run& run) {
  run.row.result = device_result::interrupted;
  run.row.error = UPD_STEP_INTERRUPTED;
  run.stage = failure_stage::none;
}

}  // namespace

device_run run_device_job(const device_job& job, console_display& display) {
  device_run run;
  run.row.mac = mac_key(job.mac);
  display.set_subject(run.row.mac);
  display.message(run.row.mac + ": searching (up to " + std::to_string(job.seconds) + " s)");

  const uint32_t search_start = tick_count_ms();
  const std::optional<seen_device> found = find_device(job.mac, job.seconds);
  run.times.find = seconds_since(search_start);
  if (interrupted()) {
    mark_interrupted(run);
    return run;
  }
  if (!found) {
    run.row.result = device_result::not_found;
    run.row.error = "Not seen within " + std::to_string(job.seconds) + " s";
    run.stage = failure_stage::search;
    return run;
  }
  run.row.mac = found->mac;
  run.row.name = found->name;
  display.set_subject(found->mac);

  const int attempts_allowed = 1 + (job.retries > 0 ? job.retries : 0);
  for (int attempt = 1; attempt <= attempts_allowed; ++attempt) {
    device_connection link;
    display.message(found->mac + (attempt == 1
                                      ? ": connecting"
                                      : ": connecting afresh (attempt " + std::to_string(attempt) +
                                            " of " + std::to_string(attempts_allowed) + ")"));
    const connect_result connected = connect_timed(link, found->mac, display, run.times);
    if (connected != connect_result::ready) {
      run.row.result = device_result::failed;
      run.row.error = connect_failure_text(connected);
      run.stage = failure_stage::connection;
      release_timed(link, run.times);
      if (interrupted()) {
        mark_interrupted(run);
        return run;
      }
      // A device that cannot be connected in the first place is not tried
      // again; a fresh connection that fails uses up its attempt.
      if (attempt == 1) return run;
      continue;
    }
    if (interrupted()) {
      release_timed(link, run.times);
      mark_interrupted(run);
      return run;
    }
    run.row.attempts = attempt;
    if (attempt == 1) {
      run.row.revision_before = last_device_information().firmware_revision;
      display.message(found->mac + ": Firmware Revision " + run.row.revision_before);
      if (job.skip_if_revision && run.row.revision_before == *job.skip_if_revision) {
        release_timed(link, run.times);
        run.row.result = device_result::skipped;
        run.stage = failure_stage::none;
        return run;
      }
    }

    display.message(found->mac + ": sending " + job.image);
    display.begin_transfer();
    const uint32_t update_start = tick_count_ms();
    const update_outcome outcome = update_image(job.image);
    run.times.update += seconds_since(update_start);
    release_timed(link, run.times);

    run.row.bytes = outcome.image_bytes;
    run.row.seconds = outcome.seconds;
    run.row.bytes_per_second = outcome.result == update_result::accepted && outcome.seconds > 0
                                   ? outcome.image_bytes / outcome.seconds
                                   : display.last_pace();
    switch (outcome.result) {
      case update_result::accepted:
        run.row.result = device_result::ok;
        run.row.error.clear();
        run.stage = failure_stage::none;
        return run;
      case update_result::interrupted:
        mark_interrupted(run);
        return run;
      case update_result::transfer_failed:
        run.row.result = device_result::failed;
        run.row.error = outcome.failed_step;
        run.stage = failure_stage::transfer;
        if (interrupted()) {
          mark_interrupted(run);
          return run;
        }
        if (attempt < attempts_allowed)
          display.message(found->mac + ": the transfer failed at \"" + outcome.failed_step + "\"");
        break;
      default:
        // The image itself cannot be sent: another attempt would not help.
        run.row.result = device_result::failed;
        run.row.error = update_result_text(outcome.result);
        run.stage = failure_stage::image;
        return run;
    }
  }
  return run;
}
