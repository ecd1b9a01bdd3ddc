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

class stamped_display final : public display_sink {
 public:
  stamped_display();
  ~stamped_display() override;

  recording_display record;  // installs itself first; then this replaces it

  // Runs inside every status-line call, after it was recorded.
  void on_status(std::function<void(const std::string&)> hook);
  std::vector<status_call> status_calls() const;
  size_t status_calls_of(const std::string& text) const;

  void set_text_if_different(display_window window, int control_id, const char* text) override;
  void set_progress(display_window w, int id, uint32_t position) override {
    record.set_progress(w, id, position);
  }
  void show_connection_state(bool connected) override { record.show_connection_state(connected); }
  bool show_connect_progress(uint32_t position, const char* text) override {
    return record.show_connect_progress(position, text);
  }
  void end_connect_progress() override { record.end_connect_progress(); }
  void put_device_row(uint64_t g, int i, bool n, const char* m, const char* na,
                      const char* r) override {
    record.put_device_row(g, i, n, m, na, r);
  }
  void clear_device_rows() override { record.clear_device_rows(); }
  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override {
    record.message_box(owner, text, caption, icon);
  }
  std::string read_path_field() override { return record.read_path_field(); }

 private:
  mutable std::mutex lock_;
  std::vector<status_call> calls_;
  std::function<void(const std::string&)> hook_;
};
