#include "cli/batch.h"

#include <fstream>
#include <set>

#include "cli/image_file.h"
#include "cli/interruption.h"
#include "cli/mac_address.h"
#include "device/firmware_update.h"

namespace {

constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

device_row not_reached(const std::string& mac) {
  device_row row;
  row.mac = mac_key(mac);
  row.result = device_result::interrupted;
  row.error = UPD_STEP_INTERRUPTED;
  return row;
}

}  // namespace

bool read_device_list(const std::string& path, std::vector<std::string>& macs,
                      std::string& reason) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    reason = "cannot read the device list " + path;
    return false;
  }
  std::set<std::string> listed;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    // A list saved by a Windows editor may start with a byte order mark.
    if (number == 1 && line.rfind(UTF8_BOM, 0) == 0) line.erase(0, sizeof UTF8_BOM - 1);
    const std::string mac = trimmed(line.substr(0, line.find('#')));
    if (mac.empty()) continue;
    if (!is_mac_address(mac)) {
      reason = path + " line " + std::to_string(number) + ": \"" + mac + "\" is not a MAC address";
      return false;
    }
    if (listed.insert(mac_key(mac)).second) macs.push_back(mac);
  }
  return true;
}

bool batch_run::prepare(std::string& reason) {
  image_facts facts;
  if (!inspect_image(options_.image, facts, reason)) {
    reason = options_.image + ": " + reason;
    return false;
  }
  if (!options_.devices_file.empty()) {
    if (!read_device_list(options_.devices_file, listed_, reason)) return false;
    if (listed_.empty()) {
      reason = options_.devices_file + " names no device";
      return false;
    }
  }
  if (!options_.resume_path.empty()) {
    batch_report earlier;
    if (!read_report(options_.resume_path, earlier, reason)) return false;
    for (const device_row& row : earlier.rows) {
      if (row.result == device_result::ok) done_before_.emplace(mac_key(row.mac), row);
    }
  }
  if (!options_.report_path.empty()) {
    // Written once before anything else: a report that cannot be written is
    // found out before the first device is touched.
    batch_report first;
    first.image = options_.image;
    for (const auto& [mac, row] : done_before_) first.rows.push_back(row);
    if (!write_report(options_.report_path, first, reason)) return false;
  }
  return true;
}

std::vector<std::string> batch_run::targets(console_display& display) {
  if (options_.devices_file.empty()) {
    display.message("Looking for devices named \"" + options_.name_prefix + "...\" for " +
                    std::to_string(options_.seconds) + " s");
    std::vector<std::string> named;
    for (const seen_device& device : scan_devices(options_.seconds)) {
      if (starts_with(device.name, options_.name_prefix)) named.push_back(device.mac);
    }
    return named;
  }
  return listed_;
}

void batch_run::write(const batch_report& report, console_display& display) {
  if (options_.report_path.empty()) return;
  std::string reason;
  if (!write_report(options_.report_path, report, reason))
    display.error("tavren-update: " + reason);
}

batch_outcome batch_run::run(console_display& display) {
  batch_outcome outcome;
  batch_report& report = outcome.report;
  report.image = options_.image;
  const std::vector<std::string> macs = targets(display);
  std::set<std::string> carried;

  for (size_t i = 0; i < macs.size(); ++i) {
    const std::string& mac = macs[i];
    if (interrupted()) {
      report.rows.push_back(not_reached(mac));
      continue;
    }
    const auto earlier = done_before_.find(mac_key(mac));
    if (earlier != done_before_.end()) {
      display.message(mac_key(mac) + ": updated before (" + options_.resume_path + ")");
      report.rows.push_back(earlier->second);
      carried.insert(earlier->first);
      continue;
    }
    display.message("Device " + std::to_string(i + 1) + " of " + std::to_string(macs.size()));
    device_job job;
    job.mac = mac;
    job.image = options_.image;
    job.seconds = options_.seconds;
    job.retries = options_.retries;
    job.skip_if_revision = options_.skip_if_revision;
    const device_run device = run_device_job(job, display);
    report.rows.push_back(device.row);
    outcome.times.push_back(device.times);
    write(report, display);
  }
  // Devices done before that this batch did not meet again stay on record.
  for (const auto& [mac, row] : done_before_) {
    if (!carried.count(mac)) report.rows.push_back(row);
  }
  report.finished = !interrupted();
  write(report, display);

  if (interrupted()) {
    outcome.status = exit_status::interrupted;
  } else if (report.rows.empty()) {
    display.error("tavren-update: no device named \"" + options_.name_prefix + "...\" was seen");
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
