#include "tests/support/recording_display.h"

#include "device/device_list.h"
#include "device/firmware_update.h"

namespace {
constexpr int ROWS_PER_TAKE = 16;

recorded_event make_event(recorded_event::kind_t kind, display_window window, int control = 0,
                          const char* text = "") {
  recorded_event e;
  e.kind = kind;
  e.window = window;
  e.control = control;
  e.text = text;
  return e;
}
}  // namespace

recording_display::recording_display() {
  install();
}

recording_display::~recording_display() {
  set_display_sink(nullptr);
  set_update_path_reader(nullptr);
}

void recording_display::install() {
  set_display_sink(this);
  set_update_path_reader([this] {
    std::lock_guard<std::mutex> hold(lock_);
    return path_;
  });
}

void recording_display::set_connect_progress_open(bool open) {
  std::lock_guard<std::mutex> hold(lock_);
  connect_progress_open_ = open;
}

void recording_display::set_path_field(std::string path) {
  std::lock_guard<std::mutex> hold(lock_);
  path_ = std::move(path);
}

void recording_display::fail_row_posts_every(int every) {
  std::lock_guard<std::mutex> hold(lock_);
  fail_row_posts_every_ = every;
}

void recording_display::on_message_box(std::function<void(const recorded_box&)> hook) {
  std::lock_guard<std::mutex> hold(lock_);
  box_hook_ = std::move(hook);
}

std::vector<recorded_event> recording_display::events() const {
  std::lock_guard<std::mutex> hold(lock_);
  return events_;
}

std::vector<recorded_row> recording_display::rows() const {
  std::lock_guard<std::mutex> hold(lock_);
  return rows_;
}

std::vector<recorded_box> recording_display::boxes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return boxes_;
}

std::vector<uint32_t> recording_display::progress_values(display_window window, int control) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<uint32_t> values;
  for (const auto& e : events_)
    if (e.kind == recorded_event::progress && e.window == window && e.control == control)
      values.push_back(e.value);
  return values;
}

std::vector<std::pair<uint32_t, std::string>> recording_display::connect_reports() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::pair<uint32_t, std::string>> reports;
  for (const auto& e : events_)
    if (e.kind == recorded_event::connect_progress) reports.emplace_back(e.value, e.text);
  return reports;
}

std::string recording_display::text_of(display_window window, int control) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = texts_.find({static_cast<int>(window), control});
  return it == texts_.end() ? std::string() : it->second;
}

std::vector<std::string> recording_display::texts_set(display_window window, int control) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> texts;
  for (const auto& e : events_)
    if (e.kind == recorded_event::text_set && e.window == window && e.control == control)
      texts.push_back(e.text);
  return texts;
}

int recording_display::connect_ends() const {
  std::lock_guard<std::mutex> hold(lock_);
  int count = 0;
  for (const auto& e : events_) count += e.kind == recorded_event::connect_end;
  return count;
}

bool recording_display::connected_shown() const {
  std::lock_guard<std::mutex> hold(lock_);
  return connected_;
}

int recording_display::connection_state_calls() const {
  std::lock_guard<std::mutex> hold(lock_);
  int count = 0;
  for (const auto& e : events_) count += e.kind == recorded_event::connection_state;
  return count;
}

void recording_display::clear_record() {
  std::lock_guard<std::mutex> hold(lock_);
  events_.clear();
  boxes_.clear();
  transfers_.clear();
}

void recording_display::set_text_if_different(display_window window, int control_id,
                                              const char* text) {
  std::lock_guard<std::mutex> hold(lock_);
  std::string& shown = texts_[{static_cast<int>(window), control_id}];
  if (shown == text) return;
  shown = text;
  events_.push_back(make_event(recorded_event::text_set, window, control_id, text));
}

void recording_display::set_progress(display_window window, int control_id, uint32_t position) {
  std::lock_guard<std::mutex> hold(lock_);
  recorded_event e = make_event(recorded_event::progress, window, control_id);
  e.value = position;
  events_.push_back(e);
}

void recording_display::show_connection_state(bool connected, const std::string& device_info) {
  std::lock_guard<std::mutex> hold(lock_);
  connected_ = connected;
  recorded_event e = make_event(recorded_event::connection_state, display_window::main);
  e.value = connected;
  e.text = device_info;
  events_.push_back(e);
}

void recording_display::show_transfer_progress(const transfer_progress& progress, bool running) {
  std::lock_guard<std::mutex> hold(lock_);
  transfers_.emplace_back(progress, running);
}

std::vector<std::pair<transfer_progress, bool>> recording_display::transfer_updates() const {
  std::lock_guard<std::mutex> hold(lock_);
  return transfers_;
}

bool recording_display::show_connect_progress(uint32_t position, const char* text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!connect_progress_open_) return false;
  recorded_event e = make_event(recorded_event::connect_progress, display_window::connect_progress,
                                IDC_CONNECT_PROGRESS, text);
  e.value = position;
  events_.push_back(e);
  return true;
}

void recording_display::end_connect_progress() {
  std::lock_guard<std::mutex> hold(lock_);
  events_.push_back(make_event(recorded_event::connect_end, display_window::connect_progress));
}

bool recording_display::device_rows_changed() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (fail_row_posts_every_ && ++row_posts_ % fail_row_posts_every_ == 0) return false;
    ++row_requests_pending_;
    events_.push_back(make_event(recorded_event::row, display_window::none, IDC_DEVICE_LIST));
    if (rows_held_) return true;
  }
  take_device_rows();
  return true;
}

void recording_display::hold_device_rows(bool held) {
  std::lock_guard<std::mutex> hold(lock_);
  rows_held_ = held;
}

int recording_display::device_row_requests_pending() const {
  std::lock_guard<std::mutex> hold(lock_);
  return row_requests_pending_;
}

// What the UI thread does on a request: mirrors the model's changes into
// its rows, inserting the new ones in order.
void recording_display::take_device_rows() {
  bool more = false;
  {
    std::lock_guard<std::mutex> one_take(take_lock_);
    int shown = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      row_requests_pending_ = 0;
      shown = static_cast<int>(rows_.size());
    }
    // A few rows a turn, as the UI thread takes them, so that the turns the
    // model asks for are exercised too.
    const device_list_changes changes = device_list_take_changes(shown, ROWS_PER_TAKE);
    more = changes.more;
    std::lock_guard<std::mutex> hold(lock_);
    for (const device_list_row& row : changes.rows) {
      if (row.index == static_cast<int>(rows_.size())) rows_.push_back({row.mac, "", ""});
      if (row.index < 0 || row.index >= static_cast<int>(rows_.size())) continue;
      rows_[row.index].name = row.name;
      rows_[row.index].rssi = row.rssi;
    }
  }
  if (more) device_list_continue_catch_up();
}

void recording_display::clear_device_rows() {
  std::lock_guard<std::mutex> one_take(take_lock_);
  std::lock_guard<std::mutex> hold(lock_);
  rows_.clear();
  events_.push_back(make_event(recorded_event::clear, display_window::none, IDC_DEVICE_LIST));
}

void recording_display::message_box(display_window owner, const char* text, const char* caption,
                                    box_icon icon) {
  std::function<void(const recorded_box&)> hook;
  recorded_box box{owner, text, caption, icon};
  {
    std::lock_guard<std::mutex> hold(lock_);
    boxes_.push_back(box);
    recorded_event e = make_event(recorded_event::box, owner, 0, text);
    e.detail = caption;
    e.icon = icon;
    events_.push_back(e);
    hook = box_hook_;
  }
  if (hook) hook(box);
}
