// A manual-reset event private to this process. The program's waits follow
// the semantics of the Windows objects they stand for (set, reset, pulse),
// but nothing here has a system-wide name, so two running copies of the
// program can never wake each other or judge each other's operations.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class manual_event {
 public:
  manual_event() = default;
  manual_event(const manual_event&) = delete;
  manual_event& operator=(const manual_event&) = delete;

  // Signals the event; it stays signalled until reset, releasing every
  // waiter, present and future.
  void set();

  // Returns the event to non-signalled.
  void reset();

  // Releases the threads that are waiting at this instant and leaves the
  // event non-signalled: a thread that starts waiting just after the pulse
  // does not see it.
  void pulse();

  // Waits at most `nominal_ms` (program time, see clock.h). True when the
  // event was set or pulsed, false on time-out.
  bool wait_ms(uint32_t nominal_ms);

  bool is_set() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool signalled_ = false;
  uint64_t pulses_ = 0;
};
