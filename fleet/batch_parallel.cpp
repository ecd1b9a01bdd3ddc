// A batch serving several devices at once over one adapter. The
// coordinator (the calling thread) looks for every device first, so that
// nothing scans while transfers run; then workers, each with a device
// record and a display of its own, take the next device in the list's
// order. Only the coordinator writes the report, after every device, and a
// worker takes its next device only once the one it finished is on record:
// a stop decided on the record (a report that cannot be written, an image
// that changed) is decided before any other device starts.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "device/connection.h"
#include "device/device_state.h"
#include "fleet/batch.h"
#include "fleet/mac_address.h"
#include "fleet/printable.h"
#include "fleet/stop.h"

namespace {

// What the workers share with the coordinator, under `lock`.
struct fleet {
  explicit fleet(fleet_output& out) : output(out) {}
  fleet_output& output;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<size_t> queue;  // devices still to take, by index, in list order
  size_t devices = 0;
  int allowed = 1;                  // devices served at once at most; lowered, never raised
  int running = 0;                  // workers not yet ended
  int in_flight = 0;                // devices taken and not yet on record
  bool stop = false;                // take no more devices
  std::deque<device_run> finished;  // done, not yet recorded by the coordinator
  uint64_t handed_in = 0;           // devices handed to the coordinator
  uint64_t recorded = 0;            // of those, on record
};

std::string total_line(const fleet& shared) {
  return "Batch: " + std::to_string(shared.recorded) + " of " + std::to_string(shared.devices) +
         " devices done, " + std::to_string(shared.in_flight) + " in flight";
}

// Under the fleet's lock, whenever a count it shows changed: the total is
// true at every redraw of the block.
void show_total(const fleet& shared) {
  shared.output.set_total(total_line(shared));
}

// The adapter held `links_up` of our links when it refused one more: no
// more devices than that are served at once from then on.
void lower_limit(fleet& shared, int links_up, session_view& coordinator) {
  std::lock_guard<std::mutex> hold(shared.lock);
  const int lowered = std::max(1, links_up);
  if (lowered >= shared.allowed) return;
  coordinator.error("tavren-update: the adapter has no room for another connection: " +
                        std::to_string(shared.allowed) + " devices at once lowered to " +
                        std::to_string(lowered),
                    "adapter_full");
  shared.allowed = lowered;
}

// The next device to serve, once one may be taken; nothing when the batch
// stopped or every device was taken.
std::optional<size_t> take_next(fleet& shared) {
  std::unique_lock<std::mutex> held(shared.lock);
  // A stop requested by a signal handler cannot wake this wait: it is
  // looked at every tenth of a second.
  const auto over = [&] { return shared.stop || stop_requested() || shared.queue.empty(); };
  while (!over() && shared.in_flight >= shared.allowed)
    shared.changed.wait_for(held, std::chrono::milliseconds(100));
  if (over()) return std::nullopt;
  const size_t index = shared.queue.front();
  shared.queue.pop_front();
  ++shared.in_flight;
  show_total(shared);
  return index;
}

// Hands a finished device to the coordinator and waits until it is on
// record (or the coordinator is gone).
void hand_in(fleet& shared, device_run run) {
  std::unique_lock<std::mutex> held(shared.lock);
  shared.finished.push_back(std::move(run));
  const uint64_t mine = ++shared.handed_in;
  shared.changed.notify_all();
  shared.changed.wait(held, [&] { return shared.recorded >= mine; });
}

// A worker: a device record and a display of its own, then the next device
// until there is none, or the batch stops.
void serve(fleet& shared, const std::vector<seen_device>& devices,
           const batch_run::device_server& serve_device, bool tag_trace,
           session_view& coordinator) {
  const std::unique_ptr<session_view> own_view = shared.output.open_view();
  session_view& view = *own_view;
  device_record* record = device_record_lease(&view);
  const auto adapter_full = [&](int links_up) { lower_limit(shared, links_up, coordinator); };
  while (record) {
    const std::optional<size_t> index = take_next(shared);
    if (!index) break;
    const seen_device& device = devices[*index];
    if (tag_trace) device_record_set_tag(*record, mac_key(device.mac));
    device_run run = serve_device(device, device_worker{*record, view, false, adapter_full});
    view.end_device();
    hand_in(shared, std::move(run));
  }
  device_record_return(record);
  std::lock_guard<std::mutex> hold(shared.lock);
  --shared.running;
  shared.changed.notify_all();
}

}  // namespace

void batch_run::run_at_once(const std::vector<std::string>& macs, session_view& display,
                            fleet_output& output, batch_progress& progress) {
  std::vector<std::string> to_do;
  for (const std::string& mac : macs) {
    if (carried(mac)) {
      pass_carried(mac, display);
    } else {
      to_do.push_back(mac);
    }
  }
  // Every device is looked for before the first transfer.
  if (!options_.name_prefix && !to_do.empty()) {
    display.message("Looking for " + std::to_string(to_do.size()) + " devices (up to " +
                    std::to_string(options_.seconds) + " s)");
    display.event({{"event", "scanning"}, {"mac", nullptr}, {"seconds", options_.seconds}});
    seen_ = find_devices(to_do, options_.seconds);
  }
  if (stop_requested()) return;
  std::vector<seen_device> devices;
  std::vector<device_run> missing;
  for (const std::string& mac : to_do) {
    const auto found = seen_.find(mac_key(mac));
    if (found != seen_.end()) {
      devices.push_back(found->second);
      display.event({{"event", "found"},
                     {"mac", found->second.mac},
                     {"name", text_or_null(found->second.name)},
                     {"rssi", found->second.rssi}});
      continue;
    }
    device_run absent;
    absent.row.mac = mac_key(mac);
    absent.row.result = device_result::not_found;
    absent.row.error = "Not seen within " + std::to_string(options_.seconds) + " s";
    absent.row.error_code = "not_found";
    absent.stage = failure_stage::search;
    display.event(done_event(absent.row));
    missing.push_back(std::move(absent));
  }
  // The devices the search did not reach go on record at once, in one write.
  record(macs, missing, display, progress);
  if (devices.empty() || stop_requested() || progress.stopped) return;

  fleet shared(output);
  for (size_t i = 0; i < devices.size(); ++i) shared.queue.push_back(i);
  shared.devices = devices.size();
  const int workers = std::min<int>(options_.parallel, static_cast<int>(devices.size()));
  shared.allowed = shared.running = workers;
  output.show_together();
  display.message(std::to_string(devices.size()) + " devices found; " + std::to_string(workers) +
                  " at once");
  const device_server job = [this](const seen_device& device, const device_worker& worker) {
    return serve_claimed(device.mac, device.name, worker.display,
                         [&] { return run_found_device_job(job_for(device.mac), device, worker); });
  };
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(shared.lock);
    show_total(shared);
  }
  for (int worker = 0; worker < workers; ++worker)
    threads.emplace_back(serve, std::ref(shared), std::cref(devices), job, workers > 1,
                         std::ref(display));

  std::unique_lock<std::mutex> held(shared.lock);
  for (;;) {
    shared.changed.wait(held, [&] { return !shared.finished.empty() || shared.running == 0; });
    while (!shared.finished.empty()) {
      device_run device = std::move(shared.finished.front());
      shared.finished.pop_front();
      held.unlock();
      record(macs, {device}, display, progress);
      // A report that cannot be kept, or an image that changed: the devices
      // in flight stop after their frame in flight, no other one starts.
      if (progress.stopped) request_stop();
      held.lock();
      if (progress.stopped) shared.stop = true;
      --shared.in_flight;
      ++shared.recorded;
      show_total(shared);
      shared.changed.notify_all();
    }
    if (shared.running == 0) break;
  }
  held.unlock();
  for (std::thread& thread : threads) thread.join();
  output.set_total("");
}
