// One adapter radio shared by every link: what a packet and a connection
// event cost on the air, and the update throughput a fleet of links can
// expect from it. The stand-in's scheduler (radio.cpp) spends airtime by
// these figures; tests and benchmarks compare what it measures with
// model_frames_per_second.
//
// Figures, for the LE 1M PHY:
//   - 1 us a bit, so 8 us a byte;
//   - 10 bytes of overhead a packet (preamble 1, access address 4, header 2,
//     CRC 3), 4 more (the MIC) on an encrypted link; links here are not
//     encrypted;
//   - 150 us between two packets (the inter-frame space);
//   - an empty packet: 10 bytes, 80 us.
// A connection event is a series of exchanges: the central's packet, the
// space, the peripheral's packet (empty when it has nothing to say), and
// the space again before the next exchange. An event with nothing to carry
// is one exchange of two empty packets: 80 + 150 + 80 = 310 us.
//
// What the update costs:
//   - a frame is 243 bytes, + 3 (ATT write command header) + 4 (L2CAP
//     header) = 250 bytes on the link;
//   - with data length extension (data_length 251) that is one packet of
//     (250 + 10) x 8 = 2080 us; the write event, with the space and the
//     peripheral's empty packet: 2080 + 150 + 80 = 2310 us, about 2.3 ms;
//   - without it (data_length 27) 10 packets (9 of 27 bytes and one of 7),
//     each answered by an empty packet: 9 x 296 + 136 + 10 x 80 + 19 x 150
//     = 6450 us, about 6.5 ms;
//   - a status notification (2 bytes + 3 + 4 = 9 on the link) rides the
//     peripheral's packet of an event the central opens with an empty one:
//     80 + 150 + (9 + 10) x 8 = 382 us, about 0.4 ms.
//
// The update's cycle per frame on one link: the write goes in the link's
// next event, the device's status one connection interval later, then the
// program pauses 10 ms and writes the next frame, which waits for the next
// event: 3 events at 7.5 ms (22.5 ms), 2 at 15 ms (30 ms) and 2 at 30 ms
// (60 ms). One link alone uses the radio for about 3 ms of each cycle.
//
// Several links: each link's events fall every interval from its anchor;
// the adapter places each new link's anchor in the free eighth of the
// interval farthest from the other links' (eighths 0, 4, 2, 6, 1, 3, 5, 7),
// so 2, 4 and 8 links are spread evenly. An event that would start while
// another link's event is on the air is skipped: what it would have
// carried waits a whole interval. A write event is longer than an eighth
// of 7.5 or 15 ms, so once enough links are busy, writes push the events of
// the next links out and cycles stretch. model_frames_per_second plays the
// links' events through in simulated time, with the program's behaviour
// above, and counts the status replies the program receives. Its figures
// for 8 links, in multiples of one link:
//
//   interval   data_length 251   data_length 27
//   7.5 ms     4.8 (213 fps)     2.7 (118 fps)
//   15 ms      5.3 (178 fps)     3.2 (106 fps)
//   30 ms      8.0 (133 fps)     5.3 (89 fps)
//
// (one link: a frame a cycle, 44.4, 33.3 and 16.7 frames per second).
//
// A scanner running beside the links takes the radio for a window of 10 ms
// every 100 ms, which begins once the radio is free; the links' events that
// fall in it are skipped. That costs the update about a tenth (4 to 14 %
// over the three intervals, both data lengths and 1 to 8 links): one link
// at 15 ms delivers 30 frames per second instead of 33.3, 8 links 160 (with
// data length extension) and 96 (without) instead of 178 and 106; least at
// 7.5 ms, where write events already push many events out: 8 links with
// data length extension lose 4 % (204 fps).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::radio {

inline constexpr int64_t US_PER_BYTE = 8;
inline constexpr int64_t PACKET_OVERHEAD_BYTES = 10;
inline constexpr int64_t ENCRYPTION_OVERHEAD_BYTES = 4;
inline constexpr int64_t INTER_FRAME_SPACE_US = 150;
inline constexpr int64_t EMPTY_PACKET_US = PACKET_OVERHEAD_BYTES * US_PER_BYTE;  // 80
inline constexpr int64_t ATT_HEADER_BYTES = 3;    // opcode and handle
inline constexpr int64_t L2CAP_HEADER_BYTES = 4;  // length and channel
inline constexpr int32_t MAX_DATA_LENGTH = 251;
inline constexpr int32_t MIN_DATA_LENGTH = 27;
inline constexpr int64_t UPDATE_FRAME_BYTES = 243;
inline constexpr int64_t PROGRAM_PAUSE_US = 10000;  // the program's pause after a status
inline constexpr int SLOTS_PER_INTERVAL = 8;
// A scanner running beside the links takes the radio for a window of 10 ms
// every 100 ms (radio.h spends it; the model plays it).
inline constexpr int64_t SCAN_WINDOW_US = 10000;
inline constexpr int64_t SCAN_WINDOW_PERIOD_US = 100000;

inline int64_t packet_us(int64_t payload_bytes, bool encrypted = false) {
  return (payload_bytes + PACKET_OVERHEAD_BYTES + (encrypted ? ENCRYPTION_OVERHEAD_BYTES : 0)) *
         US_PER_BYTE;
}

// Bytes on the link for an ATT PDU of `att_bytes` (header included).
inline int64_t link_bytes(int64_t att_bytes) {
  return att_bytes + L2CAP_HEADER_BYTES;
}

// Splits `bytes` into packets of at most `data_length` bytes.
inline std::vector<int64_t> fragments(int64_t bytes, int32_t data_length) {
  std::vector<int64_t> sizes;
  for (int64_t left = bytes; left > 0; left -= std::min<int64_t>(left, data_length))
    sizes.push_back(std::min<int64_t>(left, data_length));
  return sizes;
}

// One connection event: the central's packets and the peripheral's, paired
// into exchanges. Gives when each packet ends, from the event's start, and
// how long the event holds the radio.
struct event_timeline {
  std::vector<int64_t> central_end_us;
  std::vector<int64_t> peripheral_end_us;
  int64_t airtime_us = 0;
};

inline event_timeline plan_event(const std::vector<int64_t>& central,
                                 const std::vector<int64_t>& peripheral) {
  event_timeline plan;
  size_t exchanges = std::max<size_t>({central.size(), peripheral.size(), 1});
  int64_t t = 0;
  for (size_t i = 0; i < exchanges; ++i) {
    if (i > 0) t += INTER_FRAME_SPACE_US;
    t += i < central.size() ? packet_us(central[i]) : EMPTY_PACKET_US;
    if (i < central.size()) plan.central_end_us.push_back(t);
    t += INTER_FRAME_SPACE_US;
    t += i < peripheral.size() ? packet_us(peripheral[i]) : EMPTY_PACKET_US;
    if (i < peripheral.size()) plan.peripheral_end_us.push_back(t);
  }
  plan.airtime_us = t;
  return plan;
}

// The eighth of the interval the adapter gives the k-th link (from 0) when
// links come up one after another and none goes: the free one farthest from
// those taken, the earliest of equals.
inline int slot_of_link(int k) {
  static constexpr int ORDER[SLOTS_PER_INTERVAL] = {0, 4, 2, 6, 1, 3, 5, 7};
  return ORDER[k % SLOTS_PER_INTERVAL];
}

// Frames a second that `links` links of the same interval and data length
// deliver together, each doing what the program does per frame (write
// without response, wait for the status, pause 10 ms), over `seconds` of
// simulated time; with `scanning`, beside a scanner's windows.
inline double model_frames_per_second(int links, double interval_ms, int32_t data_length,
                                      double seconds = 20, bool scanning = false) {
  const int64_t interval_us = static_cast<int64_t>(interval_ms * 1000 + 0.5);
  const auto write = fragments(link_bytes(ATT_HEADER_BYTES + UPDATE_FRAME_BYTES), data_length);
  const auto status = fragments(link_bytes(ATT_HEADER_BYTES + 2), data_length);
  const event_timeline write_event = plan_event(write, {});
  const event_timeline status_event = plan_event({}, status);
  const event_timeline empty_event = plan_event({}, {});
  struct link_state {
    int64_t next_event;
    std::optional<int64_t> write_ready;   // the program's next frame
    std::optional<int64_t> status_ready;  // the device's reply
    int64_t skips = 0;
  };
  std::vector<link_state> state;
  for (int k = 0; k < links; ++k) {
    int64_t anchor = interval_us * slot_of_link(k) / SLOTS_PER_INTERVAL;
    state.push_back({anchor, anchor, std::nullopt});
  }
  const int64_t end_us = static_cast<int64_t>(seconds * 1e6);
  int64_t busy_until = 0, frames = 0;
  int64_t next_scan_window = 0;
  for (;;) {
    int64_t t = end_us;
    for (const auto& link : state) t = std::min(t, link.next_event);
    if (scanning) t = std::min(t, next_scan_window);
    if (t >= end_us) break;
    std::vector<link_state*> due;
    for (auto& link : state)
      if (link.next_event == t) due.push_back(&link);
    std::stable_sort(due.begin(), due.end(),
                     [](const link_state* a, const link_state* b) { return a->skips > b->skips; });
    for (link_state* link : due) {
      link->next_event += interval_us;
      if (t < busy_until) {
        ++link->skips;
        continue;
      }
      bool writes = link->write_ready && *link->write_ready <= t;
      bool replies = !writes && link->status_ready && *link->status_ready <= t;
      const event_timeline& event = writes ? write_event : replies ? status_event : empty_event;
      busy_until = t + event.airtime_us;
      if (writes) {
        link->write_ready.reset();
        link->status_ready = t + interval_us;
      } else if (replies) {
        link->status_ready.reset();
        ++frames;
        link->write_ready = t + event.peripheral_end_us.back() + PROGRAM_PAUSE_US;
      }
    }
    // A scan window is bound to no anchor: it waits for the radio to be free.
    if (scanning && next_scan_window <= t) {
      if (t < busy_until) {
        next_scan_window = busy_until;
      } else {
        busy_until = t + SCAN_WINDOW_US;
        next_scan_window = t + SCAN_WINDOW_PERIOD_US;
      }
    }
  }
  return static_cast<double>(frames) / seconds;
}

}  // namespace sim::radio
