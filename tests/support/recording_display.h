// A display_sink that keeps everything the program showed, in order, for
// tests to inspect. Thread-safe: the worker and library threads report into
// it while the test thread reads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "display/display.h"

struct recorded_event {
  enum kind_t {
    text_set,
    progress,
    connection_state,
    connect_progress,
    connect_end,
    row,  // a request to catch up with the device list
    clear,
    box
  };
  kind_t kind = text_set;
  display_window window = display_window::none;
  int control = 0;
  std::string text;    // text, step text, MAC, box text
  std::string detail;  // box caption
  uint32_t value = 0;  // progress position, connected flag
  box_icon icon = box_icon::none;
};

struct recorded_row {
  std::string mac, name, rssi;
};

struct recorded_box {
  display_window owner;
  std::string text, caption;
  box_icon icon;
};

class recording_display final : public display_sink {
 public:
  recording_display();            // installs itself as the process's sink
  ~recording_display() override;  // restores the null sink

  // Whether the connection-progress dialog counts as open (default: open).
  void set_connect_progress_open(bool open);
  // The path an update takes, as from the main window's path field.
  void set_path_field(std::string path);
  // Every `every`-th request about device rows fails, as a post to a full
  // queue does (0: none fails).
  void fail_row_posts_every(int every);
  // By default the recorder takes the device list's changes at once, on the
  // scan thread. Held, it only counts the requests, and the test takes the
  // changes when it likes with take_device_rows, as a slow UI thread would.
  void hold_device_rows(bool held);
  void take_device_rows();
  int device_row_requests_pending() const;
  // Runs inside message_box on the caller's thread before it returns (for
  // tests that hold the worker in a box).
  void on_message_box(std::function<void(const recorded_box&)> hook);

  std::vector<recorded_event> events() const;
  std::vector<recorded_row> rows() const;
  std::vector<recorded_box> boxes() const;
  std::vector<uint32_t> progress_values(display_window window, int control) const;
  // (position, text) of every shown connection-progress report.
  std::vector<std::pair<uint32_t, std::string>> connect_reports() const;
  std::string text_of(display_window window, int control) const;
  std::vector<std::string> texts_set(display_window window, int control) const;
  int connect_ends() const;
  bool connected_shown() const;  // the latest show_connection_state value
  int connection_state_calls() const;
  void clear_record();

  void set_text_if_different(display_window window, int control_id, const char* text) override;
  void set_progress(display_window window, int control_id, uint32_t position) override;
  void show_connection_state(bool connected, const std::string& device_info) override;
  void show_transfer_progress(const transfer_progress& progress, bool running) override;
  bool show_connect_progress(uint32_t position, const char* text) override;
  void end_connect_progress() override;
  bool device_rows_changed() override;
  void clear_device_rows() override;
  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override;

  // Makes this recorder the process's display and the source of the update's
  // path again (after another took over).
  void install();
  // The transfer progress shown, in order; the last one ends the transfer.
  std::vector<std::pair<transfer_progress, bool>> transfer_updates() const;

 private:
  mutable std::mutex lock_;
  std::vector<recorded_event> events_;
  std::map<std::pair<int, int>, std::string> texts_;
  std::vector<recorded_row> rows_;
  std::vector<recorded_box> boxes_;
  bool connect_progress_open_ = true;
  bool connected_ = false;
  std::string path_;
  std::vector<std::pair<transfer_progress, bool>> transfers_;
  std::function<void(const recorded_box&)> box_hook_;
  int fail_row_posts_every_ = 0;
  int row_posts_ = 0;
  bool rows_held_ = false;
  int row_requests_pending_ = 0;
  // Serialises takes: the UI thread that a take stands for is one thread.
  std::mutex take_lock_;
};

// A sink that hands every call on to its recorder, for tests that watch
// some calls more closely: they override those and hand them on too.
class relaying_display : public display_sink {
 public:
  relaying_display() { set_display_sink(this); }  // replaces the recorder just installed
  ~relaying_display() override { set_display_sink(nullptr); }

  recording_display record;

  void set_text_if_different(display_window window, int control_id, const char* text) override {
    record.set_text_if_different(window, control_id, text);
  }
  void set_progress(display_window window, int control_id, uint32_t position) override {
    record.set_progress(window, control_id, position);
  }
  void show_connection_state(bool connected, const std::string& device_info) override {
    record.show_connection_state(connected, device_info);
  }
  void show_transfer_progress(const transfer_progress& progress, bool running) override {
    record.show_transfer_progress(progress, running);
  }
  bool show_connect_progress(uint32_t position, const char* text) override {
    return record.show_connect_progress(position, text);
  }
  void end_connect_progress() override { record.end_connect_progress(); }
  bool device_rows_changed() override { return record.device_rows_changed(); }
  void clear_device_rows() override { record.clear_device_rows(); }
  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override {
    record.message_box(owner, text, caption, icon);
  }
};
