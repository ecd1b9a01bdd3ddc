// The station's threads: one scans in windows and offers each matching
// device it sees; workers (each with a device record and a view of its
// own) claim the next device offered, serve it and write its result; one
// renews the leases of the devices being served; the calling thread
// watches for the line's end.
#include "fleet/line.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "device/connection.h"
#include "device/device_state.h"
#include "fleet/batch.h"
#include "fleet/claiming.h"
#include "fleet/device_session.h"
#include "fleet/input_file.h"
#include "fleet/json_text.h"
#include "fleet/mac_address.h"
#include "fleet/printable.h"
#include "fleet/report.h"
#include "fleet/spooled_store.h"
#include "fleet/stop.h"
#include "platform/clock.h"

namespace {

// How often the line's own threads look at a stop that a signal handler
// set (it cannot wake them).
constexpr uint32_t LINE_LOOK_MS = 100;

// Where a device stands for this station.
enum class standing {
  later,      // to be served when a scan after `window` sees it
  queued,     // offered, waiting for a worker
  in_flight,  // a worker serves it
  settled,    // nothing more to do for it here: done, or left alone
};

struct known_device {
  standing where = standing::later;
  uint64_t window = 0;
  std::string said;  // the reason a person was told it was passed over
};

struct lease {
  std::string mac;
  int64_t attempt = 0;
  device_record* record = nullptr;
};

// What the line's threads share, under `lock`.
struct line_state {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<seen_device> queue;
  std::map<std::string, known_device> devices;
  uint64_t window = 0;  // scan windows begun
  line_totals totals;
  bool over = false;  // no device is taken any more
  std::optional<command_failure> stopped;
  uint32_t active_at_ms = 0;  // program time a device was last taken or done with
  std::vector<lease> leases;
};

uint32_t now_ms() {
  return tick_count_ms();
}

std::string total_line(const line_totals& totals, uint32_t elapsed_ms) {
  const double hours = elapsed_ms / 3600000.0;
  const int per_hour = hours > 0 ? static_cast<int>(totals.dealt_with() / hours + 0.5) : 0;
  return "Line: " + std::to_string(totals.ok) + " ok, " + std::to_string(totals.failed) +
         " failed, " + std::to_string(totals.already_installed) + " already installed, " +
         std::to_string(totals.rejected) + " rejected, " + std::to_string(totals.in_flight) +
         " in flight, " + std::to_string(per_hour) + " devices/h";
}

void count(line_totals& totals, record_state state) {
  switch (state) {
    case record_state::ok:
      ++totals.ok;
      break;
    case record_state::already_installed:
      ++totals.already_installed;
      break;
    case record_state::rejected:
      ++totals.rejected;
      break;
    case record_state::failed:
      ++totals.failed;
      break;
    default:
      break;
  }
}

class line_station {
 public:
  line_station(const line_options& options, const image_facts& image,
               const std::set<std::string>& listed, record_store& store, session_view& display,
               fleet_output& output)
      : options_(options),
        image_(image),
        listed_(listed),
        store_(store),
        spooled_(dynamic_cast<spooled_store*>(&store)),
        display_(display),
        output_(output) {}

  line_outcome run();

 private:
  bool matches(const seen_device& device) const;
  void offer(const seen_device& device);
  void scan();
  void work();
  void serve(const seen_device& device, device_record& record, session_view& view);
  bool take_claim(const seen_device& device, session_view& view, claim_outcome& claim);
  void record_result(const seen_device& device, const claim_outcome& claim, const device_run& run,
                     device_record& record, session_view& view);
  void renew();
  bool should_end();
  void stop_with(const command_failure& failure);
  void show_total();
  void settle(const std::string& key, standing where);
  device_job job_for(const std::string& mac) const;
  void flush_kept(line_outcome& outcome);

  const line_options& options_;
  const image_facts& image_;
  const std::set<std::string>& listed_;
  record_store& store_;
  spooled_store* spooled_;
  session_view& display_;
  fleet_output& output_;
  line_state state_;
  uint32_t started_ms_ = now_ms();
};

bool line_station::matches(const seen_device& device) const {
  if (options_.name_prefix)
    return device.name.compare(0, options_.name_prefix->size(), *options_.name_prefix) == 0;
  return listed_.count(mac_key(device.mac)) != 0;
}

// Called by the scanner for each device a scan first sees.
void line_station::offer(const seen_device& device) {
  if (!matches(device)) return;
  std::lock_guard<std::mutex> hold(state_.lock);
  known_device& known = state_.devices[mac_key(device.mac)];
  if (known.where != standing::later || known.window >= state_.window || state_.over) return;
  known.where = standing::queued;
  state_.queue.push_back(device);
  state_.changed.notify_one();
}

void line_station::scan() {
  while (!stop_requested()) {
    {
      std::lock_guard<std::mutex> hold(state_.lock);
      if (state_.over) return;
      ++state_.window;
    }
    scan_watching([this](const seen_device& device) { offer(device); },
                  [this] {
                    std::lock_guard<std::mutex> hold(state_.lock);
                    return state_.over;
                  },
                  LINE_SCAN_WINDOW_S);
  }
}

void line_station::show_total() {
  output_.set_total(total_line(state_.totals, now_ms() - started_ms_));
}

void line_station::settle(const std::string& key, standing where) {
  std::lock_guard<std::mutex> hold(state_.lock);
  known_device& known = state_.devices[key];
  known.where = where;
  known.window = state_.window;
}

void line_station::stop_with(const command_failure& failure) {
  std::lock_guard<std::mutex> hold(state_.lock);
  if (!state_.stopped) state_.stopped = failure;
  state_.over = true;
  state_.changed.notify_all();
}

device_job line_station::job_for(const std::string& mac) const {
  device_job job;
  job.mac = mac;
  job.image = options_.image;
  job.expected = image_.expectation();
  job.retries = 1;
  // A device already on the expected revision is not sent anything.
  job.skip_if_revision = options_.expect_revision;
  job.model = options_.model;
  job.expect_revision = options_.expect_revision;
  job.verify_seconds = options_.verify_seconds;
  return job;
}

void line_station::work() {
  const std::unique_ptr<session_view> own_view = output_.open_view();
  session_view& view = *own_view;
  device_record* record = device_record_lease(&view);
  while (record) {
    seen_device device;
    {
      std::unique_lock<std::mutex> held(state_.lock);
      // Enough devices are dealt with or on their way: no other is taken.
      const auto counted = [&] {
        return options_.count > 0 &&
               static_cast<uint32_t>(state_.totals.dealt_with() + state_.totals.in_flight) >=
                   options_.count;
      };
      const auto over = [&] { return state_.over || stop_requested() || counted(); };
      while (!over() && state_.queue.empty())
        state_.changed.wait_for(held, real_duration(LINE_LOOK_MS));
      if (over()) break;
      device = state_.queue.front();
      state_.queue.pop_front();
      state_.devices[mac_key(device.mac)].where = standing::in_flight;
    }
    serve(device, *record, view);
    view.end_device();
  }
  device_record_return(record);
}

// False when the device is not this station's to serve now.
bool line_station::take_claim(const seen_device& device, session_view& view, claim_outcome& claim) {
  const std::string key = mac_key(device.mac);
  // While the record is away nothing new is claimed: the device waits for
  // a later scan.
  if (spooled_ && spooled_->away()) {
    settle(key, standing::later);
    return false;
  }
  claim = store_.claim(
      claim_request{key, device.name, options_.station, options_.attempts, LINE_LEASE_MS});
  if (claim.status == store_status::unavailable) {
    settle(key, standing::later);
    return false;
  }
  if (claim.status != store_status::ok) {
    stop_with(
        failure_of("record_write_failed",
                   "cannot claim " + key + " in the record " + store_.where() + ": " + claim.error,
                   exit_status::report_unwritable));
    settle(key, standing::later);
    return false;
  }
  if (claim.granted) return true;
  const passed_over why = why_not(claim, options_.attempts);
  settle(key, why.for_good ? standing::settled : standing::later);
  {
    std::lock_guard<std::mutex> hold(state_.lock);
    std::string& said = state_.devices[key].said;
    if (said == why.reason) return false;
    said = why.reason;
  }
  view.set_subject(device.mac);
  view.message(device.mac + ": " + why.words);
  if (claim.state == record_state::ok && !claim.revision_after.empty() &&
      claim.revision_after != options_.expect_revision)
    view.message(device.mac + ": warning: the record shows it updated, on revision " +
                 printable(claim.revision_after) + ", not " + printable(options_.expect_revision));
  view.event({{"event", "skipped"},
              {"mac", device.mac},
              {"reason", why.reason},
              {"station", text_or_null(claim.holder)}});
  return false;
}

void line_station::serve(const seen_device& device, device_record& record, session_view& view) {
  claim_outcome claim;
  {
    // Counted at once, so that no other worker takes one device too many.
    std::lock_guard<std::mutex> hold(state_.lock);
    ++state_.totals.in_flight;
  }
  if (!take_claim(device, view, claim)) {
    std::lock_guard<std::mutex> hold(state_.lock);
    --state_.totals.in_flight;
    return;
  }
  {
    std::lock_guard<std::mutex> hold(state_.lock);
    state_.active_at_ms = now_ms();
    state_.leases.push_back(lease{mac_key(device.mac), claim.attempt, &record});
    show_total();
  }
  view.set_subject(device.mac);
  view.message(device.mac + ": claimed (attempt " + std::to_string(claim.attempt) + ")");
  view.event({{"event", "claimed"},
              {"mac", device.mac},
              {"station", options_.station},
              {"attempt", claim.attempt}});
  device_record_set_tag(record, options_.parallel > 1 ? mac_key(device.mac) : std::string());
  const device_run run = run_found_device_job(job_for(device.mac), device,
                                              device_worker{record, view, false, nullptr});
  record_result(device, claim, run, record, view);
}

void line_station::record_result(const seen_device& device, const claim_outcome& claim,
                                 const device_run& run, device_record& record, session_view& view) {
  const std::string key = mac_key(device.mac);
  const attempt_result result = result_of(key, claim.attempt, options_.station, run);
  const finish_outcome written = store_.finish(result);
  {
    std::lock_guard<std::mutex> hold(state_.lock);
    for (auto it = state_.leases.begin(); it != state_.leases.end(); ++it) {
      if (it->record == &record) {
        state_.leases.erase(it);
        break;
      }
    }
    record.stop_update = false;
    --state_.totals.in_flight;
    count(state_.totals, result.state);
    state_.active_at_ms = now_ms();
    known_device& known = state_.devices[key];
    known.where = record_state_final(result.state) ? standing::settled : standing::later;
    known.window = state_.window;
    show_total();
  }
  if (written.status != store_status::ok) {
    stop_with(failure_of("record_write_failed",
                         "cannot write the result of " + key + " to the record " + store_.where() +
                             ": " + written.error,
                         exit_status::report_unwritable));
  } else if (written.outcome == write_outcome::fenced) {
    view.error("tavren-update: " + key + ": the record gave it to another station meanwhile (its " +
                   "lease ran out): this result was not recorded",
               "claim_lost");
  }
}

// Every lease of a device being served is renewed; a device another
// station took meanwhile (this one's lease ran out) is stopped after its
// frame in flight. Kept results are offered to the record as it goes.
void line_station::renew() {
  uint32_t renewed_at = now_ms();
  for (;;) {
    {
      std::unique_lock<std::mutex> held(state_.lock);
      if (state_.over && state_.totals.in_flight == 0) return;
    }
    sleep_ms(LINE_LOOK_MS);
    if (spooled_) spooled_->flush();
    if (static_cast<uint32_t>(now_ms() - renewed_at) < LINE_RENEW_MS) continue;
    renewed_at = now_ms();
    std::vector<lease> leases;
    {
      std::lock_guard<std::mutex> hold(state_.lock);
      leases = state_.leases;
    }
    for (const lease& each : leases) {
      if (store_.renew(each.mac, each.attempt, LINE_LEASE_MS) == store_status::failed) {
        each.record->stop_update = true;
        display_.error("tavren-update: " + each.mac + ": another station took it (this " +
                           "station's lease ran out): its transfer stops",
                       "claim_lost");
      }
    }
  }
}

bool line_station::should_end() {
  std::lock_guard<std::mutex> hold(state_.lock);
  if (state_.over) return true;
  const bool idle = state_.totals.in_flight == 0 && state_.queue.empty();
  const bool counted =
      options_.count > 0 && static_cast<uint32_t>(state_.totals.dealt_with()) >= options_.count;
  const bool quiet_long_enough =
      options_.until_idle_seconds > 0 && idle &&
      static_cast<uint32_t>(now_ms() - state_.active_at_ms) >= options_.until_idle_seconds * 1000;
  if (stop_requested() || counted || quiet_long_enough) {
    state_.over = true;
    state_.changed.notify_all();
  }
  return state_.over;
}

// Results kept while the record was away: written before the line ends,
// within a bound; what is still kept then ends the line with status 6.
void line_station::flush_kept(line_outcome& outcome) {
  if (!spooled_) return;
  const uint32_t start = now_ms();
  while (spooled_->pending() > 0 && static_cast<uint32_t>(now_ms() - start) < LINE_FLUSH_BOUND_MS) {
    spooled_->flush();
    if (spooled_->pending() > 0) sleep_ms(LINE_LOOK_MS * 10);
  }
  const size_t kept = spooled_->pending();
  if (kept > 0 && !outcome.stopped) {
    outcome.stopped = failure_of(
        "record_write_failed",
        std::to_string(kept) + " result(s) could not be written to the record " + store_.where() +
            "; they are kept in " + spooled_->spool_path() + " and written at the next start",
        exit_status::report_unwritable);
  }
}

line_outcome line_station::run() {
  state_.active_at_ms = started_ms_;
  output_.show_together();
  {
    std::lock_guard<std::mutex> hold(state_.lock);
    show_total();
  }
  std::thread scanner([this] { scan(); });
  std::thread renewer([this] { renew(); });
  std::vector<std::thread> workers;
  for (int i = 0; i < options_.parallel; ++i) workers.emplace_back([this] { work(); });
  while (!should_end()) sleep_ms(LINE_LOOK_MS);
  scanner.join();
  for (std::thread& worker : workers) worker.join();
  renewer.join();
  output_.set_total("");

  line_outcome outcome;
  outcome.totals = state_.totals;
  outcome.stopped = state_.stopped;
  flush_kept(outcome);
  std::string error;
  outcome.record_read = store_.read(outcome.record, error) == store_status::ok;
  if (outcome.stopped) {
    display_.error("tavren-update: " + outcome.stopped->message, outcome.stopped->code);
    outcome.status = outcome.stopped->status;
  } else if (interrupted()) {
    outcome.status = exit_status::interrupted;
  } else {
    outcome.status = outcome.totals.failed > 0 ? exit_status::batch_incomplete : exit_status::done;
  }
  display_.message(total_line(outcome.totals, now_ms() - started_ms_));
  return outcome;
}

}  // namespace

bool line_run::prepare(command_failure& failure) {
  std::string code, reason;
  if (!inspect_image(options_.image, image_, code, reason)) {
    failure = failure_of(code.c_str(), options_.image + ": " + reason);
    return false;
  }
  if (options_.devices_file.empty()) return true;
  std::string text;
  if (read_input_file(options_.devices_file, text, reason) != input_read::read) {
    failure = failure_of("device_list_unreadable",
                         "cannot read the device list " + options_.devices_file + ": " + reason);
    return false;
  }
  std::vector<std::string> macs;
  if (!parse_device_list(options_.devices_file, text, macs, reason)) {
    failure = failure_of("device_list_invalid", reason);
    return false;
  }
  if (macs.empty()) {
    failure = failure_of("device_list_invalid", options_.devices_file + " names no device");
    return false;
  }
  for (const std::string& mac : macs) listed_.insert(mac_key(mac));
  return true;
}

bool line_run::open_campaign(record_store& store, command_failure& failure) {
  campaign c;
  c.image_name = file_name_of(options_.image);
  c.image_bytes = image_.bytes;
  c.image_crc32 = image_.crc32;
  c.expected_revision = options_.expect_revision;
  c.model = options_.model.value_or("");
  std::string error;
  const store_status opened = store.open_campaign(c, true, error);
  if (opened == store_status::ok) return true;
  failure = failure_of("record_unusable",
                       "cannot open the campaign in the record " + store.where() + ": " + error,
                       opened == store_status::unavailable ? exit_status::report_unwritable
                                                           : exit_status::bad_input);
  return false;
}

line_outcome line_run::run(record_store& store, session_view& display, fleet_output& output) {
  line_station line(options_, image_, listed_, store, display, output);
  return line.run();
}
