// The shared radio's scheduler. It plays connection events in time order on
// the device thread, one step per moment at which some event is due, so a
// device reception due before an event is always handled before that event
// is decided, however late the thread runs. Decisions use the events'
// nominal times and the moments things were queued, never the time a step
// happens to run: the same scenario gives the same schedule.
#include "sim/radio.h"

#include <algorithm>
#include <cmath>

#include "sim/library.h"
#include "sim/radio_model.h"

namespace sim {

namespace {

using std::chrono::microseconds;

const auto INTER_FRAME_SPACE = microseconds(radio::INTER_FRAME_SPACE_US);

bool link_on_air(const library& l, const WarbleGatt* gatt) {
  return gatt->generation == l.world.generation && !gatt->deleted &&
         gatt->state == WarbleGatt::link_state::up && on_shared_radio(l, gatt);
}

std::optional<sim_time> earliest_due(const library& l) {
  std::optional<sim_time> earliest;
  for (const auto& gatt : l.gatts) {
    if (link_on_air(l, gatt.get()) && (!earliest || gatt->air.next_event < *earliest))
      earliest = gatt->air.next_event;
  }
  if (l.radio.scanning && (!earliest || l.radio.next_scan_window < *earliest))
    earliest = l.radio.next_scan_window;
  return earliest;
}

void run_step(uint64_t token, uint64_t generation);

// Makes sure a step is posted for the earliest event due.
void schedule(library& l) {
  std::optional<sim_time> due = earliest_due(l);
  if (!due || (l.radio.step_due && *l.radio.step_due <= *due)) return;
  uint64_t token = ++l.radio.step_token;
  uint64_t generation = l.world.generation;
  l.radio.step_due = *due;
  l.device_queue.post(*due, [token, generation] { run_step(token, generation); });
}

// Holds the radio from `start` for `airtime`; two holds that overlap are
// a fault of the scheduler, counted.
void take_radio(library& l, sim_time start, std::chrono::nanoseconds airtime, bool scan) {
  if (start < l.radio.last_on_air_end) count(l, OVERLAPS);
  l.radio.last_on_air_end = std::max(l.radio.last_on_air_end, start + airtime);
  l.radio.busy_until = start + airtime;
  l.radio.held_by_scan = scan;
}

std::vector<int64_t> fragments_of(const std::vector<const air_item*>& items, int32_t data_length,
                                  std::vector<size_t>& last_fragment) {
  std::vector<int64_t> all;
  last_fragment.clear();
  for (const air_item* item : items) {
    auto sizes = radio::fragments(item->link_bytes, data_length);
    if (sizes.empty()) sizes.push_back(0);  // every item takes a packet
    all.insert(all.end(), sizes.begin(), sizes.end());
    last_fragment.push_back(all.size() - 1);
  }
  return all;
}

// One event of `gatt` at `start`: carries what is ready on both sides, as
// much as fits before the link's next event (at least one item).
void carry(library& l, WarbleGatt* gatt, sim_time start) {
  air_link& air = gatt->air;
  const auto budget = std::chrono::duration_cast<microseconds>(air.interval - INTER_FRAME_SPACE);
  std::vector<const air_item*> up, down;
  std::vector<size_t> up_last, down_last;
  radio::event_timeline plan = radio::plan_event({}, {});
  auto try_add = [&](std::vector<const air_item*>& side, const air_item& item) {
    side.push_back(&item);
    auto central = fragments_of(up, air.data_length, up_last);
    auto peripheral = fragments_of(down, air.data_length, down_last);
    radio::event_timeline candidate = radio::plan_event(central, peripheral);
    bool first = up.size() + down.size() == 1;
    if (!first && candidate.airtime_us > budget.count()) {
      side.pop_back();
      return false;
    }
    plan = candidate;
    return true;
  };
  for (const air_item& item : air.to_device) {
    if (item.ready > start || !try_add(up, item)) break;
  }
  for (const air_item& item : air.to_program) {
    if (item.ready > start || !try_add(down, item)) break;
  }
  fragments_of(up, air.data_length, up_last);
  fragments_of(down, air.data_length, down_last);

  const auto airtime = microseconds(plan.airtime_us);
  take_radio(l, start, airtime, false);
  count(l, AIRTIME_US, static_cast<int32_t>(plan.airtime_us));
  l.world.runtime[gatt->device_index].airtime_us += plan.airtime_us;

  uint64_t generation = l.world.generation;
  uint64_t link_id = gatt->link_id;
  for (size_t i = 0; i < up.size(); ++i) {
    air_item item = std::move(air.to_device.front());
    air.to_device.pop_front();
    sim_time delivered = start + microseconds(plan.central_end_us[up_last[i]]);
    l.device_queue.post(delivered,
                        [item = std::move(item), gatt, link_id, generation, start, delivered] {
                          library& l = lib();
                          std::unique_lock<std::mutex> held(l.lock);
                          if (l.world.generation != generation || gatt->deleted) return;
                          if (!link_alive(l, gatt, link_id)) {
                            if (item.lost) item.lost(l);
                            return;
                          }
                          item.to_device(l, held, start, delivered);
                        });
  }
  for (size_t i = 0; i < down.size(); ++i) {
    air_item item = std::move(air.to_program.front());
    air.to_program.pop_front();
    item.to_program(l, start + microseconds(plan.peripheral_end_us[down_last[i]]));
  }
}

void run_events_at(library& l, sim_time t) {
  std::vector<WarbleGatt*> due;
  for (auto& gatt : l.gatts) {
    if (link_on_air(l, gatt.get()) && gatt->air.next_event == t) due.push_back(gatt.get());
  }
  std::sort(due.begin(), due.end(), [](const WarbleGatt* a, const WarbleGatt* b) {
    return a->air.skips != b->air.skips ? a->air.skips > b->air.skips : a->link_id < b->link_id;
  });
  for (WarbleGatt* gatt : due) {
    gatt->air.next_event += gatt->air.interval;
    if (t < l.radio.busy_until) {
      ++gatt->air.skips;
      count(l, SKIPPED_EVENTS);
      if (l.radio.held_by_scan) count(l, SCAN_SKIPPED_EVENTS);
      continue;
    }
    carry(l, gatt, t);
  }
  // The scanner is not bound to an anchor: a window that falls inside an
  // event begins once the radio is free.
  if (l.radio.scanning && l.radio.next_scan_window <= t) {
    if (t < l.radio.busy_until) {
      l.radio.next_scan_window = l.radio.busy_until;
    } else {
      take_radio(l, t, SCAN_WINDOW, true);
      count(l, SCAN_WINDOWS);
      l.radio.next_scan_window = t + SCAN_WINDOW_PERIOD;
    }
  }
}

void run_step(uint64_t token, uint64_t generation) {
  if (shutting_down()) return;
  library& l = lib();
  std::lock_guard<std::mutex> guard(l.lock);
  if (l.world.generation != generation || l.radio.step_token != token || !l.radio.step_due) return;
  sim_time t = *l.radio.step_due;
  l.radio.step_due.reset();
  run_events_at(l, t);
  l.radio.decided_until = t;
  schedule(l);
}

// How far `t` is from the nearest event of a link with events every
// `interval` from `anchor`.
std::chrono::nanoseconds distance_to_events(sim_time t, sim_time anchor,
                                            std::chrono::nanoseconds interval) {
  auto phase = (t - anchor) % interval;
  if (phase < phase.zero()) phase += interval;
  return std::min(phase, interval - phase);
}

// Items still queued on a link that went down: requests fail with "Connection
// lost" and replies go nowhere, once the caller has posted the disconnect
// handler (so they follow it, as a request the device dropped the link at).
void flush(library& l, WarbleGatt* gatt) {
  auto to_device = std::make_shared<std::deque<air_item>>(std::move(gatt->air.to_device));
  auto to_program = std::make_shared<std::deque<air_item>>(std::move(gatt->air.to_program));
  gatt->air.to_device.clear();
  gatt->air.to_program.clear();
  if (to_device->empty() && to_program->empty()) return;
  uint64_t generation = l.world.generation;
  l.device_queue.post_now([to_device, to_program, generation] {
    library& l = lib();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.world.generation != generation) return;
    for (auto& item : *to_device)
      if (item.lost) item.lost(l);
    for (auto& item : *to_program) item.to_program(l, sim_clock::now());
  });
}

}  // namespace

bool on_shared_radio(const library& l, const WarbleGatt* gatt) {
  return l.world.config.shared_radio && gatt->device_index >= 0 &&
         connection_interval(l, gatt).count() > 0;
}

void radio_send_to_device(library&, WarbleGatt* gatt, air_item item) {
  item.ready = sim_clock::now();
  gatt->air.to_device.push_back(std::move(item));
}

void radio_send_to_program(library&, WarbleGatt* gatt, air_item item) {
  // Kept in the order they become ready, as the device sends them.
  auto& queue = gatt->air.to_program;
  auto at =
      std::upper_bound(queue.begin(), queue.end(), item.ready,
                       [](sim_time ready, const air_item& other) { return ready < other.ready; });
  queue.insert(at, std::move(item));
}

sim_time radio_anchor(library& l, int32_t device, sim_time earliest) {
  const auto interval = device_interval(l, device);
  const auto slot = interval / radio::SLOTS_PER_INTERVAL;
  const WarbleGatt* reference = nullptr;
  for (const auto& gatt : l.gatts) {
    if (link_on_air(l, gatt.get()) && (!reference || gatt->link_id < reference->link_id))
      reference = gatt.get();
  }
  if (!reference || slot.count() == 0) return earliest;
  // Candidates on the grid of eighths of the oldest link's events.
  auto behind = (earliest - reference->link_origin) % slot;
  if (behind < behind.zero()) behind += slot;
  sim_time first = behind.count() == 0 ? earliest : earliest + (slot - behind);
  sim_time best = first;
  std::chrono::nanoseconds best_distance{-1};
  for (int k = 0; k < radio::SLOTS_PER_INTERVAL; ++k) {
    sim_time candidate = first + k * slot;
    std::chrono::nanoseconds nearest = interval;
    for (const auto& gatt : l.gatts) {
      if (!link_on_air(l, gatt.get())) continue;
      nearest =
          std::min(nearest, distance_to_events(candidate, gatt->link_origin, gatt->air.interval));
    }
    // Equal distances, within rounding: the earliest.
    if (nearest > best_distance + std::chrono::microseconds(1)) {
      best = candidate;
      best_distance = nearest;
    }
  }
  return best;
}

void radio_link_up(library& l, WarbleGatt* gatt) {
  air_link& air = gatt->air;
  air.interval = connection_interval(l, gatt);
  air.data_length = l.world.devices[gatt->device_index].data_length;
  air.skips = 0;
  air.to_device.clear();
  air.to_program.clear();
  // Its first event is its anchor, unless the radio has already played
  // past it (the link came up late on its thread).
  air.next_event = gatt->link_origin;
  while (air.next_event <= l.radio.decided_until) air.next_event += air.interval;
  schedule(l);
}

void radio_link_down(library& l, WarbleGatt* gatt) {
  flush(l, gatt);
}

void radio_scanning(library& l, bool running) {
  if (running == l.radio.scanning) return;
  l.radio.scanning = running;
  if (!running) return;
  sim_time now = sim_clock::now();
  l.radio.next_scan_window = std::max(now, l.radio.decided_until + std::chrono::nanoseconds(1));
  schedule(l);
}

void radio_reset(library& l) {
  l.radio = radio_state();
  ++l.radio.step_token;
  // A scan under way goes on in the new world, taking its windows there if
  // that world's radio is shared, whatever the old one's was.
  if (l.world.config.shared_radio && l.scanner.running && !l.scanner.stop_requested)
    radio_scanning(l, true);
}

}  // namespace sim
