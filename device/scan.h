#pragma once

#include <atomic>
#include <cstdint>

#include "ble/warble.h"

constexpr uint32_t SCAN_POLL_COUNT = 300;
constexpr uint32_t SCAN_POLL_MS = 100;

// Stopping scans. The UI thread counts every REQ_SCAN it posted; an abort
// then ends every scan requested before it: the one running and those still
// waiting in the queue. (A single flag, cleared by each scan as it starts,
// let a REQ_SCAN queued behind a running scan wipe out the abort that
// Connect or Cancel had asked for.) A scan requested after the abort runs.
// Every scan that runs must be counted, once, by the thread that asks for
// it, before that thread may ask for an abort; the counting itself is not
// thread-safe against another requester.
void scan_requested();         // when REQ_SCAN was posted
void abort_requested_scans();  // Connect, a double-click, closing the dialog

// Worker thread. Scans for at most SCAN_POLL_COUNT x SCAN_POLL_MS; 0 when it
// ran its full time, 1 when an abort stopped it.
int32_t scan_for_devices();

// The scanner's result handler (library thread).
void on_scan_result(void* context, const WarbleScanResult* result);
