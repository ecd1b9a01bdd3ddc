#include "platform/event.h"

#include "platform/clock.h"

void manual_event::set() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void manual_event::reset() {
  std::lock_guard<std::mutex> hold(lock_);
  signalled_ = false;
}

void manual_event::pulse() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++pulses_;
  }
  changed_.notify_all();
}

bool manual_event::wait_ms(uint32_t nominal_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  const uint64_t pulses_at_start = pulses_;
  return changed_.wait_for(hold, real_duration(nominal_ms),
                           [&] { return signalled_ || pulses_ != pulses_at_start; });
}

bool manual_event::is_set() const {
  std::lock_guard<std::mutex> hold(lock_);
  return signalled_;
}
