// Standard error of the command line, shared by every device the command
// serves, and its one writer: messages, notices, JSON events, progress
// lines and (with --verbose) the trace each go out as whole lines, in one
// write, so that nothing another thread writes can cut into them. On a
// terminal the progress is drawn in place: one line for a single device (as
// it always was), or, while several are served at once, a block of one line
// per device in flight and a total line below them; whatever else is said
// goes above the block, which is drawn again under it.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

enum class progress_style {
  none,      // --quiet, --progress none
  lines,     // a line per 10 %: a file or a pipe, or a trace in between
  in_place,  // drawn in place: a terminal
  json,      // --progress json: one JSON object a line, and nothing else
};

class console_output {
 public:
  // The process's one console. Never destroyed: a library thread may still
  // report to it while the process ends.
  static console_output& instance();

  // Where everything goes until detach; `quiet` keeps everything but
  // errors off it.
  void attach(std::ostream& err, progress_style style, bool quiet);
  void detach();
  progress_style style() const;
  bool quiet() const;

  // Several devices at once: progress lines become a block of lines drawn
  // in place (a terminal that takes cursor movements), with a total line.
  // False, and nothing changes, when the style draws nothing in place.
  bool use_block(bool cursor_movement_works);

  // A line for the user, kept off by --quiet and off a JSON stream.
  void message(const std::string& text);
  // A line shown however quiet the command is; on a JSON stream an "error"
  // event with `code`.
  void error(const std::string& text, const std::string& code);
  // One line of the JSON stream (nothing in other styles).
  void event(const nlohmann::ordered_json& event);
  // What the program does about something that happened to it (an
  // interruption): `text` for a person, or `event` on a JSON stream; kept
  // off by --quiet.
  void notice(const std::string& text, const nlohmann::ordered_json& event);
  // Traced text (--verbose): whole lines as they come; a thread's line that
  // is not ended yet waits for the rest of it.
  void trace(const char* text, size_t length);

  // A progress line of its own for one device; its id.
  size_t open_line();
  // Draws the line in place (in_place), or prints it as a line (lines).
  void show_line(size_t id, const std::string& text);
  // The device is done: its line goes (or, drawn alone, is left as it was).
  void close_line(size_t id);
  // In a block, the line is left out until it is shown again (its display
  // serves its next device); elsewhere nothing changes.
  void hide_line(size_t id);
  // The block's total line (empty: none).
  void set_total(const std::string& text);

 private:
  void say_locked(const std::string& text);
  void write_locked(const std::string& bytes);
  void erase_into(std::string& bytes);
  void draw_into(std::string& bytes);
  void draw_locked();

  mutable std::mutex lock_;
  std::ostream* err_ = nullptr;
  progress_style style_ = progress_style::none;
  bool quiet_ = true;
  bool block_ = false;
  struct progress_line {
    size_t id = 0;
    std::string text;
  };
  std::vector<progress_line> lines_;  // open, in the order they were opened
  std::string total_;
  size_t next_id_ = 1;
  size_t drawn_rows_ = 0;   // rows of the block on the screen now
  size_t line_length_ = 0;  // of the single line drawn in place; 0 when none is open
};
