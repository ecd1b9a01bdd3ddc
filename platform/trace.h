// The running trace on standard output. Every line the program prints goes
// through here, so it reaches stdout whole and in order (each call is one
// write, flushed at once: the stream is usually a file or a pipe that
// someone watches while the program runs) and tests can read it back.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define TRACE_PRINTF_FORMAT(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#else
#define TRACE_PRINTF_FORMAT(fmt_index, first_arg)
#endif

// Writes the formatted text unchanged (the caller supplies any newline).
void trace_printf(const char* format, ...) TRACE_PRINTF_FORMAT(1, 2);

// Writes the text and a newline.
void trace_line(const char* text);

// Writes `length` bytes as they are.
void trace_write(const char* text, size_t length);

// While it lives, every text this thread traces goes out with "[tag] " in
// front of each of its lines (nothing when `tag` is empty), so that the lines
// of devices served at once can be told apart. A tagged text is whole lines:
// one its text leaves open is ended, and empty ones are dropped, so that a
// line of another thread never runs into it. Scopes nest; the innermost
// tag counts. Untagged text is written exactly as given.
class trace_tag_scope {
 public:
  explicit trace_tag_scope(std::string tag);
  ~trace_tag_scope();
  trace_tag_scope(const trace_tag_scope&) = delete;
  trace_tag_scope& operator=(const trace_tag_scope&) = delete;

 private:
  std::string tag_;
  const std::string* outer_;
};

// Where the trace goes: standard output unless told otherwise (a command
// line keeps standard output for its results: the trace goes to standard
// error, or nowhere when `stream` is null).
void trace_set_stream(FILE* stream);

// Where a front end that owns its output stream takes the trace instead of
// a FILE (null: nowhere but the stream): called for every traced text, one
// call at a time, from any thread that traces. A tagged text is whole lines;
// an untagged one may be part of a line.
using trace_sink = void (*)(const char* text, size_t length);
void trace_set_sink(trace_sink sink);

// Every traced text also goes to `log` (null: to no log); the trace owns it
// from then on. A log that fails a write is closed and dropped: the program
// runs on without it.
void trace_set_log(FILE* log);

// Tests only: every traced text is also handed to `tap` (null removes it).
// The tap may be called from any thread, one call at a time.
using trace_tap = void (*)(const char* text, size_t length);
void set_trace_tap_for_tests(trace_tap tap);
