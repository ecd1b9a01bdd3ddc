#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

namespace {
// Never destroyed: other threads may trace while the process exits.
std::mutex& trace_lock = *new std::mutex;
std::atomic<trace_tap> tap{nullptr};
trace_sink sink_fn = nullptr;  // guarded by trace_lock
FILE* log_file = nullptr;      // guarded by trace_lock
FILE* trace_stream = stdout;   // guarded by trace_lock; null: nowhere

// The tag of the innermost trace_tag_scope alive on this thread; a plain
// pointer, so that a thread ending at process exit destroys nothing here.
thread_local const std::string* current_tag = nullptr;

void write_log(const char* text, size_t length) {
  if (!log_file) return;
  if (fwrite(text, 1, length, log_file) != length || fflush(log_file) != 0) {
    fclose(log_file);
    log_file = nullptr;
  }
}

// Every non-empty line of `text`, with the tag in front and its newline.
std::string tagged(const std::string& tag, const char* text, size_t length) {
  std::string lines;
  size_t start = 0;
  while (start < length) {
    const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
    const size_t stop = end ? static_cast<size_t>(end - text) : length;
    if (stop > start) {
      lines += '[';
      lines += tag;
      lines += "] ";
      lines.append(text + start, stop - start);
      lines += '\n';
    }
    start = stop + 1;
  }
  return lines;
}

void emit_whole(const char* text, size_t length) {
  std::lock_guard<std::mutex> hold(trace_lock);
  if (trace_stream) {
    fwrite(text, 1, length, trace_stream);
    fflush(trace_stream);
  }
  if (sink_fn) sink_fn(text, length);
  write_log(text, length);
  if (trace_tap t = tap.load()) t(text, length);
}

void emit(const char* text, size_t length) {
  if (!current_tag || current_tag->empty()) {
    emit_whole(text, length);
    return;
  }
  const std::string lines = tagged(*current_tag, text, length);
  if (!lines.empty()) emit_whole(lines.data(), lines.size());
}
}  // namespace

trace_tag_scope::trace_tag_scope(std::string tag) : tag_(std::move(tag)), outer_(current_tag) {
  current_tag = &tag_;
}

trace_tag_scope::~trace_tag_scope() {
  current_tag = outer_;
}

void trace_set_stream(FILE* stream) {
  std::lock_guard<std::mutex> hold(trace_lock);
  trace_stream = stream;
}

void trace_set_sink(trace_sink sink) {
  std::lock_guard<std::mutex> hold(trace_lock);
  sink_fn = sink;
}

void trace_set_log(FILE* log) {
  std::lock_guard<std::mutex> hold(trace_lock);
  if (log_file) fclose(log_file);
  log_file = log;
}

void trace_write(const char* text, size_t length) {
  emit(text, length);
}

void trace_line(const char* text) {
  std::string line(text);
  line.push_back('\n');
  emit(line.data(), line.size());
}

void trace_printf(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof small) {
    va_end(again);
    emit(small, static_cast<size_t>(needed));
    return;
  }
  std::string big(static_cast<size_t>(needed) + 1, '\0');
  vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  emit(big.data(), static_cast<size_t>(needed));
}

void set_trace_tap_for_tests(trace_tap t) {
  tap = t;
}
