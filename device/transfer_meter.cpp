#include "device/transfer_meter.h"

#include <cmath>
#include <cstdio>

void transfer_meter::start(uint64_t total_bytes, uint32_t now_ms) {
  total_ = total_bytes;
  points_.clear();
  points_.push_back({0, now_ms});
}

void transfer_meter::sample(uint64_t sent_bytes, uint32_t now_ms) {
  points_.push_back({sent_bytes, now_ms});
  // Keep one point at or before the window's start, so the rate always
  // spans the whole window once there is one.
  while (points_.size() > 2 &&
         static_cast<uint32_t>(now_ms - points_[1].at_ms) >= TRANSFER_RATE_WINDOW_MS)
    points_.pop_front();
}

transfer_progress transfer_meter::progress() const {
  transfer_progress progress;
  progress.total_bytes = total_;
  if (points_.empty()) return progress;
  const point& first = points_.front();
  const point& last = points_.back();
  progress.sent_bytes = last.sent;
  const uint32_t span_ms = last.at_ms - first.at_ms;
  if (span_ms == 0 || last.sent <= first.sent) return progress;
  progress.bytes_per_second = (last.sent - first.sent) * 1000.0 / span_ms;
  const uint64_t left = total_ > last.sent ? total_ - last.sent : 0;
  progress.seconds_left = static_cast<int64_t>(std::ceil(left / progress.bytes_per_second));
  return progress;
}

std::string rate_and_time_left_text(const transfer_progress& progress) {
  if (progress.bytes_per_second <= 0 || progress.seconds_left < 0) return {};
  const int64_t left = progress.seconds_left;
  char time_left[32];
  if (left >= 3600) {
    snprintf(time_left, sizeof time_left, "%lld:%02lld:%02lld", static_cast<long long>(left / 3600),
             static_cast<long long>(left / 60 % 60), static_cast<long long>(left % 60));
  } else {
    snprintf(time_left, sizeof time_left, "%lld:%02lld", static_cast<long long>(left / 60),
             static_cast<long long>(left % 60));
  }
  char text[64];
  snprintf(text, sizeof text, "%.1f kB/s, %s left", progress.bytes_per_second / 1000.0, time_left);
  return text;
}
