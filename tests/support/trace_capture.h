// Collects the program's trace while it lives (one at a time).
#pragma once

#include <string>
#include <vector>

class trace_capture {
 public:
  trace_capture();
  ~trace_capture();
  std::string text() const;                // everything traced, concatenated
  std::vector<std::string> lines() const;  // split at newlines
  bool contains(const std::string& piece) const;
  size_t count(const std::string& piece) const;
  void clear();
};
