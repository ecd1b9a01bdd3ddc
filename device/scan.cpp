#include "device/scan.h"

#include <string>

#include "ble/ble_api.h"
#include "display/display.h"
#include "platform/clock.h"
#include "platform/trace.h"

std::atomic<bool> scan_abort{false};

namespace {

// Advertised names come from any device in radio range: they are data of
// unknown length, possibly absent. The list keeps at most this much of a
// text, so the trace does too.
constexpr size_t SCAN_TEXT_MAX = 254;

std::string bounded_scan_text(const char* text) {
  std::string value;
  if (!text) return value;
  for (size_t i = 0; i < SCAN_TEXT_MAX && text[i]; ++i) value.push_back(text[i]);
  return value;
}

}  // namespace

int32_t scan_for_devices() {
  trace_line("Scan started");
  scan_abort = false;
  ble_api.warble_scanner_set_handler(nullptr, on_scan_result);
  ble_api.warble_scanner_start(0, nullptr);
  for (uint32_t poll = 0; poll < SCAN_POLL_COUNT; ++poll) {
    if (scan_abort) break;
    sleep_ms(SCAN_POLL_MS);
  }
  ble_api.warble_scanner_stop();
  if (scan_abort) {
    trace_line("Abort requested");
    return 1;
  }
  trace_line("Scan finished");
  return 0;
}

void on_scan_result(void* /*context*/, const WarbleScanResult* result) {
  if (!result) return;
  device_list_add(result->mac, result->name, result->rssi);
  const std::string mac = bounded_scan_text(result->mac);
  const std::string name = bounded_scan_text(result->name);
  trace_printf("mac: %s - name \"%s\" - RSSI: %i dBm\n", mac.c_str(), name.c_str(),
               static_cast<int>(result->rssi));
}
