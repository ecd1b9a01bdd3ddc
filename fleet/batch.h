// Many devices, one after another, with a report that is rewritten after
// every device and can be resumed from.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fleet/command_failure.h"
#include "fleet/device_session.h"
#include "fleet/exit_status.h"
#include "fleet/fleet_view.h"
#include "fleet/image_file.h"
#include "fleet/record_store.h"
#include "fleet/report.h"
#include "fleet/report_file.h"

struct batch_options {
  std::string image;
  std::string devices_file;                // the devices, one MAC a line; or, when empty,
  std::optional<std::string> name_prefix;  // every device seen whose name starts so
  std::string report_path;                 // empty: no report file
  std::string resume_path;                 // empty: no earlier report
  int retries = 1;
  std::optional<std::string> skip_if_revision;
  std::optional<std::string> expect_revision;
  uint32_t verify_seconds = 90;
  uint32_t seconds = 30;
  // Devices served at once (1: one after another).
  int parallel = 1;
  // A shared record each device is claimed in before it is served (null:
  // none), and this station's name in it: stations split a list between
  // them, and a device the record shows done or taken is passed over.
  record_store* record = nullptr;
  std::string station;
  int max_failed = 3;
};

// At most this many devices at once: the adapter's links, and the pool of
// connection records.
constexpr int PARALLEL_MAX = 8;

// What a person is told of a device that was not updated and did not fail.
void say_passed_over(const device_row& row, session_view& display);

// One MAC a line; '#' starts a comment; blank lines and repeats are passed
// over. False with the reason (its line) for anything that is not a MAC.
bool parse_device_list(const std::string& path, const std::string& text,
                       std::vector<std::string>& macs, std::string& reason);

struct batch_outcome {
  batch_report report;
  std::vector<phase_times> times;  // of each device the batch worked on, in order
  exit_status status = exit_status::done;
  std::optional<command_failure> stopped;  // why the batch stopped before its end
};

class batch_run {
 public:
  explicit batch_run(batch_options options) : options_(std::move(options)) {}

  // Everything that can be checked before the library is loaded and before
  // anything is written: the image, the device list, the earlier report,
  // and the report's path. False with the failure (bad input).
  bool prepare(command_failure& failure);

  // Once the library is loaded: takes the report (no other batch may write
  // it meanwhile) and writes it a first time, with every row carried from
  // the earlier report. False with the failure.
  bool open_report(command_failure& failure);

  // `display`: the calling thread's view, for one device at a time;
  // `output`: where workers serving devices at once get theirs.
  // Once the report is open: every device is claimed in `store` for
  // `station` before it is served (the campaign of this image and
  // expected revision, made when it is new). False with the failure.
  bool claim_in(record_store& store, const std::string& station, command_failure& failure);

  batch_outcome run(session_view& display, fleet_output& output);

  // What a worker does with a device it took (batch_parallel.cpp).
  using device_server = std::function<device_run(const seen_device&, const device_worker&)>;

 private:
  // Where a batch stands while it runs: what it found out of each device
  // (by MAC key), the phases' times, and why it stopped early.
  struct batch_progress {
    std::map<std::string, device_row> done;
    std::vector<phase_times> times;
    std::optional<command_failure> stopped;
  };

  std::vector<std::string> targets(session_view& display);
  device_job job_for(const std::string& mac) const;
  // One device, claimed in the record first when there is one, its result
  // written there after: `serve` runs it once claimed.
  device_run serve_claimed(const std::string& mac, const std::string& name, session_view& display,
                           const std::function<device_run()>& serve) const;
  bool carried(const std::string& mac) const;
  void pass_carried(const std::string& mac, session_view& display) const;
  // Devices done with: on record, said, and the report written once for
  // them all.
  void record(const std::vector<std::string>& macs, const std::vector<device_run>& devices,
              session_view& display, batch_progress& progress);
  void run_in_turn(const std::vector<std::string>& macs, session_view& display,
                   batch_progress& progress);
  // batch_parallel.cpp
  void run_at_once(const std::vector<std::string>& macs, session_view& display,
                   fleet_output& output, batch_progress& progress);
  batch_outcome conclude(const std::vector<std::string>& macs, session_view& display,
                         batch_progress& progress);
  batch_report report_of(const std::vector<std::string>& macs,
                         const std::map<std::string, device_row>& done) const;
  bool write(const batch_report& report, std::string& reason);
  bool read_earlier_report(command_failure& failure);

  batch_options options_;
  image_facts image_;
  std::string started_;
  std::vector<std::string> listed_;
  // Rows of the earlier report, for this image, of devices updated then:
  // carried into every write of this one, in the earlier report's order;
  // and where each is by MAC key.
  std::vector<device_row> carried_;
  std::map<std::string, size_t> carried_at_;
  // The devices a search by name found, by MAC key.
  std::map<std::string, seen_device> seen_;
  report_file report_;
};
