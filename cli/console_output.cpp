#include "cli/console_output.h"

#include <algorithm>

namespace {

// Cursor movements of a terminal (ECMA-48), for the block of lines.
constexpr char CLEAR_TO_END_OF_LINE[] = "\x1b[K";
constexpr char CLEAR_TO_END_OF_SCREEN[] = "\x1b[J";

std::string rows_up(size_t rows) {
  return "\x1b[" + std::to_string(rows) + "A";
}

}  // namespace

console_output& console_output::instance() {
  static console_output* const output = new console_output;
  return *output;
}

void console_output::attach(std::ostream& err, progress_style style, bool quiet) {
  std::lock_guard<std::mutex> hold(lock_);
  err_ = &err;
  style_ = style;
  quiet_ = quiet;
  block_ = false;
  lines_.clear();
  total_.clear();
  drawn_rows_ = 0;
  line_length_ = 0;
}

void console_output::detach() {
  std::lock_guard<std::mutex> hold(lock_);
  if (err_ && line_length_ != 0) *err_ << '\n' << std::flush;
  if (err_ && block_ && drawn_rows_ != 0) *err_ << '\n' << std::flush;
  line_length_ = 0;
  drawn_rows_ = 0;
  err_ = nullptr;
  style_ = progress_style::none;
  block_ = false;
}

progress_style console_output::style() const {
  std::lock_guard<std::mutex> hold(lock_);
  return style_;
}

bool console_output::quiet() const {
  std::lock_guard<std::mutex> hold(lock_);
  return quiet_;
}

bool console_output::use_block(bool cursor_movement_works) {
  std::lock_guard<std::mutex> hold(lock_);
  if (style_ != progress_style::in_place) return false;
  if (!cursor_movement_works) {
    // A console that shows cursor movements as text: a line per 10 %.
    style_ = progress_style::lines;
    return false;
  }
  block_ = true;
  return true;
}

void console_output::message(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_ || quiet_ || style_ == progress_style::json) return;
  say_locked(text);
}

void console_output::error(const std::string& text, const std::string& code) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_) return;
  if (style_ != progress_style::json) {
    say_locked(text);
    return;
  }
  // The program's name heads a line for a person only.
  const std::string head = "tavren-update: ";
  const std::string message = text.rfind(head, 0) == 0 ? text.substr(head.size()) : text;
  *err_ << nlohmann::ordered_json{{"event", "error"},
                                  {"mac", nullptr},
                                  {"code", code},
                                  {"message", message}}
               .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
        << '\n'
        << std::flush;
}

// One line, flushed at once: a reader may act on every line as it comes.
void console_output::event(const nlohmann::ordered_json& event) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_ || quiet_ || style_ != progress_style::json) return;
  *err_ << event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n'
        << std::flush;
}

size_t console_output::open_line() {
  std::lock_guard<std::mutex> hold(lock_);
  const size_t id = next_id_++;
  if (block_) lines_.push_back({id, std::string()});
  return id;
}

void console_output::show_line(size_t id, const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_ || quiet_) return;
  if (style_ == progress_style::lines) {
    *err_ << text << '\n' << std::flush;
    return;
  }
  if (style_ != progress_style::in_place) return;
  if (block_) {
    for (progress_line& line : lines_) {
      if (line.id == id) line.text = text;
    }
    draw_locked();
    return;
  }
  // One device: its line, rewritten; blanks wipe what a longer line before
  // it left behind.
  std::string line = text;
  const size_t length = line.size();
  if (length < line_length_) line.append(line_length_ - length, ' ');
  *err_ << '\r' << line << std::flush;
  line_length_ = length > 0 ? length : 1;
}

void console_output::close_line(size_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!block_) return;
  lines_.erase(std::remove_if(lines_.begin(), lines_.end(),
                              [id](const progress_line& line) { return line.id == id; }),
               lines_.end());
  if (err_ && !quiet_ && style_ == progress_style::in_place) draw_locked();
}

void console_output::hide_line(size_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!block_) return;
  for (progress_line& line : lines_) {
    if (line.id == id) line.text.clear();
  }
  if (err_ && !quiet_ && style_ == progress_style::in_place) draw_locked();
}

void console_output::set_total(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  total_ = text;
  if (block_ && err_ && !quiet_ && style_ == progress_style::in_place) draw_locked();
}

void console_output::say_locked(const std::string& text) {
  if (block_) {
    erase_locked();
    *err_ << text << '\n';
    draw_locked();
    return;
  }
  if (line_length_ != 0) {
    *err_ << '\n';
    line_length_ = 0;
  }
  *err_ << text << '\n' << std::flush;
}

void console_output::erase_locked() {
  if (drawn_rows_ == 0) return;
  if (drawn_rows_ > 1) *err_ << rows_up(drawn_rows_ - 1);
  *err_ << '\r' << CLEAR_TO_END_OF_SCREEN;
  drawn_rows_ = 0;
}

void console_output::draw_locked() {
  if (quiet_ || style_ != progress_style::in_place) return;
  std::vector<const std::string*> rows;
  for (const progress_line& line : lines_) {
    if (!line.text.empty()) rows.push_back(&line.text);
  }
  if (!total_.empty()) rows.push_back(&total_);
  if (drawn_rows_ > 1) *err_ << rows_up(drawn_rows_ - 1);
  *err_ << '\r';
  for (size_t i = 0; i < rows.size(); ++i) {
    *err_ << *rows[i] << CLEAR_TO_END_OF_LINE;
    if (i + 1 < rows.size()) *err_ << '\n';
  }
  if (rows.size() < drawn_rows_) *err_ << CLEAR_TO_END_OF_SCREEN;
  drawn_rows_ = rows.size();
  *err_ << std::flush;
}
