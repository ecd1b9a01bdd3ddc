// What the core shows of one device, said on the console: the transfer's
// progress (a line per 10 %, or drawn in place on a terminal, or JSON
// events), and the command's messages and events about that device.
// Results go elsewhere. A command serving one device at a time uses the
// process's own (instance(), installed as the display); one serving several
// at once gives each device a display of its own over the same console.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/console_output.h"
#include "fleet/fleet_view.h"

// How often a transfer's progress event goes out at most, in real time (a
// program reading the stream wants a live figure, not a flood).
constexpr std::chrono::milliseconds PROGRESS_EVENT_INTERVAL{250};

class console_display final : public session_view {
 public:
  explicit console_display(console_output& output);
  ~console_display() override;
  console_display(const console_display&) = delete;
  console_display& operator=(const console_display&) = delete;

  // The process's own, over console_output::instance(), installed as the
  // display at the first call. Never destroyed: a library thread may still
  // report a scan result to it while the process ends.
  static console_display& instance();

  // Where the console's messages and progress go until detach; `quiet`
  // keeps everything but errors off it.
  void attach(std::ostream& err, progress_style style, bool quiet);
  void detach();

  // What the progress line is about (a MAC), shown at its head.
  void set_subject(const std::string& subject) override;
  // A new transfer starts: its progress and pace start afresh.
  void begin_transfer() override;
  // Done with a device: its progress line, drawn among others, goes.
  void end_device() override;
  // The pace last measured while the latest transfer ran; 0 when none was.
  double last_pace() const;

  // Program time (tick_count_ms) of the first and the last packet the
  // device accepted in the latest transfer; false when it accepted none.
  bool packet_times(uint32_t& first_ms, uint32_t& last_ms) const override;

  // Program time (tick_count_ms) at which the latest connection reported
  // the step at `position`; false when it did not report it.
  bool connect_step_time(uint32_t position, uint32_t& at_ms) const override;
  void forget_connect_steps() override;

  // A line for the user, kept off by --quiet (and off a JSON stream).
  void message(const std::string& text) override;
  // A line that is shown however quiet the command is; on a JSON stream an
  // "error" event with `code`.
  void error(const std::string& text, const std::string& code) override;
  // One event of the JSON stream (its "event" key first), with the MAC this
  // display is about unless the event names one; nothing in other styles.
  void event(nlohmann::ordered_json event) override;

  void set_text_if_different(display_window window, int control_id, const char* text) override;
  void set_progress(display_window window, int control_id, uint32_t position) override;
  void show_connection_state(bool connected, const std::string& device_info) override;
  bool show_connect_progress(uint32_t position, const char* text) override;
  void end_connect_progress() override;
  void show_transfer_progress(const transfer_progress& progress, bool running) override;
  void show_transfer_step(const transfer_progress& progress) override;
  bool device_rows_changed() override;
  void clear_device_rows() override;
  void message_box(display_window owner, const char* text, const char* caption,
                   box_icon icon) override;

 private:
  void show_progress_locked();

  console_output& output_;
  const size_t line_;  // its progress line on the console
  mutable std::mutex lock_;
  std::string subject_;
  uint32_t percent_ = 0;
  uint32_t lines_shown_ = 0;  // tens of percent already shown as lines
  bool line_shown_ = false;   // drawn in place since the transfer began
  std::string pace_text_;
  double pace_ = 0;
  std::map<uint32_t, uint32_t> connect_steps_;
  std::chrono::steady_clock::time_point last_event_{};
  bool packet_seen_ = false;
  transfer_progress latest_step_;
  uint32_t first_packet_ms_ = 0;
  uint32_t last_packet_ms_ = 0;
};

// The console's side of a run serving several devices at once: a display
// of its own for each worker, drawn together as a block on a terminal that
// takes cursor movements.
class console_fleet_output final : public fleet_output {
 public:
  explicit console_fleet_output(bool cursor_movement) : cursor_movement_(cursor_movement) {}
  std::unique_ptr<session_view> open_view() override;
  void show_together() override;
  void set_total(const std::string& text) override;

 private:
  bool cursor_movement_;
};
