#include "fleet/batch.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "device/firmware_update.h"
#include "fleet/claiming.h"
#include "fleet/input_file.h"
#include "fleet/mac_address.h"
#include "fleet/printable.h"
#include "fleet/stop.h"

namespace {

namespace fs = std::filesystem;

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

// Two spellings of one path, for files that may not exist yet.
bool same_path(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code failed;
  const fs::path first = fs::weakly_canonical(utf8_path(a), failed);
  if (failed) return false;
  const fs::path second = fs::weakly_canonical(utf8_path(b), failed);
  return !failed && first == second;
}

}  // namespace

command_failure failure_of(const char* code, const std::string& message, exit_status status) {
  return command_failure{code, message, status};
}

namespace {

// A device the batch did not get to, and why.
device_row not_reached(const std::string& mac, const std::string& why) {
  device_row row;
  row.mac = mac_key(mac);
  row.result = device_result::interrupted;
  row.error = UPD_STEP_INTERRUPTED;
  row.error_code = "interrupted";
  row.detail = why;
  return row;
}

std::string image_words(const report_image& image) {
  return (image.name.empty() ? std::string("an image") : image.name) + ", " +
         std::to_string(image.bytes) + " bytes, CRC-32 " + crc32_text(image.crc32);
}

// One line at the end of a batch: how it went for the devices, in numbers.
std::string summary_line(const batch_report& report) {
  int counts[5] = {};
  for (const device_row& row : report.rows) ++counts[static_cast<int>(row.result)];
  return "Batch: " + std::to_string(counts[static_cast<int>(device_result::ok)]) + " ok, " +
         std::to_string(counts[static_cast<int>(device_result::failed)]) + " failed, " +
         std::to_string(counts[static_cast<int>(device_result::skipped)]) + " skipped, " +
         std::to_string(counts[static_cast<int>(device_result::not_found)]) + " not found, " +
         std::to_string(counts[static_cast<int>(device_result::interrupted)]) + " interrupted (" +
         std::to_string(report.rows.size()) + " devices)";
}

nlohmann::ordered_json summary_event(const batch_report& report) {
  nlohmann::ordered_json event;
  event["event"] = "summary";
  event["mac"] = nullptr;
  for (device_result result : {device_result::ok, device_result::failed, device_result::skipped,
                               device_result::not_found, device_result::interrupted}) {
    int count = 0;
    for (const device_row& row : report.rows) count += row.result == result;
    event[device_result_name(result)] = count;
  }
  event["devices"] = report.rows.size();
  event["finished"] = report.finished;
  return event;
}

}  // namespace

// What a person is told of a device that was not updated and did not fail.
void say_passed_over(const device_row& row, session_view& display) {
  if (row.result == device_result::not_found) {
    display.message(row.mac + ": not found (" + row.error + ")");
  } else if (row.result == device_result::skipped && !row.detail.empty()) {
    display.message(row.mac + ": skipped, " + printable(row.detail));
  } else if (row.result == device_result::skipped) {
    display.message(row.mac + ": skipped, Firmware Revision " + printable(row.revision_before));
  }
}

bool parse_device_list(const std::string& path, const std::string& text,
                       std::vector<std::string>& macs, std::string& reason) {
  std::set<std::string> listed;
  size_t start = 0;
  for (int number = 1; start <= text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::string mac = trimmed(line.substr(0, line.find('#')));
    if (!mac.empty()) {
      if (!is_mac_address(mac)) {
        reason = path + " line " + std::to_string(number) + ": \"" + printable(mac) +
                 "\" is not a MAC address";
        return false;
      }
      if (listed.insert(mac_key(mac)).second) macs.push_back(mac);
    }
    if (end == text.size()) break;
  }
  return true;
}

bool batch_run::read_earlier_report(command_failure& failure) {
  const std::string& path = options_.resume_path;
  std::string text, reason;
  const input_read read = read_input_file(path, text, reason);
  // `--resume r.json --report r.json` on a first run: nothing to resume.
  if (read == input_read::missing && !options_.report_path.empty() &&
      same_path(path, options_.report_path))
    return true;
  if (read != input_read::read) {
    failure =
        failure_of("report_unreadable", "cannot read the earlier report " + path + ": " + reason);
    return false;
  }
  batch_report earlier;
  if (!parse_report(path, text, earlier, reason)) {
    failure = failure_of("not_a_report", path + " is not a report of this program: " + reason);
    return false;
  }
  if (earlier.rows.empty()) return true;
  const std::string again = "; leave out --resume to update every device again";
  if (!earlier.image.known) {
    failure = failure_of("report_without_image", path +
                                                     " does not say which image it was made for "
                                                     "(a report of an older version)" +
                                                     again);
    return false;
  }
  if (earlier.image.bytes != image_.bytes || earlier.image.crc32 != image_.crc32) {
    failure = failure_of("report_other_image",
                         path + " is a report for another image (" + image_words(earlier.image) +
                             "), not for " + options_.image + " (" + std::to_string(image_.bytes) +
                             " bytes, CRC-32 " + crc32_text(image_.crc32) + ")" + again);
    return false;
  }
  for (device_row& row : earlier.rows) {
    if (row.result != device_result::ok) continue;
    if (carried_at_.emplace(mac_key(row.mac), carried_.size()).second)
      carried_.push_back(std::move(row));
  }
  return true;
}

bool batch_run::prepare(command_failure& failure) {
  std::string code, reason;
  if (!inspect_image(options_.image, image_, code, reason)) {
    failure = failure_of(code.c_str(), options_.image + ": " + reason);
    return false;
  }
  if (!options_.devices_file.empty()) {
    std::string text;
    if (read_input_file(options_.devices_file, text, reason) != input_read::read) {
      failure = failure_of("device_list_unreadable",
                           "cannot read the device list " + options_.devices_file + ": " + reason);
      return false;
    }
    if (!parse_device_list(options_.devices_file, text, listed_, reason)) {
      failure = failure_of("device_list_invalid", reason);
      return false;
    }
    if (listed_.empty()) {
      failure = failure_of("device_list_invalid", options_.devices_file + " names no device");
      return false;
    }
  }
  if (!options_.report_path.empty()) {
    const std::vector<std::string> inputs = {options_.image, options_.devices_file};
    if (!report_file::usable(options_.report_path, inputs, options_.resume_path, reason)) {
      failure = failure_of("report_path_unusable", reason);
      return false;
    }
    const fs::path folder = utf8_path(options_.report_path).parent_path();
    std::error_code unknown;
    if (!folder.empty() && !fs::is_directory(folder, unknown)) {
      failure = failure_of("report_path_unusable",
                           "the folder of the report " + options_.report_path + " does not exist");
      return false;
    }
  }
  return options_.resume_path.empty() || read_earlier_report(failure);
}

bool batch_run::open_report(command_failure& failure) {
  started_ = report_time_now();
  if (options_.report_path.empty()) return true;
  std::string reason;
  switch (report_.take(options_.report_path, reason)) {
    case report_file::taken::in_use:
      failure = failure_of("report_in_use", reason);
      return false;
    case report_file::taken::unusable:
      failure = failure_of("report_path_unusable", reason);
      return false;
    default:
      break;
  }
  // Written at once: a report that cannot be written is found out before
  // the first device is touched, and the carried rows are on record.
  if (!write(report_of({}, {}), reason)) {
    failure = failure_of("report_write_failed", reason, exit_status::report_unwritable);
    return false;
  }
  return true;
}

bool batch_run::claim_in(record_store& store, const std::string& station,
                         command_failure& failure) {
  campaign c;
  c.image_name = file_name_of(options_.image);
  c.image_bytes = image_.bytes;
  c.image_crc32 = image_.crc32;
  c.expected_revision = options_.expect_revision.value_or("");
  std::string error;
  const store_status opened = store.open_campaign(c, true, error);
  if (opened != store_status::ok) {
    failure = failure_of("record_unusable",
                         "cannot open the campaign in the record " + store.where() + ": " + error,
                         opened == store_status::unavailable ? exit_status::report_unwritable
                                                             : exit_status::bad_input);
    return false;
  }
  options_.record = &store;
  options_.station = station;
  return true;
}

std::vector<std::string> batch_run::targets(session_view& display) {
  if (!options_.name_prefix) return listed_;
  const std::string& prefix = *options_.name_prefix;
  display.message("Looking for devices named \"" + printable(prefix) + "...\" for " +
                  std::to_string(options_.seconds) + " s");
  display.event({{"event", "scanning"},
                 {"mac", nullptr},
                 {"seconds", options_.seconds},
                 {"name_prefix", prefix}});
  std::vector<std::string> named;
  for (const seen_device& device : scan_devices(options_.seconds)) {
    if (!starts_with(device.name, prefix)) continue;
    named.push_back(device.mac);
    seen_[mac_key(device.mac)] = device;
  }
  return named;
}

batch_report batch_run::report_of(const std::vector<std::string>& macs,
                                  const std::map<std::string, device_row>& done) const {
  batch_report report;
  report.image =
      report_image{options_.image, file_name_of(options_.image), image_.bytes, image_.crc32, true};
  report.program_version = TAVREN_UPDATE_VERSION;
  report.started = started_;
  std::vector<bool> carried_shown(carried_.size(), false);
  std::set<std::string> shown;
  // Each device once, in the batch's order: what this batch found out of
  // it, or what the earlier report had; then the earlier report's devices
  // this batch does not name.
  for (const std::string& mac : macs) {
    const std::string key = mac_key(mac);
    if (!shown.insert(key).second) continue;
    const auto row = done.find(key);
    const auto earlier = carried_at_.find(key);
    if (earlier != carried_at_.end()) carried_shown[earlier->second] = true;
    if (row != done.end()) {
      report.rows.push_back(row->second);
    } else if (earlier != carried_at_.end()) {
      report.rows.push_back(carried_[earlier->second]);
    }
  }
  for (size_t i = 0; i < carried_.size(); ++i) {
    if (!carried_shown[i]) report.rows.push_back(carried_[i]);
  }
  return report;
}

bool batch_run::write(const batch_report& report, std::string& reason) {
  if (options_.report_path.empty()) return true;
  return report_.write(report_text(options_.report_path, report), reason);
}

device_job batch_run::job_for(const std::string& mac) const {
  device_job job;
  job.mac = mac;
  job.image = options_.image;
  job.expected = image_.expectation();
  job.seconds = options_.seconds;
  job.retries = options_.retries;
  job.skip_if_revision = options_.skip_if_revision;
  job.expect_revision = options_.expect_revision;
  job.verify_seconds = options_.verify_seconds;
  return job;
}

device_run batch_run::serve_claimed(const std::string& mac, const std::string& name,
                                    session_view& display,
                                    const std::function<device_run()>& serve) const {
  record_store* const store = options_.record;
  if (!store) return serve();
  const std::string key = mac_key(mac);
  const claim_outcome claim =
      store->claim(claim_request{key, name, options_.station, options_.max_failed, LINE_LEASE_MS});
  device_run run;
  run.row.mac = key;
  run.row.name = name;
  if (claim.status != store_status::ok) {
    run.row.result = device_result::interrupted;
    run.row.error = UPD_STEP_INTERRUPTED;
    run.row.error_code = "interrupted";
    run.row.detail = "not claimed: the record " + store->where() + " did not answer";
    if (claim.status == store_status::failed)
      run.record_error =
          "cannot claim " + key + " in the record " + store->where() + ": " + claim.error;
    display.event(done_event(run.row));
    return run;
  }
  if (!claim.granted) {
    const passed_over why = why_not(claim, options_.max_failed);
    run.row.result = device_result::skipped;
    run.row.revision_after = claim.revision_after;
    run.row.detail = why.words;
    display.event({{"event", "skipped"},
                   {"mac", key},
                   {"reason", why.reason},
                   {"station", text_or_null(claim.holder)}});
    display.event(done_event(run.row));
    return run;
  }
  display.event({{"event", "claimed"},
                 {"mac", key},
                 {"station", options_.station},
                 {"attempt", claim.attempt}});
  run = serve();
  const finish_outcome written =
      store->finish(result_of(key, claim.attempt, options_.station, run));
  if (written.status == store_status::failed)
    run.record_error = "cannot write the result of " + key + " to the record " + store->where() +
                       ": " + written.error;
  return run;
}

bool batch_run::carried(const std::string& mac) const {
  return carried_at_.count(mac_key(mac)) != 0;
}

void batch_run::pass_carried(const std::string& mac, session_view& display) const {
  display.message(mac_key(mac) + ": updated before (" + options_.resume_path + ")");
  const auto earlier = carried_at_.find(mac_key(mac));
  if (earlier != carried_at_.end()) display.event(done_event(carried_[earlier->second]));
}

void batch_run::record(const std::vector<std::string>& macs, const std::vector<device_run>& devices,
                       session_view& display, batch_progress& progress) {
  if (devices.empty()) return;
  for (const device_run& device : devices) {
    device_row row = device.row;
    // Stopped in flight by the batch's own stop, not by Ctrl+C: said so.
    if (row.result == device_result::interrupted && row.detail.empty() && progress.stopped &&
        !interrupted())
      row.detail = "the batch stopped: " + progress.stopped->message;
    progress.done[mac_key(row.mac)] = row;
    progress.times.push_back(device.times);
    say_passed_over(row, display);
    if (!device.record_error.empty() && !progress.stopped)
      progress.stopped =
          failure_of("record_write_failed", device.record_error, exit_status::report_unwritable);
    if (device.stage == failure_stage::image && !progress.stopped) {
      progress.stopped = failure_of(row.error_code.c_str(), options_.image + ": " + row.detail);
    }
  }
  // A report that failed already is not tried again for every device still
  // in flight; its rows reach standard output at the end.
  if (options_.report_path.empty() ||
      (progress.stopped && progress.stopped->status == exit_status::report_unwritable))
    return;
  std::string reason;
  if (!write(report_of(macs, progress.done), reason))
    progress.stopped = failure_of("report_write_failed", reason, exit_status::report_unwritable);
}

void batch_run::run_in_turn(const std::vector<std::string>& macs, session_view& display,
                            batch_progress& progress) {
  for (size_t i = 0; i < macs.size() && !stop_requested() && !progress.stopped; ++i) {
    if (carried(macs[i])) {
      pass_carried(macs[i], display);
      continue;
    }
    display.message("Device " + std::to_string(i + 1) + " of " + std::to_string(macs.size()));
    const device_job job = job_for(macs[i]);
    record(macs,
           {serve_claimed(macs[i], "", display, [&] { return run_device_job(job, display); })},
           display, progress);
  }
}

batch_outcome batch_run::run(session_view& display, fleet_output& output) {
  const std::vector<std::string> macs = targets(display);
  batch_progress progress;
  if (options_.parallel > 1) {
    run_at_once(macs, display, output, progress);
  } else {
    run_in_turn(macs, display, progress);
  }
  return conclude(macs, display, progress);
}

batch_outcome batch_run::conclude(const std::vector<std::string>& macs, session_view& display,
                                  batch_progress& progress) {
  batch_outcome outcome;
  outcome.times = progress.times;
  std::map<std::string, device_row>& done = progress.done;
  // Devices the batch did not get to, on record as such.
  const std::string why = progress.stopped ? "the batch stopped: " + progress.stopped->message
                                           : std::string("the batch was interrupted");
  for (const std::string& mac : macs) {
    const std::string key = mac_key(mac);
    if (done.count(key) || carried(mac)) continue;
    done[key] = not_reached(mac, why);
    display.event(done_event(done[key]));
  }
  batch_report& report = outcome.report;
  report = report_of(macs, done);
  report.finished = !interrupted() && !progress.stopped;
  report.ended = report_time_now();
  std::string reason;
  const bool report_failed_before =
      progress.stopped && progress.stopped->status == exit_status::report_unwritable;
  if (!report_failed_before && !write(report, reason))
    progress.stopped = failure_of("report_write_failed", reason, exit_status::report_unwritable);
  outcome.stopped = progress.stopped;

  display.message(summary_line(report));
  display.event(summary_event(report));
  if (outcome.stopped) {
    display.error("tavren-update: " + outcome.stopped->message, outcome.stopped->code);
    outcome.status = outcome.stopped->status;
  } else if (interrupted()) {
    outcome.status = exit_status::interrupted;
  } else if (macs.empty() && options_.name_prefix) {
    display.error(
        "tavren-update: no device named \"" + printable(*options_.name_prefix) + "...\" was seen",
        "no_device_named");
    outcome.stopped = failure_of("no_device_named",
                                 "no device named \"" + *options_.name_prefix + "...\" was seen",
                                 exit_status::not_reached);
    outcome.status = exit_status::not_reached;
  } else {
    outcome.status = exit_status::done;
    for (const device_row& row : report.rows) {
      if (row.result != device_result::ok && row.result != device_result::skipped)
        outcome.status = exit_status::batch_incomplete;
    }
  }
  return outcome;
}
