#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {
// Never destroyed: other threads may trace while the process exits.
std::mutex& trace_lock = *new std::mutex;
std::atomic<trace_tap> tap{nullptr};
FILE* log_file = nullptr;     // guarded by trace_lock
FILE* trace_stream = stdout;  // guarded by trace_lock; null: nowhere

void write_log(const char* text, size_t length) {
  if (!log_file) return;
  if (fwrite(text, 1, length, log_file) != length || fflush(log_file) != 0) {
    fclose(log_file);
    log_file = nullptr;
  }
}

void emit(const char* text, size_t length) {
  std::lock_guard<std::mutex> hold(trace_lock);
  if (trace_stream) {
    fwrite(text, 1, length, trace_stream);
    fflush(trace_stream);
  }
  write_log(text, length);
  if (trace_tap t = tap.load()) t(text, length);
}
}  // namespace

void trace_set_stream(FILE* stream) {
  std::lock_guard<std::mutex> hold(trace_lock);
  trace_stream = stream;
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
