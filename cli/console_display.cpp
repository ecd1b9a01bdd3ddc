#include "cli/console_display.h"

#include <cstdio>

#include "device/firmware_update.h"
#include "device/transfer_meter.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t PERCENT_PER_LINE = 10;

// The bar runs to UPD_PACKET_PROGRESS_SPAN while packets go and jumps to
// PROGRESS_FULL once the device took the finish handshake: as a percentage
// of the image sent, the packets reach 99 % at most and the end is 100 %.
uint32_t percent_of(uint32_t position) {
  if (position >= PROGRESS_FULL) return 100;
  const uint32_t percent = position * 100 / UPD_PACKET_PROGRESS_SPAN;
  return percent > 99 ? 99 : percent;
}

nlohmann::ordered_json mac_or_null(const std::string& subject) {
  return subject.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(subject);
}

}  // namespace

console_display::console_display(console_output& output)
    : output_(output), line_(output.open_line()) {}

console_display::~console_display() {
  output_.close_line(line_);
}

console_display& console_display::instance() {
  static console_display* const sink = [] {
    auto* created = new console_display(console_output::instance());
    set_display_sink(created);
    return created;
  }();
  return *sink;
}

void console_display::attach(std::ostream& err, progress_style style, bool quiet) {
  output_.attach(err, style, quiet);
  std::lock_guard<std::mutex> hold(lock_);
  subject_.clear();
  connect_steps_.clear();
}

void console_display::detach() {
  output_.detach();
}

void console_display::set_subject(const std::string& subject) {
  std::lock_guard<std::mutex> hold(lock_);
  subject_ = subject;
}

void console_display::begin_transfer() {
  std::lock_guard<std::mutex> hold(lock_);
  last_event_ = {};
  packet_seen_ = false;
  percent_ = 0;
  lines_shown_ = 0;
  line_shown_ = false;
  pace_text_.clear();
  pace_ = 0;
}

void console_display::end_device() {
  output_.hide_line(line_);
}

double console_display::last_pace() const {
  std::lock_guard<std::mutex> hold(lock_);
  return pace_;
}

bool console_display::connect_step_time(uint32_t position, uint32_t& at_ms) const {
  std::lock_guard<std::mutex> hold(lock_);
  const auto step = connect_steps_.find(position);
  if (step == connect_steps_.end()) return false;
  at_ms = step->second;
  return true;
}

void console_display::forget_connect_steps() {
  std::lock_guard<std::mutex> hold(lock_);
  connect_steps_.clear();
}

void console_display::message(const std::string& text) {
  output_.message(text);
}

void console_display::error(const std::string& text, const std::string& code) {
  output_.error(text, code);
}

void console_display::event(nlohmann::ordered_json event) {
  if (!event.contains("mac")) {
    std::lock_guard<std::mutex> hold(lock_);
    event["mac"] = mac_or_null(subject_);
  }
  output_.event(event);
}

void console_display::show_progress_locked() {
  char head[32];
  snprintf(head, sizeof head, "%3u %%", static_cast<unsigned>(percent_));
  std::string line = subject_.empty() ? std::string(head) : subject_ + "  " + head;
  if (!pace_text_.empty() && percent_ < 100) line += "  " + pace_text_;
  line_shown_ = true;
  output_.show_line(line_, line);
}

// The status line's texts are traced by the core already; a console has
// no status line of its own.
void console_display::set_text_if_different(display_window, int, const char*) {}

void console_display::set_progress(display_window, int control_id, uint32_t position) {
  if (control_id != IDC_UPDATE_PROGRESS) return;
  const progress_style style = output_.style();
  if (style == progress_style::json || style == progress_style::none) return;
  std::lock_guard<std::mutex> hold(lock_);
  const uint32_t percent = percent_of(position);
  if (style == progress_style::lines) {
    percent_ = percent;
    if (percent / PERCENT_PER_LINE <= lines_shown_) return;
    lines_shown_ = percent / PERCENT_PER_LINE;
    percent_ = lines_shown_ * PERCENT_PER_LINE;
    // A line is written once: it carries the pace as of the latest packet
    // the device accepted, not as of the last in-place refresh.
    if (packet_seen_) {
      const std::string pace = rate_and_time_left_text(latest_step_);
      if (!pace.empty()) pace_text_ = pace;
    }
    show_progress_locked();
    return;
  }
  if (percent == percent_ && line_shown_) return;
  percent_ = percent;
  show_progress_locked();
}

void console_display::show_connection_state(bool, const std::string&) {}

// Always taken, so that the core traces each step (seen with --verbose);
// their times split a connection into its phases for the batch figures.
bool console_display::show_connect_progress(uint32_t position, const char*) {
  std::lock_guard<std::mutex> hold(lock_);
  connect_steps_[position] = tick_count_ms();
  return true;
}

void console_display::end_connect_progress() {}

void console_display::show_transfer_progress(const transfer_progress& progress, bool running) {
  if (!running) return;
  std::lock_guard<std::mutex> hold(lock_);
  if (progress.bytes_per_second > 0) pace_ = progress.bytes_per_second;
  const std::string text = rate_and_time_left_text(progress);
  if (text == pace_text_ || output_.style() == progress_style::json) return;
  pace_text_ = text;
  // A line per 10 % carries the pace it had then; in place, it follows.
  if (output_.style() == progress_style::in_place && line_shown_) show_progress_locked();
}

bool console_display::packet_times(uint32_t& first_ms, uint32_t& last_ms) const {
  std::lock_guard<std::mutex> hold(lock_);
  first_ms = first_packet_ms_;
  last_ms = last_packet_ms_;
  return packet_seen_;
}

void console_display::show_transfer_step(const transfer_progress& progress) {
  std::lock_guard<std::mutex> hold(lock_);
  const uint32_t now_ms = tick_count_ms();
  if (!packet_seen_) first_packet_ms_ = now_ms;
  last_packet_ms_ = now_ms;
  packet_seen_ = true;
  latest_step_ = progress;
  if (output_.style() != progress_style::json) return;
  const auto now = std::chrono::steady_clock::now();
  const bool last = progress.total_bytes > 0 && progress.sent_bytes >= progress.total_bytes;
  if (!last && now - last_event_ < PROGRESS_EVENT_INTERVAL) return;
  last_event_ = now;
  nlohmann::ordered_json event;
  event["event"] = "progress";
  event["mac"] = mac_or_null(subject_);
  event["bytes_sent"] = progress.sent_bytes;
  event["bytes_total"] = progress.total_bytes;
  event["percent"] =
      progress.total_bytes ? progress.sent_bytes * 100 / progress.total_bytes : uint64_t{0};
  event["bytes_per_second"] =
      progress.bytes_per_second > 0
          ? nlohmann::ordered_json(static_cast<uint64_t>(progress.bytes_per_second + 0.5))
          : nlohmann::ordered_json();
  event["seconds_left"] = progress.seconds_left >= 0 ? nlohmann::ordered_json(progress.seconds_left)
                                                     : nlohmann::ordered_json();
  output_.event(event);
}

// Scans are read by the command itself, which takes the list's changes at
// every poll of its search; the request counts as handed on.
bool console_display::device_rows_changed() {
  return true;
}

void console_display::clear_device_rows() {}

// The command line never runs the code that raises boxes; should one come,
// its text is still said rather than lost.
void console_display::message_box(display_window, const char* text, const char* caption, box_icon) {
  output_.error(std::string(caption ? caption : "") + ": " + (text ? text : ""), "message_box");
}

std::unique_ptr<session_view> console_fleet_output::open_view() {
  return std::make_unique<console_display>(console_output::instance());
}

void console_fleet_output::show_together() {
  console_output::instance().use_block(cursor_movement_);
}

void console_fleet_output::set_total(const std::string& text) {
  console_output::instance().set_total(text);
}
