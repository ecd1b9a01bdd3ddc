#include "fleet/device_session.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>

#include "device/device_list.h"
#include "device/device_state.h"
#include "device/scan.h"
#include "fleet/json_text.h"
#include "fleet/mac_address.h"
#include "fleet/printable.h"
#include "fleet/stop.h"
#include "platform/clock.h"

namespace {

using json = nlohmann::ordered_json;

// The connection sequence reports this step once the link is up and the
// service check passed; the rest of it subscribes the channels and reads
// the Device Information.
constexpr uint32_t CONNECT_STEP_SERVICE_FOUND = 400;

// A device that could not be connected, and is not looked for again, is
// connected again after this pause (the device may have been busy with
// another central, or the system not know it yet).
constexpr uint32_t CONNECT_AGAIN_MS = 1000;

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
        return stop_requested() || (enough && enough(seen));
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

void scan_watching(const std::function<void(const seen_device&)>& each_new,
                   const std::function<bool()>& enough, uint32_t seconds) {
  size_t handed = 0;
  const std::vector<seen_device> seen = search(
      [&](const std::vector<seen_device>& so_far) {
        for (; handed < so_far.size(); ++handed) each_new(so_far[handed]);
        return enough && enough();
      },
      seconds);
  for (; handed < seen.size(); ++handed) each_new(seen[handed]);
}

// Each poll looks only at the devices seen since the last one, by key: a
// list of thousands costs no more per poll than a list of one.
std::map<std::string, seen_device> find_devices(const std::vector<std::string>& macs,
                                                uint32_t seconds) {
  std::set<std::string> wanted;
  for (const std::string& mac : macs) wanted.insert(mac_key(mac));
  std::set<std::string> seen_wanted;
  size_t looked_at = 0;
  const auto all_seen = [&](const std::vector<seen_device>& so_far) {
    for (; looked_at < so_far.size(); ++looked_at) {
      const std::string key = mac_key(so_far[looked_at].mac);
      if (wanted.count(key)) seen_wanted.insert(key);
    }
    return seen_wanted.size() == wanted.size();
  };
  std::map<std::string, seen_device> found;
  for (const seen_device& device : search(all_seen, seconds)) {
    const std::string key = mac_key(device.mac);
    if (wanted.count(key)) found.emplace(key, device);
  }
  return found;
}

std::optional<seen_device> find_device(const std::string& mac, uint32_t seconds) {
  const std::vector<seen_device> seen = search(
      [&](const std::vector<seen_device>& so_far) { return with_mac(so_far, mac) != nullptr; },
      seconds);
  const seen_device* device = with_mac(seen, mac);
  if (!device || stop_requested()) return std::nullopt;
  return *device;
}

const char* connect_failure_code(connect_result result) {
  switch (result) {
    case connect_result::object_not_created:
      return "gatt_error";
    case connect_result::cannot_connect:
      return "cannot_connect";
    default:
      return "service_not_found";
  }
}

device_connection::~device_connection() {
  release();
}

connect_result device_connection::open(const std::string& mac) {
  if (set_device_address(record_, mac.c_str()) != 0) return connect_result::object_not_created;
  return connect_device(record_);
}

void device_connection::release() {
  if (slot_of(record_).gatt.load()) close_device(record_);
}

namespace {

// One connection of a job: opened, split into its phases, and judged.
connect_result connect_timed(device_connection& link, const std::string& mac, session_view& display,
                             phase_times& times) {
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

void fail(device_run& run, failure_stage stage, const std::string& error, const char* code,
          const std::string& detail = "") {
  run.row.result = device_result::failed;
  run.row.error = error;
  run.row.error_code = code;
  run.row.detail = detail;
  run.stage = stage;
}

void mark_interrupted(device_run& run) {
  run.row.result = device_result::interrupted;
  run.row.error = UPD_STEP_INTERRUPTED;
  run.row.error_code = "interrupted";
  run.row.detail.clear();
  run.stage = failure_stage::none;
}

std::string frame_of(const update_outcome& outcome) {
  return "frame " + std::to_string(outcome.failed_frame) + " of " +
         std::to_string(outcome.frames_in_image);
}

// A failed transfer, told apart by what became of its frame.
void describe_transfer_failure(const update_outcome& outcome, device_run& run) {
  const char* code = "transfer_failed";
  std::string detail;
  switch (outcome.failure) {
    case frame_failure::refused:
      code = "refused";
      detail = "the device refused " + frame_of(outcome) + " (status " +
               std::to_string(outcome.failed_status) + ")";
      break;
    case frame_failure::empty_reply:
      code = "empty_reply";
      detail = "the device answered " + frame_of(outcome) + " with an empty status";
      break;
    case frame_failure::no_reply:
      code = "no_reply";
      detail = "no reply to " + frame_of(outcome) + " within " +
               std::to_string(UPD_REPLY_TIMEOUT_MS / 1000) + " s";
      break;
    case frame_failure::link_lost:
      code = "link_lost";
      detail = "the link was lost at " + frame_of(outcome);
      break;
    case frame_failure::not_written:
      code = "write_failed";
      detail = "the BLE library did not take " + frame_of(outcome);
      break;
    case frame_failure::not_listening:
      code = "not_listening";
      detail = "the device's status cannot be followed: " + frame_of(outcome) + " went unanswered";
      break;
    case frame_failure::unanswered:
      code = "unanswered_frames";
      detail = "fewer statuses than frames: the finish handshake's acceptance cannot be trusted";
      break;
    case frame_failure::none:
      if (outcome.failed_step == UPD_STEP_NOT_IDLE) {
        code = "device_busy";
        detail = "the device stayed busy for 10 s";
      } else if (outcome.failed_step == UPD_STEP_SHORT_READ) {
        code = "image_read_error";
        detail = "the image file could not be read to its end";
      }
      break;
  }
  fail(run, failure_stage::transfer, outcome.failed_step, code, detail);
}

const char* image_failure_code(update_result result) {
  switch (result) {
    case update_result::path_too_long:
      return "image_path_too_long";
    case update_result::file_not_found:
      return "image_not_found";
    case update_result::not_a_file:
      return "image_not_a_file";
    case update_result::image_too_large:
      return "image_too_large";
    case update_result::image_changed:
      return "image_changed";
    default:
      return "image_length_unknown";
  }
}

// What a transfer's row says of it: its size and time, and its pace: the
// image over the time for one that went through, the bytes the device
// acknowledged over the time for one that did not.
void record_transfer(const update_outcome& outcome, device_row& row) {
  row.bytes = outcome.image_bytes;
  row.seconds = outcome.seconds;
  const double counted =
      outcome.result == update_result::accepted ? outcome.image_bytes : outcome.acknowledged_bytes;
  row.bytes_per_second = outcome.seconds > 0 ? counted / outcome.seconds : 0;
}

// What to do after one try. `room_again`: the adapter had no room, and now
// may have: the same attempt again, since nothing was tried on the device.
enum class next_step { done, connect_again, search_again, room_again };

// Waits out a pause, counted from `start`, unless the bound (also from
// `start`) or an interruption comes first.
void pause_within(uint32_t pause_ms, uint32_t start, uint32_t bound_ms) {
  const uint32_t until = std::min<uint32_t>(tick_count_ms() - start + pause_ms, bound_ms);
  while (static_cast<uint32_t>(tick_count_ms() - start) < until && !stop_requested())
    sleep_ms(std::min<uint32_t>(100, until - (tick_count_ms() - start)));
}

// A pause that an interruption ends early.
void pause_briefly(uint32_t pause_ms) {
  pause_within(pause_ms, tick_count_ms(), pause_ms);
}

// Takes the device the search found for this run.
void take_found(const seen_device& found, session_view& display, device_run& run) {
  run.row.mac = found.mac;
  run.row.name = found.name;
  display.set_subject(found.mac);
}

// Searches for the device; false (the run says why) when it is not there.
bool look_for(const device_job& job, const device_worker& worker, device_run& run, bool again) {
  session_view& display = worker.display;
  if (!worker.searches) {
    // The device was found before; it is connected again after a moment.
    pause_briefly(CONNECT_AGAIN_MS);
    if (stop_requested()) mark_interrupted(run);
    return !stop_requested();
  }
  display.message(run.row.mac + (again ? ": looking for it again" : ": searching") + " (up to " +
                  std::to_string(job.seconds) + " s)");
  display.event({{"event", "scanning"}, {"mac", run.row.mac}, {"seconds", job.seconds}});
  const uint32_t search_start = tick_count_ms();
  const std::optional<seen_device> found = find_device(job.mac, job.seconds);
  run.times.find += seconds_since(search_start);
  if (stop_requested()) {
    mark_interrupted(run);
    return false;
  }
  if (!found) {
    const std::string error = "Not seen within " + std::to_string(job.seconds) + " s";
    if (!again) {
      run.row.result = device_result::not_found;
      run.row.error = error;
      run.row.error_code = "not_found";
      run.stage = failure_stage::search;
    } else {
      // Seen before, it keeps the failure that made us look again.
      run.row.detail += (run.row.detail.empty() ? "" : "; ") +
                        std::string("then not seen again within ") + std::to_string(job.seconds) +
                        " s";
    }
    return false;
  }
  take_found(*found, display, run);
  display.event({{"event", "found"},
                 {"mac", found->mac},
                 {"name", text_or_null(found->name)},
                 {"rssi", found->rssi}});
  return true;
}

// The Device Information a connection read, for the progress stream.
void say_connected(const device_worker& worker, const std::string& mac) {
  session_view& display = worker.display;
  const device_information information = last_device_information(worker.record);
  display.event({{"event", "connected"},
                 {"mac", mac},
                 {"firmware_revision", text_or_null(information.firmware_revision)},
                 {"manufacturer", text_or_null(information.manufacturer)},
                 {"model_number", text_or_null(information.model_number)},
                 {"serial_number", text_or_null(information.serial_number)}});
}

// After the device accepted the image it restarts to install it: it drops
// the link, is gone for a while, and comes back on its new firmware; while
// it installs, it may still read its old revision. So it is looked for,
// connected and read again until it reads the expected revision or the
// bound runs out.
void verify_revision(const device_job& job, const device_worker& worker, device_run& run) {
  session_view& display = worker.display;
  const std::string& mac = run.row.mac;
  const std::string& expected = *job.expect_revision;
  const uint32_t bound_ms = job.verify_seconds * 1000;
  const uint32_t start = tick_count_ms();
  display.message(mac + ": waiting for it to come back on revision " + printable(expected) +
                  " (up to " + std::to_string(job.verify_seconds) + " s)");
  display.event({{"event", "verify"}, {"mac", mac}, {"state", "waiting"}, {"expected", expected}});
  std::optional<std::string> last_read;
  bool seen = false;
  for (;;) {
    const uint32_t elapsed = tick_count_ms() - start;
    if (elapsed >= bound_ms || stop_requested()) break;
    // A worker that may not scan takes a connection for the device's sign
    // of life: it connects only while the device is there.
    if (worker.searches) {
      const std::optional<seen_device> found = find_device(mac, (bound_ms - elapsed + 999) / 1000);
      if (!found) break;
      seen = true;
    }
    device_connection link(worker.record);
    if (link.open(mac) == connect_result::ready) {
      seen = true;
      last_read = last_device_information(worker.record).firmware_revision;
      link.release();
      display.event({{"event", "verify"},
                     {"mac", mac},
                     {"state", "read"},
                     {"expected", expected},
                     {"revision", *last_read}});
      if (*last_read == expected) {
        run.row.revision_after = *last_read;
        display.message(mac + ": back on revision " + printable(*last_read));
        return;
      }
      display.message(mac + ": reads revision " + printable(*last_read) + ", expected " +
                      printable(expected) + "; looking again");
    }
    pause_within(VERIFY_AGAIN_MS, start, bound_ms);
  }
  const std::string bound = std::to_string(job.verify_seconds) + " s";
  if (stop_requested()) {
    mark_interrupted(run);
    run.row.detail = "the device accepted the image; its revision was not verified";
  } else if (last_read) {
    run.row.revision_after = *last_read;
    fail(run, failure_stage::verify,
         "came back on revision " + *last_read + ", expected " + expected, "wrong_revision",
         "still on revision " + *last_read + " after " + bound);
  } else {
    fail(run, failure_stage::verify,
         seen ? "Not verified: not connected again within " + bound
              : "Not verified: not seen again within " + bound,
         "not_verified");
  }
}

// The adapter refused the connection for having as many links as it holds.
// While another link of ours is up (or ended since the attempt began), that
// is no fault of the device's: it waits for one of them to end and is tried
// again, and the worker is told how many links the adapter really held. Only
// an adapter that is full with none of ours is the device's failure.
next_step wait_for_room(const link_census& before, int attempt, const device_worker& worker,
                        device_run& run) {
  const link_census now = connection_link_census();
  if (now.up == 0 && now.ended == before.ended) {
    fail(run, failure_stage::connection, connect_failure_text(connect_result::cannot_connect),
         "adapter_full", "the adapter holds as many connections as it can, none of them ours");
    return next_step::done;
  }
  run.row.attempts = attempt - 1;
  // Links that ended since the attempt began may have been up when it was
  // refused: counted, so that the limit is never lower than the room was.
  const uint32_t ended_since = now.ended - before.ended;
  if (worker.adapter_full) worker.adapter_full(now.up + static_cast<int>(ended_since));
  if (ended_since > 0) return next_step::room_again;
  worker.display.message(run.row.mac + ": the adapter has no room for another connection; " +
                         "waiting for one of " + std::to_string(now.up) + " to end");
  if (!wait_for_link_end(now, stop_requested)) {
    mark_interrupted(run);
    return next_step::done;
  }
  return next_step::room_again;
}

// One try: connect, check, maybe skip, send. Tells what to do next.
next_step try_once(const device_job& job, int attempt, int attempts_allowed,
                   const device_worker& worker, device_run& run) {
  session_view& display = worker.display;
  const std::string& mac = run.row.mac;
  device_connection link(worker.record);
  display.message(mac + (attempt == 1 ? ": connecting"
                                      : ": connecting afresh (attempt " + std::to_string(attempt) +
                                            " of " + std::to_string(attempts_allowed) + ")"));
  run.row.attempts = attempt;
  display.event({{"event", "connecting"}, {"mac", mac}, {"attempt", attempt}});
  const link_census before = connection_link_census();
  const connect_result connected = connect_timed(link, mac, display, run.times);
  if (connected == connect_result::called_off) {
    // Stopped before it began: nothing was tried on the device.
    run.row.attempts = attempt - 1;
    mark_interrupted(run);
    return next_step::done;
  }
  if (connected == connect_result::cannot_connect &&
      gatt_connect_error(slot_of(worker.record)) == ADAPTER_FULL_ERROR) {
    release_timed(link, run.times);
    return wait_for_room(before, attempt, worker, run);
  }
  if (connected == connect_result::ready && !update_channels_subscribed(worker.record)) {
    release_timed(link, run.times);
    fail(run, failure_stage::connection, connect_failure_text(connect_result::service_not_found),
         "service_not_found", "the device has no firmware update characteristic we can follow");
    return next_step::done;
  }
  if (connected != connect_result::ready) {
    release_timed(link, run.times);
    fail(run, failure_stage::connection, connect_failure_text(connected),
         connect_failure_code(connected));
    if (stop_requested()) {
      mark_interrupted(run);
      return next_step::done;
    }
    // A device just seen may not be reachable yet for a moment (the system
    // does not know it yet): it is looked for and connected again.
    return connected == connect_result::cannot_connect ? next_step::search_again : next_step::done;
  }
  if (stop_requested()) {
    release_timed(link, run.times);
    mark_interrupted(run);
    return next_step::done;
  }
  say_connected(worker, mac);
  if (!run.information_read) {
    run.information_read = true;
    const device_information information = last_device_information(worker.record);
    run.row.revision_before = information.firmware_revision;
    run.serial_number = information.serial_number;
    run.model_number = information.model_number;
    display.message(mac + ": Firmware Revision " + printable(run.row.revision_before));
    const std::string& model = run.model_number;
    if (job.model && model != *job.model) {
      release_timed(link, run.times);
      fail(run, failure_stage::model, "Model Number " + model + ", expected " + *job.model,
           "wrong_model",
           model.empty() ? "its Model Number could not be read: nothing was sent"
                         : "an image for another model: nothing was sent");
      return next_step::done;
    }
    // A revision that could not be read equals nothing: such a device was
    // not seen to be up to date.
    if (job.skip_if_revision && !run.row.revision_before.empty() &&
        run.row.revision_before == *job.skip_if_revision) {
      release_timed(link, run.times);
      // Left alone: no attempt at updating it was made.
      device_row skipped;
      skipped.mac = run.row.mac;
      skipped.name = run.row.name;
      skipped.revision_before = run.row.revision_before;
      skipped.result = device_result::skipped;
      run.row = skipped;
      run.stage = failure_stage::none;
      return next_step::done;
    }
  }

  display.message(mac + ": sending " + printable(job.image));
  display.begin_transfer();
  const uint32_t update_start = tick_count_ms();
  const update_outcome outcome = update_image(worker.record, job.image, &job.expected);
  run.times.update += seconds_since(update_start);
  run.times.transfer_began_ms = update_start;
  run.times.transfer_ended_ms = tick_count_ms();
  if (!display.packet_times(run.times.first_packet_ms, run.times.last_packet_ms))
    run.times.first_packet_ms = run.times.last_packet_ms = 0;
  release_timed(link, run.times);
  record_transfer(outcome, run.row);

  switch (outcome.result) {
    case update_result::accepted: {
      run.row.result = device_result::ok;
      run.row.error.clear();
      run.row.error_code.clear();
      run.row.detail.clear();
      run.stage = failure_stage::none;
      if (!job.expect_revision) return next_step::done;
      const uint32_t verify_start = tick_count_ms();
      verify_revision(job, worker, run);
      run.times.verify += seconds_since(verify_start);
      return next_step::done;
    }
    case update_result::interrupted:
      mark_interrupted(run);
      return next_step::done;
    case update_result::transfer_failed:
      describe_transfer_failure(outcome, run);
      if (stop_requested()) {
        // The frame in flight failed; nothing more is tried.
        return next_step::done;
      }
      return next_step::connect_again;
    case update_result::image_changed:
      fail(run, failure_stage::image, UPD_STEP_IMAGE_CHANGED, "image_changed",
           "the image file no longer holds the bytes this command checked: nothing was "
           "installed");
      return next_step::done;
    default:
      // The image itself cannot be sent: another try would not help.
      fail(run, failure_stage::image, update_result_text(outcome.result),
           image_failure_code(outcome.result));
      return next_step::done;
  }
}

// The tries after the device was found.
void try_found(const device_job& job, const device_worker& worker, device_run& run) {
  const int attempts_allowed = 1 + (job.retries > 0 ? job.retries : 0);
  for (int attempt = 1; attempt <= attempts_allowed; ++attempt) {
    const next_step next = try_once(job, attempt, attempts_allowed, worker, run);
    if (next == next_step::room_again) {
      --attempt;
      continue;
    }
    if (next == next_step::done || attempt == attempts_allowed) break;
    const std::string why = run.row.detail.empty() ? run.row.error : run.row.detail;
    worker.display.message(run.row.mac + ": " + printable(why) + "; trying again");
    if (next == next_step::search_again && !look_for(job, worker, run, true)) break;
  }
}

}  // namespace

device_run run_device_job(const device_job& job, session_view& display) {
  const device_worker worker{window_device_record(), display, true, nullptr};
  device_run run;
  run.row.mac = mac_key(job.mac);
  display.set_subject(run.row.mac);
  if (look_for(job, worker, run, false)) try_found(job, worker, run);
  display.event(done_event(run.row));
  return run;
}

device_run run_found_device_job(const device_job& job, const seen_device& found,
                                const device_worker& worker) {
  device_run run;
  take_found(found, worker.display, run);
  try_found(job, worker, run);
  worker.display.event(done_event(run.row));
  return run;
}
