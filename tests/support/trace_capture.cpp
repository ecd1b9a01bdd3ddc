#include "tests/support/trace_capture.h"

#include <mutex>

#include "platform/trace.h"

namespace {
std::mutex captured_lock;
std::string captured;

void tap(const char* text, size_t length) {
  std::lock_guard<std::mutex> hold(captured_lock);
  captured.append(text, length);
}
}  // namespace

trace_capture::trace_capture() {
  clear();
  set_trace_tap_for_tests(tap);
}

trace_capture::~trace_capture() {
  set_trace_tap_for_tests(nullptr);
}

std::string trace_capture::text() const {
  std::lock_guard<std::mutex> hold(captured_lock);
  return captured;
}

std::vector<std::string> trace_capture::lines() const {
  std::vector<std::string> result;
  const std::string all = text();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    result.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

bool trace_capture::contains(const std::string& piece) const {
  return text().find(piece) != std::string::npos;
}

size_t trace_capture::count(const std::string& piece) const {
  const std::string all = text();
  size_t n = 0;
  for (size_t at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++n;
  return n;
}

void trace_capture::clear() {
  std::lock_guard<std::mutex> hold(captured_lock);
  captured.clear();
}
