// Many devices, one after another on the one radio, with a report that is
// rewritten after every device and can be resumed from.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/console_display.h"
#include "cli/device_session.h"
#include "cli/report.h"

struct batch_options {
  std::string image;
  std::string devices_file;  // the devices, one MAC a line; or, when empty,
  std::string name_prefix;   // every device seen whose name starts so
  std::string report_path;   // empty: no report file
  std::string resume_path;   // empty: no earlier report
  int retries = 1;
  std::optional<std::string> skip_if_revision;
  uint32_t seconds = 30;
};

// One MAC a line; '#' starts a comment; blank lines and repeats are passed
// over. False with the reason (its line) for anything that is not a MAC.
bool read_device_list(const std::string& path, std::vector<std::string>& macs, std::string& reason);

struct batch_outcome {
  batch_report report;
  std::vector<phase_times> times;  // of each device the batch worked on, in order
  exit_status status = exit_status::done;
};

class batch_run {
 public:
  explicit batch_run(batch_options options) : options_(std::move(options)) {}

  // Everything that can be checked before the radio is touched: the image,
  // the device list, the earlier report, and that the report can be
  // written. False with the reason: bad input.
  bool prepare(std::string& reason);

  batch_outcome run(console_display& display);

 private:
  std::vector<std::string> targets(console_display& display);
  void write(const batch_report& report, console_display& display);

  batch_options options_;
  std::vector<std::string> listed_;
  std::map<std::string, device_row> done_before_;  // by MAC key: ok in the earlier report
};
