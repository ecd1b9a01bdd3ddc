// Devices that come into range and leave it while the world runs, as on a
// production line where devices are put down near a station over the day
// and taken away again. Each arrival and departure is a task of its own on
// the device thread, so that the counters, the scans, the connects and the
// links that go down all change together, at one moment.
#include "sim/library.h"

namespace sim {

namespace {

void arrive(library& l, int32_t device) {
  l.world.runtime[device].arrived = true;
  count(l, ARRIVALS);
}

// It goes as a device carried out of range: live links drop as a radio link
// that goes away, and it is absent from then on, whatever a restart under
// way would have brought back.
void depart(library& l, std::unique_lock<std::mutex>& held, int32_t device) {
  l.world.runtime[device].departed = true;
  count(l, DEPARTURES);
  drop_device_links(l, device, sim_clock::now());
  // A transfer cut short changes the device's verdict.
  write_record_if_verdict_changed(l, held);
}

}  // namespace

void schedule_presence(library& l) {
  world_state& w = l.world;
  const uint64_t generation = w.generation;
  // The flood is background noise, in range throughout.
  const size_t configured = w.config.devices.size();
  for (size_t i = 0; i < configured; ++i) {
    const auto device = static_cast<int32_t>(i);
    const int64_t after_ms = appears_after_ms(w.config, i);
    const sim_time arrival = w.configured_at + std::chrono::milliseconds(after_ms);
    if (after_ms == 0) {
      arrive(l, device);
    } else {
      w.runtime[i].arrived = false;
      l.device_queue.post(arrival, [device, generation] {
        library& l = lib();
        std::lock_guard<std::mutex> guard(l.lock);
        if (l.world.generation == generation) arrive(l, device);
      });
    }
    const int32_t present_ms = w.devices[i].present_for_ms;
    if (present_ms < 0) continue;
    // Posted after its arrival: of two tasks due at once the earlier posted
    // runs first, so a device present for 0 ms still arrives before it goes.
    l.device_queue.post(arrival + std::chrono::milliseconds(present_ms), [device, generation] {
      library& l = lib();
      std::unique_lock<std::mutex> held(l.lock);
      if (l.world.generation == generation) depart(l, held, device);
    });
  }
}

}  // namespace sim