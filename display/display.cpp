#include "display/display.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// Shows nothing: the state before a window system is attached.
class null_sink final : public display_sink {
 public:
  void set_text_if_different(display_window, int, const char*) override {}
  void set_progress(display_window, int, uint32_t) override {}
  void show_connection_state(bool, const std::string&) override {}
  void show_transfer_progress(const transfer_progress&, bool) override {}
  bool show_connect_progress(uint32_t, const char*) override { return false; }
  void end_connect_progress() override {}
  bool device_rows_changed() override { return false; }
  void clear_device_rows() override {}
  void message_box(display_window, const char*, const char*, box_icon) override {}
};

// Never destroyed: a worker or library thread may still show something
// while the process exits.
display_sink& no_display() {
  static display_sink* const instance = new null_sink;
  return *instance;
}

// Null until a sink is installed; constant-initialised, so a sink installed
// by another file's static initialiser is never overwritten.
constinit std::atomic<display_sink*> current_sink{nullptr};

}  // namespace

void set_display_sink(display_sink* sink) {
  current_sink = sink;
}

display_sink& display() {
  display_sink* sink = current_sink.load();
  return sink ? *sink : no_display();
}

void set_text_if_different(display_window window, int control_id, const char* text) {
  display().set_text_if_different(window, control_id, text);
}

void status_printf(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  set_text_if_different(display_window::main, IDC_STATUS_LINE, text);
  trace_printf("%s", text);
}

void set_progress(display_window window, int control_id, uint32_t position) {
  display().set_progress(window, control_id, position);
}

void show_connection_state(bool connected, const std::string& device_info) {
  display().show_connection_state(connected, device_info);
}

void show_transfer_progress(const transfer_progress& progress, bool running) {
  display().show_transfer_progress(progress, running);
}

void show_transfer_step(const transfer_progress& progress) {
  display().show_transfer_step(progress);
}

void report_connect_progress(uint32_t position, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (!display().show_connect_progress(position, text)) return;
  trace_line(text);
  if (position >= PROGRESS_FULL) display().end_connect_progress();
}

void message_box(display_window owner, const char* text, const char* caption, box_icon icon) {
  display().message_box(owner, text, caption, icon);
}
