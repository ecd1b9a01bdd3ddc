// The adapter's one radio, shared by every link (radio = shared): each link
// gets connection events every interval from its anchor, each event holds
// the radio for its airtime (radio_model.h), and an event that would start
// while another is on the air is skipped. What the program and the device
// send waits on its link until an event carries it, and lands at the end of
// its packet. Links with no interval, and every link with radio = ideal,
// do without it: their timing is computed per link.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "sim/radio_model.h"
#include "sim/timed_queue.h"

struct WarbleGatt;

namespace sim {

struct library;

// Something one side of a link has to send, from `ready` on.
struct air_item {
  sim_time ready{};
  int64_t link_bytes = 0;  // L2CAP header included
  // To the device: runs on the device thread once its last packet ended
  // (`event_start` is when its event began), with the lock held and the
  // link still up; else `lost` runs (lock held).
  std::function<void(library&, std::unique_lock<std::mutex>&, sim_time event_start,
                     sim_time delivered)>
      to_device;
  std::function<void(library&)> lost;
  // To the program: called (lock held) with the end of its last packet, to
  // post its handler call there.
  std::function<void(library&, sim_time delivered)> to_program;
};

// A link's share of the radio.
struct air_link {
  std::chrono::nanoseconds interval{};
  int32_t data_length = 251;
  sim_time next_event{};
  int64_t skips = 0;  // events skipped so far: the most skipped wins a tie
  std::deque<air_item> to_device;
  std::deque<air_item> to_program;
};

struct radio_state {
  uint64_t step_token = 0;  // a posted step with another token is stale
  std::optional<sim_time> step_due;
  sim_time busy_until{};       // the radio is taken until then
  bool held_by_scan = false;   // by a scan window, not a link's event
  sim_time last_on_air_end{};  // for the overlap self-check
  sim_time decided_until{};    // events up to here have been played
  bool scanning = false;
  sim_time next_scan_window{};
  const WarbleGatt* setting_up = nullptr;  // the one connection being set up
};

// While the scanner runs it takes the radio for a scan window of 10 ms
// every 100 ms, also while links carry transfers; link events that fall in
// one are skipped (radio_model.h has the figures).
inline constexpr std::chrono::microseconds SCAN_WINDOW{radio::SCAN_WINDOW_US};
inline constexpr std::chrono::microseconds SCAN_WINDOW_PERIOD{radio::SCAN_WINDOW_PERIOD_US};

// --- all expect `lock` held ---

bool on_shared_radio(const library& l, const WarbleGatt* gatt);
// Queues bytes from the program to the device, ready now.
void radio_send_to_device(library& l, WarbleGatt* gatt, air_item item);
// Queues bytes from the device to the program, ready at item.ready.
void radio_send_to_program(library& l, WarbleGatt* gatt, air_item item);
// Where the anchor of a new link to `device` goes: at `earliest` or after,
// in the free eighth of the interval farthest from the other links' events.
sim_time radio_anchor(library& l, int32_t device, sim_time earliest);
void radio_link_up(library& l, WarbleGatt* gatt);
// What was queued on the link is lost: requests fail, replies are dropped.
void radio_link_down(library& l, WarbleGatt* gatt);
void radio_scanning(library& l, bool running);
void radio_reset(library& l);

}  // namespace sim
