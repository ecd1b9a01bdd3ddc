// What a person sees on a terminal that takes the cursor movements the
// command line writes (carriage return, line feed, cursor up, erase to the
// end of the line or of the screen), and a standard error that looks at the
// screen after each flush of the program.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"

namespace cli_test {

// A screen without a bottom: nothing scrolls away, so every line the
// program left is still there to be read.
class terminal_screen {
 public:
  void feed(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\r') {
        column_ = 0;
      } else if (c == '\n') {
        ++row_;
        column_ = 0;
      } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        size_t end = i + 2;
        while (end < bytes.size() && isdigit(static_cast<unsigned char>(bytes[end]))) ++end;
        if (end == bytes.size()) break;
        const int count = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
        control(bytes[end], count);
        i = end;
      } else {
        put(c);
      }
    }
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> shown = rows_;
    while (!shown.empty() && shown.back().empty()) shown.pop_back();
    return shown;
  }
  std::string text() const {
    std::string all;
    for (const std::string& line : lines()) all += line + "\n";
    return all;
  }
  // The line the cursor is on, and the one `above` rows over it.
  std::string line_at_cursor(size_t above = 0) const {
    if (above > row_) return {};
    const size_t row = row_ - above;
    return row < rows_.size() ? rows_[row] : std::string();
  }

 private:
  void control(char command, int count) {
    switch (command) {
      case 'A':
        row_ = row_ >= static_cast<size_t>(count) ? row_ - count : 0;
        break;
      case 'K':
        line().resize(std::min(line().size(), column_));
        break;
      case 'J':
        line().resize(std::min(line().size(), column_));
        rows_.resize(std::min(rows_.size(), row_ + 1));
        break;
      default:
        ADD_FAILURE() << "a control the command line never writes: " << command;
    }
  }
  void put(char c) {
    std::string& text = line();
    if (text.size() <= column_) text.resize(column_ + 1, ' ');
    text[column_++] = c;
  }
  std::string& line() {
    if (rows_.size() <= row_) rows_.resize(row_ + 1);
    return rows_[row_];
  }

  std::vector<std::string> rows_;
  size_t row_ = 0;
  size_t column_ = 0;
};

// Standard error on a terminal: after every flush, the block's total line
// (under the cursor) must count at least the devices whose progress rows
// are drawn above it.
class screen_recorder : public hooked_text {
 public:
  const terminal_screen& screen() const { return screen_; }
  bool totals_were_true() const { return false_total_.empty(); }
  const std::string& first_false_total() const { return false_total_; }
  size_t most_rows_in_flight() const { return most_rows_; }

 protected:
  int sync() override {
    const std::string all = str();
    screen_.feed(all.substr(fed_));
    fed_ = all.size();
    look_at_the_block();
    return hooked_text::sync();
  }

 private:
  void look_at_the_block() {
    const std::string total = screen_.line_at_cursor();
    unsigned done = 0, all = 0, in_flight = 0;
    if (sscanf(total.c_str(), "Batch: %u of %u devices done, %u in flight", &done, &all,
               &in_flight) != 3)
      return;
    size_t rows = 0;
    while (screen_.line_at_cursor(rows + 1).find(" %") != std::string::npos) ++rows;
    if (rows > most_rows_) most_rows_ = rows;
    if (rows > in_flight && false_total_.empty())
      false_total_ =
          "\"" + total + "\" under " + std::to_string(rows) + " rows:\n" + screen_.text();
  }

  terminal_screen screen_;
  size_t fed_ = 0;
  size_t most_rows_ = 0;
  std::string false_total_;
};

}  // namespace cli_test
