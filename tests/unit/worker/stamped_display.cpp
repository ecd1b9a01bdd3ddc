#include "tests/unit/worker/stamped_display.h"

#include "platform/clock.h"

void stamped_display::on_status(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> hold(lock_);
  hook_ = std::move(hook);
}

std::vector<status_call> stamped_display::status_calls() const {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

size_t stamped_display::status_calls_of(const std::string& text) const {
  size_t count = 0;
  for (const auto& call : status_calls()) count += call.text == text;
  return count;
}

void stamped_display::set_text_if_different(display_window window, int control_id,
                                            const char* text) {
  record.set_text_if_different(window, control_id, text);
  if (window != display_window::main || control_id != IDC_STATUS_LINE) return;
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back({text, tick_count_ms()});
    hook = hook_;
  }
  if (hook) hook(text);
}
