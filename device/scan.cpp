#include "device/scan.h"

#include <string>

#include "ble/ble_api.h"
#include "device/device_list.h"
#include "display/display.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

// Scans are numbered from 1 in the order they were requested, which is the
// order the worker runs them in.
std::atomic<uint64_t> scans_requested{0};
std::atomic<uint64_t> scans_started{0};
// Every scan numbered up to this one is to stop.
std::atomic<uint64_t> aborted_through{0};

bool is_aborted(uint64_t scan_number) {
  return aborted_through.load() >= scan_number;
}

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

void scan_requested() {
  ++scans_requested;
}

void abort_requested_scans() {
  const uint64_t requested = scans_requested.load();
  uint64_t through = aborted_through.load();
  while (through < requested && !aborted_through.compare_exchange_weak(through, requested)) {
  }
}

namespace {

scan_end run_scan(const std::function<bool()>& found, uint32_t polls) {
  trace_line("Scan started");
  const uint64_t number = ++scans_started;
  ble_api.warble_scanner_set_handler(nullptr, on_scan_result);
  ble_api.warble_scanner_start(0, nullptr);
  bool was_found = false;
  for (uint32_t poll = 0; poll < polls; ++poll) {
    if (is_aborted(number)) break;
    if (found && found()) {
      was_found = true;
      break;
    }
    sleep_ms(SCAN_POLL_MS);
  }
  ble_api.warble_scanner_stop();
  if (is_aborted(number)) {
    trace_line("Abort requested");
    return scan_end::aborted;
  }
  if (was_found || (found && found())) {
    trace_line("Scan finished");
    return scan_end::found;
  }
  trace_line("Scan finished");
  return scan_end::ran_full_time;
}

}  // namespace

scan_end scan_for_devices() {
  return run_scan(nullptr, SCAN_POLL_COUNT);
}

scan_end scan_until(const std::function<bool()>& found, uint32_t seconds) {
  scan_requested();
  const uint64_t polls = uint64_t{seconds} * 1000 / SCAN_POLL_MS;
  return run_scan(found, static_cast<uint32_t>(polls > UINT32_MAX ? UINT32_MAX : polls));
}

void on_scan_result(void* /*context*/, const WarbleScanResult* result) {
  if (!result) return;
  device_list_add(result->mac, result->name, result->rssi);
  const std::string mac = bounded_scan_text(result->mac);
  const std::string name = bounded_scan_text(result->name);
  trace_printf("mac: %s - name \"%s\" - RSSI: %i dBm\n", mac.c_str(), name.c_str(),
               static_cast<int>(result->rssi));
}
