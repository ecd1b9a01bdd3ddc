// Scanning end to end: the stand-in's scanner thread feeds the device list
// through the program's result handler.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "device/device_list.h"
#include "device/scan.h"
#include "display/display.h"
#include "tests/integration/flow_harness.h"
#include "tests/support/eventually.h"

namespace {

const char* const THREE_DEVICES =
    "advertise_interval_ms = 5\n"
    "[device]\nmac = AA:BB:CC:00:00:01\nname = Alpha\nrssi = -40\n"
    "[device]\nmac = AA:BB:CC:00:00:02\nname = <null>\nrssi = -67\n"
    "[device]\nmac = AA:BB:CC:00:00:03\nname = <long>\nrssi = -90\n";

class scan_flow : public device_flow {
 protected:
  void SetUp() override {
    device_flow::SetUp();
    device_list_init();
  }
  void TearDown() override {
    device_list_close();
    device_flow::TearDown();
  }
  void abort_scan() {
    abort_requested_scans();
    wait_scan_end();
  }
};

TEST_F(scan_flow, RowsPerDeviceTracePerReportAndAbort) {
  configure(THREE_DEVICES);
  start_scan();
  ASSERT_TRUE(eventually(
      [&] { return display_.rows().size() == 3 && trace_.count("mac: AA:BB:CC:00:00:01 ") >= 3; }));
  abort_scan();
  EXPECT_TRUE(trace_.contains("Scan started\n"));
  EXPECT_TRUE(trace_.contains("Abort requested\n"));

  const auto rows = display_.rows();
  ASSERT_EQ(rows.size(), 3u) << "a device seen again keeps its row";
  EXPECT_EQ(rows[0].mac, "AA:BB:CC:00:00:01");
  EXPECT_EQ(rows[0].name, "Alpha");
  EXPECT_EQ(rows[0].rssi, "-40 dBm");
  EXPECT_EQ(rows[1].name, "");
  EXPECT_EQ(rows[1].rssi, "-67 dBm");
  EXPECT_EQ(rows[2].name.size(), 254u);
  EXPECT_TRUE(trace_.contains("mac: AA:BB:CC:00:00:02 - name \"\" - RSSI: -67 dBm\n"));
  // The long name is data of bounded length in the trace too.
  EXPECT_TRUE(
      trace_.contains("mac: AA:BB:CC:00:00:03 - name \"" + rows[2].name + "\" - RSSI: -90 dBm\n"));
  EXPECT_EQ(sim_counter("results_after_stop"), 0);
  EXPECT_EQ(sim_counter("scan_stops"), sim_counter("scan_starts"));

  // The same address in other letters updates the first row.
  const WarbleScanResult lower{"aa:bb:cc:00:00:01", "lower case", -41, nullptr};
  on_scan_result(nullptr, &lower);
  ASSERT_EQ(display_.rows().size(), 3u);
  EXPECT_EQ(display_.rows()[0].name, "lower case");
  EXPECT_EQ(display_.rows()[0].rssi, "-41 dBm");
}

TEST_F(scan_flow, RunsItsFullTimeAndClearsAnAbortLeftOver) {
  configure(THREE_DEVICES);
  abort_requested_scans();  // from an earlier scan
  const auto started = std::chrono::steady_clock::now();
  start_scan();
  wait_scan_end();
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            real_ms(SCAN_POLL_COUNT * SCAN_POLL_MS) * 9 / 10);
  EXPECT_TRUE(trace_.contains("Scan finished\n"));
  EXPECT_FALSE(trace_.contains("Abort requested\n"));
  EXPECT_EQ(display_.rows().size(), 3u);
}

// Scan pressed twice, then Connect: the scan queued behind the running one
// must not wipe out the abort and run its full time into a closed list.
TEST_F(scan_flow, AnAbortEndsTheRunningScanAndTheOneQueuedBehindIt) {
  configure(THREE_DEVICES);
  start_scan();
  start_scan();
  ASSERT_TRUE(eventually([&] { return trace_.contains("Scan started\n"); }));
  abort_requested_scans();
  ASSERT_TRUE(
      eventually([&] { return trace_.count("Abort requested\n") == 2; }, std::chrono::seconds(20)))
      << trace_.text();
  EXPECT_FALSE(trace_.contains("Scan finished\n"));

  // A scan asked for after the abort runs its full time.
  start_scan();
  EXPECT_TRUE(
      eventually([&] { return trace_.contains("Scan finished\n"); }, std::chrono::seconds(20)));
}

TEST_F(scan_flow, FloodStopsAtTheRowLimit) {
  // A scan long enough in real time for the flood to pass the limit also
  // under a sanitizer.
  scoped_compression slower(10);
  configure("advertise_interval_ms = 5\nflood = 1200\n");
  start_scan();
  ASSERT_TRUE(
      eventually([&] { return sim_counter("scan_results") >= 1300; }, std::chrono::seconds(60)));
  abort_scan();
  EXPECT_EQ(display_.rows().size(), static_cast<size_t>(DEVICE_LIST_MAX_ROWS));
}

}  // namespace
