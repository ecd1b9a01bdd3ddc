// A production line's station: it keeps looking for devices while it
// updates others, and updates every one that turns up and matches (a name
// prefix, or a list), once for the whole line: each device is claimed in the
// shared record first (fleet/record_store.h), so that stations in range of
// the same devices never update one twice. A device already on the expected
// revision is recorded as such without being sent anything; one of another
// model is left alone; a device that failed is tried again when seen again,
// up to the line's number of attempts over every station.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fleet/command_failure.h"
#include "fleet/fleet_view.h"
#include "fleet/image_file.h"
#include "fleet/record_store.h"

struct line_options {
  std::string image;
  std::string devices_file;                // the devices, one MAC a line; or, when empty,
  std::optional<std::string> name_prefix;  // every device seen whose name starts so
  std::string expect_revision;
  std::optional<std::string> model;  // a device of another Model Number is never sent the image
  int parallel = 1;                  // devices served at once, 1 to 8
  int attempts = 3;                  // failed attempts at a device, every station's together
  std::string station;
  uint32_t until_idle_seconds = 0;  // 0: no such end
  uint32_t count = 0;               // devices dealt with before the line ends; 0: no such end
  uint32_t verify_seconds = 90;
};

// How long one scan runs before the list of devices seen starts afresh: a
// device that failed, or that another station held, is looked at again
// when a later scan sees it.
constexpr uint32_t LINE_SCAN_WINDOW_S = 10;
// After its last device the line waits at most this long for the record
// to take the results it kept while the record was away.
constexpr uint32_t LINE_FLUSH_BOUND_MS = 10000;

// What this station did, by what each device came to.
struct line_totals {
  int ok = 0;
  int failed = 0;
  int already_installed = 0;
  int rejected = 0;
  int in_flight = 0;
  int dealt_with() const { return ok + failed + already_installed + rejected; }
};

struct line_outcome {
  line_totals totals;
  std::vector<record_row> record;  // the campaign's record at the end
  bool record_read = false;
  exit_status status = exit_status::done;
  std::optional<command_failure> stopped;  // why the line ended before it was asked to
};

class line_run {
 public:
  explicit line_run(line_options options) : options_(std::move(options)) {}

  // The image and the device list, before the library and the record.
  bool prepare(command_failure& failure);
  // The campaign of this image, revision and model, made when it is new.
  bool open_campaign(record_store& store, command_failure& failure);

  // Runs until Ctrl+C, --count devices dealt with, or --until-idle: every
  // worker takes the next device seen, claims it and serves it through a
  // view of its own from `output`; `display` says what concerns no one
  // device.
  line_outcome run(record_store& store, session_view& display, fleet_output& output);

  const image_facts& image() const { return image_; }
  const std::string& station() const { return options_.station; }

 private:
  line_options options_;
  image_facts image_;
  std::set<std::string> listed_;  // by MAC key; empty with a name prefix
};
