#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

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

enum class scan_end { ran_full_time, aborted, found };

// Worker thread. Scans for at most SCAN_POLL_COUNT x SCAN_POLL_MS; ends
// early on an abort.
scan_end scan_for_devices();

// A front end that looks for devices itself (on a thread that runs no other
// device operation meanwhile): scans until `found` holds (asked at every
// poll, after the results delivered so far), an abort, or `seconds` pass.
// Counted as a request here.
scan_end scan_until(const std::function<bool()>& found, uint32_t seconds);

// The scanner's result handler (library thread).
void on_scan_result(void* context, const WarbleScanResult* result);
