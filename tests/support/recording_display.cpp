#include "tests/support/recording_display.h"

namespace {
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
  set_display_sink(this);
}

recording_display::~recording_display() {
  set_display_sink(nullptr);
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

void recording_display::show_connection_state(bool connected) {
  std::lock_guard<std::mutex> hold(lock_);
  connected_ = connected;
  recorded_event e = make_event(recorded_event::connection_state, display_window::main);
  e.value = connected;
  events_.push_back(e);
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

void recording_display::put_device_row(uint64_t, int index, bool is_new, const char* mac,
                                       const char* name, const char* rssi_text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (fail_row_posts_every_ && ++row_posts_ % fail_row_posts_every_ == 0) return;
  if (is_new) rows_.insert(rows_.begin() + std::min<size_t>(index, rows_.size()), {mac, "", ""});
  if (index >= 0 && static_cast<size_t>(index) < rows_.size()) {
    rows_[index].name = name;
    rows_[index].rssi = rssi_text;
  }
  recorded_event e = make_event(recorded_event::row, display_window::none, IDC_DEVICE_LIST, mac);
  e.detail = name;
  e.extra = rssi_text;
  e.value = static_cast<uint32_t>(index);
  events_.push_back(e);
}

void recording_display::clear_device_rows() {
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

std::string recording_display::read_path_field() {
  std::lock_guard<std::mutex> hold(lock_);
  return path_;
}
