#include "display/display.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace {

// Shows nothing: the state before a window system is attached.
class null_sink final : public display_sink {
 public:
  void set_text_if_different(display_window, int, const char*) override {}
  void set_progress(display_window, int, uint32_t) override {}
  void show_connection_state(bool) override {}
  bool show_connect_progress(uint32_t, const char*) override { return false; }
  void end_connect_progress() override {}
  void put_device_row(uint64_t, int, bool, const char*, const char*, const char*) override {}
  void clear_device_rows() override {}
  void message_box(display_window, const char*, const char*, box_icon) override {}
  std::string read_path_field() override { return {}; }
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

// How long the connection-progress dialog stays up after the final report.
constexpr uint32_t CONNECT_PROGRESS_LINGER_MS = 800;

// The longest MAC or name text the list keeps: what the selection dialog can
// read back from a row (255 bytes with the terminator).
constexpr size_t DEVICE_TEXT_MAX = 254;

std::string bounded_text(const char* text) {
  if (!text) return {};
  std::string value;
  for (size_t i = 0; i < DEVICE_TEXT_MAX && text[i]; ++i) value.push_back(text[i]);
  return value;
}

bool same_mac(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The device list's content. The lock is held only while the model changes
// and its row is handed to the sink, which never blocks, so the UI thread
// may take it too (clear) without risking a wait on the scan thread.
struct device_list_model {
  std::mutex lock;
  bool open = false;
  uint64_t generation = 0;
  std::vector<std::string> macs;
};
// Never destroyed: the process may exit while a scan thread still adds rows.
device_list_model& device_list = *new device_list_model;

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

void show_connection_state(bool connected) {
  display().show_connection_state(connected);
}

void report_connect_progress(uint32_t position, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (!display().show_connect_progress(position, text)) return;
  trace_line(text);
  if (position >= PROGRESS_FULL) {
    sleep_ms(CONNECT_PROGRESS_LINGER_MS);
    display().end_connect_progress();
  }
}

void message_box(display_window owner, const char* text, const char* caption, box_icon icon) {
  display().message_box(owner, text, caption, icon);
}

void device_list_init() {
  std::lock_guard<std::mutex> hold(device_list.lock);
  device_list.open = true;
  device_list.generation++;
  device_list.macs.clear();
}

void device_list_close() {
  std::lock_guard<std::mutex> hold(device_list.lock);
  device_list.open = false;
  device_list.generation++;
  device_list.macs.clear();
}

void device_list_clear() {
  {
    std::lock_guard<std::mutex> hold(device_list.lock);
    device_list.generation++;
    device_list.macs.clear();
  }
  display().clear_device_rows();
}

int device_list_add(const char* mac, const char* name, int32_t rssi) {
  if (!mac) return 1;
  const std::string mac_text = bounded_text(mac);
  const std::string name_text = bounded_text(name);
  char rssi_text[32];
  snprintf(rssi_text, sizeof rssi_text, "%i dBm", static_cast<int>(rssi));

  std::lock_guard<std::mutex> hold(device_list.lock);
  if (!device_list.open) return 1;
  if (device_list.macs.size() >= static_cast<size_t>(DEVICE_LIST_MAX_ROWS)) return 1;
  int index = -1;
  for (size_t i = 0; i < device_list.macs.size(); ++i) {
    if (same_mac(device_list.macs[i], mac_text)) {
      index = static_cast<int>(i);
      break;
    }
  }
  const bool is_new = index < 0;
  if (is_new) {
    index = static_cast<int>(device_list.macs.size());
    device_list.macs.push_back(mac_text);
  }
  display().put_device_row(device_list.generation, index, is_new, mac_text.c_str(),
                           name_text.c_str(), rssi_text);
  return 0;
}

bool device_list_generation_is_current(uint64_t generation) {
  std::lock_guard<std::mutex> hold(device_list.lock);
  return device_list.open && device_list.generation == generation;
}
