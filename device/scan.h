#pragma once

#include <atomic>
#include <cstdint>

#include "ble/warble.h"

constexpr uint32_t SCAN_POLL_COUNT = 300;
constexpr uint32_t SCAN_POLL_MS = 100;

// Set by the device selection dialog to stop a running scan; cleared when a
// scan starts, not when it ends.
extern std::atomic<bool> scan_abort;

// Worker thread. Scans for at most SCAN_POLL_COUNT x SCAN_POLL_MS; 0 when it
// ran its full time, 1 when scan_abort stopped it.
int32_t scan_for_devices();

// The scanner's result handler (library thread).
void on_scan_result(void* context, const WarbleScanResult* result);
