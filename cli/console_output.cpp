#include "cli/console_output.h"

#include <algorithm>

#include "fleet/json_text.h"

namespace {

// Cursor movements of a terminal (ECMA-48), for the block of lines.
constexpr char CLEAR_TO_END_OF_LINE[] = "\x1b[K";
constexpr char CLEAR_TO_END_OF_SCREEN[] = "\x1b[J";

std::string rows_up(size_t rows) {
  return "\x1b[" + std::to_string(rows) + "A";
}

// The start of a traced line whose end this thread has not traced yet.
thread_local std::string unfinished_trace_line;

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
  if (err_ && (line_length_ != 0 || (block_ && drawn_rows_ != 0))) write_locked("\n");
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
  write_locked(json_line(nlohmann::ordered_json{
      {"event", "error"}, {"mac", nullptr}, {"code", code}, {"message", message}}));
}

// One line, flushed at once: a reader may act on every line as it comes.
void console_output::event(const nlohmann::ordered_json& event) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_ || quiet_ || style_ != progress_style::json) return;
  write_locked(json_line(event));
}

void console_output::notice(const std::string& text, const nlohmann::ordered_json& event) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!err_ || quiet_) return;
  if (style_ == progress_style::json) {
    write_locked(json_line(event));
  } else {
    say_locked(text);
  }
}

void console_output::trace(const char* text, size_t length) {
  std::string& line = unfinished_trace_line;
  line.append(text, length);
  const size_t end = line.rfind('\n');
  if (end == std::string::npos) return;
  const std::string whole = line.substr(0, end);
  line.erase(0, end + 1);
  std::lock_guard<std::mutex> hold(lock_);
  if (err_ && style_ != progress_style::json) say_locked(whole);
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
    write_locked(text + '\n');
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
  std::string line = "\r" + text;
  const size_t length = text.size();
  if (length < line_length_) line.append(line_length_ - length, ' ');
  write_locked(line);
  line_length_ = length > 0 ? length : 1;
}

void console_output::close_line(size_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!block_) return;
  lines_.erase(std::remove_if(lines_.begin(), lines_.end(),
                              [id](const progress_line& line) { return line.id == id; }),
               lines_.end());
  draw_locked();
}

void console_output::hide_line(size_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!block_) return;
  for (progress_line& line : lines_) {
    if (line.id == id) line.text.clear();
  }
  draw_locked();
}

void console_output::set_total(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (total_ == text) return;
  total_ = text;
  draw_locked();
}

// A line above the block (or after the one line drawn in place), the block
// drawn again under it: one write.
void console_output::say_locked(const std::string& text) {
  std::string bytes;
  if (block_) {
    erase_into(bytes);
  } else if (line_length_ != 0) {
    bytes += '\n';
    line_length_ = 0;
  }
  bytes += text;
  bytes += '\n';
  if (block_) draw_into(bytes);
  write_locked(bytes);
}

// A stream that failed (a closed pipe, a terminal that hung up) takes
// nothing more, and the command goes on without its progress.
void console_output::write_locked(const std::string& bytes) {
  if (!err_ || !err_->good()) return;
  err_->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  err_->flush();
}

void console_output::erase_into(std::string& bytes) {
  if (drawn_rows_ == 0) return;
  if (drawn_rows_ > 1) bytes += rows_up(drawn_rows_ - 1);
  bytes += '\r';
  bytes += CLEAR_TO_END_OF_SCREEN;
  drawn_rows_ = 0;
}

void console_output::draw_into(std::string& bytes) {
  if (!block_ || quiet_ || style_ != progress_style::in_place) return;
  std::vector<const std::string*> rows;
  for (const progress_line& line : lines_) {
    if (!line.text.empty()) rows.push_back(&line.text);
  }
  if (!total_.empty()) rows.push_back(&total_);
  if (drawn_rows_ > 1) bytes += rows_up(drawn_rows_ - 1);
  bytes += '\r';
  for (size_t i = 0; i < rows.size(); ++i) {
    bytes += *rows[i];
    bytes += CLEAR_TO_END_OF_LINE;
    if (i + 1 < rows.size()) bytes += '\n';
  }
  if (rows.size() < drawn_rows_) bytes += CLEAR_TO_END_OF_SCREEN;
  drawn_rows_ = rows.size();
}

void console_output::draw_locked() {
  if (!err_ || !block_ || quiet_ || style_ != progress_style::in_place) return;
  std::string bytes;
  draw_into(bytes);
  write_locked(bytes);
}
