// A batch serving several devices at once over one adapter. The
// coordinator (the calling thread) looks for every device first, so that
// nothing scans while transfers run; then workers, each with a device
// record and a display of its own, take the next device in the list's
// order. Only the coordinator writes the report, after every device.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/batch.h"
#include "cli/interruption.h"
#include "cli/mac_address.h"
#include "cli/printable.h"
#include "device/connection.h"
#include "device/device_state.h"

namespace {

// What the workers share with the coordinator, under `lock`.
struct fleet {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<size_t> queue;         // devices still to take, by index, in list order
  std::vector<bool> put_back;       // a device the adapter had no room for goes back once
  int allowed = 1;                  // devices served at once at most; lowered, never raised
  int running = 0;                  // workers not yet ended
  int in_flight = 0;                // devices taken and not yet done
  bool stop = false;                // take no more devices
  std::deque<device_run> finished;  // done, not yet recorded by the coordinator
};

// A worker: a device record and a display of its own, then the next device
// until there is none, or the batch stops.
void serve(fleet& shared, const std::vector<seen_device>& devices,
           const std::function<device_job(const std::string&)>& job_for, bool tag_trace,
           console_display& coordinator) {
  console_display view(console_output::instance());
  device_record* record = device_record_lease(&view);
  while (record) {
    size_t index = 0;
    {
      // A device put back may still come while others are in flight; an
      // interruption is looked at every tenth of a second.
      std::unique_lock<std::mutex> held(shared.lock);
      const auto may_take = [&] {
        return !shared.queue.empty() && shared.in_flight < shared.allowed;
      };
      const auto over = [&] {
        return shared.stop || interrupted() || (shared.queue.empty() && shared.in_flight == 0);
      };
      while (!may_take() && !over()) shared.changed.wait_for(held, std::chrono::milliseconds(100));
      if (over()) break;
      index = shared.queue.front();
      shared.queue.pop_front();
      ++shared.in_flight;
    }
    const seen_device& device = devices[index];
    if (tag_trace) device_record_set_tag(*record, mac_key(device.mac));
    device_run run =
        run_found_device_job(job_for(device.mac), device, device_worker{*record, view, false});
    view.end_device();
    std::lock_guard<std::mutex> hold(shared.lock);
    --shared.in_flight;
    if (run.adapter_full && !shared.put_back[index]) {
      shared.put_back[index] = true;
      shared.queue.push_front(index);
      const int lowered = std::max(1, std::min(shared.allowed - 1, shared.in_flight));
      if (lowered < shared.allowed) {
        coordinator.error("tavren-update: the adapter has no room for another connection: " +
                              std::to_string(shared.allowed) + " devices at once lowered to " +
                              std::to_string(lowered),
                          "adapter_full");
        shared.allowed = lowered;
      }
    } else {
      if (run.adapter_full) coordinator.event(done_event(run.row));
      shared.finished.push_back(std::move(run));
    }
    shared.changed.notify_all();
  }
  device_record_return(record);
  std::lock_guard<std::mutex> hold(shared.lock);
  --shared.running;
  shared.changed.notify_all();
}

std::string total_line(size_t done, size_t all, int in_flight) {
  return "Batch: " + std::to_string(done) + " of " + std::to_string(all) + " devices done, " +
         std::to_string(in_flight) + " in flight";
}

}  // namespace

void batch_run::run_at_once(const std::vector<std::string>& macs, console_display& display,
                            batch_progress& progress) {
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
  std::vector<seen_device> devices;
  for (const std::string& mac : to_do) {
    const auto found = seen_.find(mac_key(mac));
    if (found != seen_.end() && !interrupted()) {
      devices.push_back(found->second);
      display.event({{"event", "found"},
                     {"mac", found->second.mac},
                     {"name", text_or_null(found->second.name)},
                     {"rssi", found->second.rssi}});
      continue;
    }
    if (interrupted()) continue;
    device_run missing;
    missing.row.mac = mac_key(mac);
    missing.row.result = device_result::not_found;
    missing.row.error = "Not seen within " + std::to_string(options_.seconds) + " s";
    missing.row.error_code = "not_found";
    missing.stage = failure_stage::search;
    display.event(done_event(missing.row));
    record(macs, missing, display, progress);
  }
  if (devices.empty() || interrupted() || progress.stopped) return;

  fleet shared;
  for (size_t i = 0; i < devices.size(); ++i) shared.queue.push_back(i);
  shared.put_back.assign(devices.size(), false);
  const int workers = std::min<int>(options_.parallel, static_cast<int>(devices.size()));
  shared.allowed = shared.running = workers;
  console_output& console = console_output::instance();
  console.use_block(options_.cursor_movement);
  display.message(std::to_string(devices.size()) + " devices found; " + std::to_string(workers) +
                  " at once");
  const auto job = [this](const std::string& mac) { return job_for(mac); };
  std::vector<std::thread> threads;
  for (int worker = 0; worker < workers; ++worker)
    threads.emplace_back(serve, std::ref(shared), std::cref(devices), job, workers > 1,
                         std::ref(display));

  size_t recorded = 0;
  std::unique_lock<std::mutex> held(shared.lock);
  for (;;) {
    console.set_total(total_line(recorded, devices.size(), shared.in_flight));
    shared.changed.wait(held, [&] { return !shared.finished.empty() || shared.running == 0; });
    while (!shared.finished.empty()) {
      const device_run device = std::move(shared.finished.front());
      shared.finished.pop_front();
      held.unlock();
      record(macs, device, display, progress);
      ++recorded;
      held.lock();
      // A report that cannot be kept, or an image that changed: the devices
      // in flight finish, no other one starts.
      if (progress.stopped) shared.stop = true;
    }
    if (shared.running == 0) break;
  }
  held.unlock();
  for (std::thread& thread : threads) thread.join();
  console.set_total("");
}
