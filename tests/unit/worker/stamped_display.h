// A recording display that also stamps every status-line call with the
// program tick and lets a test act inside it, on the caller's thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/recording_display.h"

struct status_call {
  std::string text;
  uint32_t tick_ms;
};

class stamped_display final : public relaying_display {
 public:
  // Runs inside every status-line call, after it was recorded.
  void on_status(std::function<void(const std::string&)> hook);
  std::vector<status_call> status_calls() const;
  size_t status_calls_of(const std::string& text) const;

  void set_text_if_different(display_window window, int control_id, const char* text) override;

 private:
  mutable std::mutex lock_;
  std::vector<status_call> calls_;
  std::function<void(const std::string&)> hook_;
};
