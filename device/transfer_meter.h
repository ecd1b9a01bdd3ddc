// The speed of a transfer and the time it has left, as a user reads them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "display/display.h"

// How far back the rate looks: long enough to smooth out the pace of single
// packets, short enough to follow a link that slows down.
constexpr uint32_t TRANSFER_RATE_WINDOW_MS = 5000;

class transfer_meter {
 public:
  void start(uint64_t total_bytes, uint32_t now_ms);
  // `sent_bytes` of the image have been accepted by `now_ms` (program time).
  void sample(uint64_t sent_bytes, uint32_t now_ms);
  transfer_progress progress() const;

 private:
  struct point {
    uint64_t sent;
    uint32_t at_ms;
  };
  uint64_t total_ = 0;
  std::deque<point> points_;
};

// "7.9 kB/s, 1:12 left" (kB of 1000 bytes; h:mm:ss from an hour on); empty
// while the rate is not known.
std::string rate_and_time_left_text(const transfer_progress& progress);
