// A display that keeps only what the benchmarks read back (the latest box,
// the moments the packets began and ended), so that its own memory and time
// stay out of the figures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "device/firmware_update.h"
#include "display/display.h"

class quiet_display final : public display_sink {
 public:
  using clock = std::chrono::steady_clock;

  explicit quiet_display(std::string path) : path_(std::move(path)) {
    set_display_sink(this);
    set_update_path_reader([this] { return path_; });
  }

  void set_text_if_different(display_window, int control_id, const char* text) override {
    if (control_id != IDC_STATUS_LINE) return;
    if (strcmp(text, "Progress 0\n") == 0) packets_began_ = clock::now();
    if (strcmp(text, "CRC32\n") == 0) packets_ended_ = clock::now();
  }
  void set_progress(display_window, int, uint32_t) override {}
  void show_connection_state(bool, const std::string&) override {}
  void show_transfer_progress(const transfer_progress&, bool) override {}
  bool show_connect_progress(uint32_t, const char*) override { return false; }
  void end_connect_progress() override {}
  bool device_rows_changed() override { return false; }
  void clear_device_rows() override {}
  void message_box(display_window, const char*, const char* caption, box_icon) override {
    std::lock_guard<std::mutex> hold(lock_);
    last_caption_ = caption;
  }

  std::string last_caption() {
    std::lock_guard<std::mutex> hold(lock_);
    return last_caption_;
  }
  // Worker-thread values, read after the transfer returned on that thread.
  clock::duration packet_phase() const { return packets_ended_ - packets_began_; }

 private:
  std::string path_;
  std::mutex lock_;
  std::string last_caption_;
  clock::time_point packets_began_{};
  clock::time_point packets_ended_{};
};
