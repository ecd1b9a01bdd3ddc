// The connection sequence and the close, end to end against the stand-in.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device/connection.h"
#include "device/device_list.h"
#include "device/device_state.h"
#include "device/scan.h"
#include "display/display.h"
#include "tests/integration/flow_harness.h"
#include "tests/support/eventually.h"
#include "worker/request_queue.h"

namespace {

using report_list = std::vector<std::pair<uint32_t, std::string>>;

class connection_flow : public device_flow {};

TEST_F(connection_flow, ReportsEveryStepAndComposesTheDeviceInformation) {
  ASSERT_TRUE(connect());
  EXPECT_EQ(display_.connect_reports(), (report_list{{100, "Establishing"},
                                                     {200, "Opening GATT"},
                                                     {300, "Connected OK"},
                                                     {400, "Propietary service found"},
                                                     {500, "Firmware Revision: 2.17\n"},
                                                     {600, "Manufacturer: Acme Devices"},
                                                     {700, "Model Number: M-7"},
                                                     {900, "Serial number: SN0042"},
                                                     {800, "Update service found"},
                                                     {1000, "System READY"}}));
  EXPECT_EQ(device_info_text_copy(),
            "MAC: C4:7C:8D:6A:3E:01\nFwVer: 2.17\nManuf.: Acme Devices  Model: M-7\n"
            "SerNum: SN0042\n");
  EXPECT_TRUE(trace_.contains("Connecting to C4:7C:8D:6A:3E:01\n"));
  EXPECT_NE(gatt.load(), nullptr);
  EXPECT_EQ(display_.connect_ends(), 1);
  EXPECT_EQ(sim_counter("enables"), 3);
  EXPECT_EQ(sim_counter("live_links"), 1);
}

TEST_F(connection_flow, MissingOrHostileDeviceInformationIsShownAsData) {
  configure(device_scenario("manufacturer = <absent>\nmodel_number = %s%n%x\nserial_number = " +
                            std::string(255, 'S')));
  ASSERT_TRUE(connect());
  const std::string serial(254, 'S');  // what the 255-byte read buffer holds
  EXPECT_EQ(device_info_text_copy(),
            "MAC: C4:7C:8D:6A:3E:01\nFwVer: 2.17\nManuf.:   Model: %s%n%x\n"
            "SerNum: " +
                serial + "\n");
  const report_list reports = display_.connect_reports();
  ASSERT_EQ(reports.size(), 10u);
  EXPECT_EQ(reports[5], (std::pair<uint32_t, std::string>{600, "Manufacturer: "}));
  EXPECT_EQ(reports[6], (std::pair<uint32_t, std::string>{700, "Model Number: %s%n%x"}));
}

struct failure_step {
  const char* name;
  const char* device_lines;
  const char* mac;
  report_list reports;
  const char* info_text;
};

const failure_step FAILURE_STEPS[] = {
    {"ObjectNotCreated", "", "not-a-mac", {{100, "Establishing"}, {1000, "ERROR GATT"}}, ""},
    {"ConnectRefused",
     "connect_error = Unreachable",
     SIM_MAC,
     {{100, "Establishing"}, {200, "Opening GATT"}, {1000, "ERROR Cannot connect"}},
     ""},
    {"ConnectNeverAnswers",
     "connect_timeout = yes",
     SIM_MAC,
     {{100, "Establishing"}, {200, "Opening GATT"}, {1000, "ERROR Cannot connect"}},
     ""},
    {"NoProprietaryService",
     "proprietary = no",
     SIM_MAC,
     {{100, "Establishing"},
      {200, "Opening GATT"},
      {300, "Connected OK"},
      {1000, "ERROR Proprietary service not found"}},
     "MAC: C4:7C:8D:6A:3E:01\n"},
};

std::ostream& operator<<(std::ostream& out, const failure_step& step) {
  return out << step.name;
}

class connection_failure : public device_flow,
                           public ::testing::WithParamInterface<failure_step> {};

TEST_P(connection_failure, EndsWithOneFinalReportAndNoConnection) {
  const failure_step& step = GetParam();
  configure(device_scenario(step.device_lines));
  EXPECT_FALSE(connect(step.mac));
  EXPECT_EQ(display_.connect_reports(), step.reports);
  EXPECT_EQ(device_info_text_copy(), step.info_text);
  // The final report comes first; the connection is deleted right after it.
  EXPECT_TRUE(eventually([] { return gatt.load() == nullptr; }));
  EXPECT_FALSE(device_ready.load());
  EXPECT_TRUE(eventually([&] { return sim_counter("open_connections") == 0; }))
      << "the connection object was not deleted";

  // A close after a failure has nothing to release.
  trace_.clear();
  disconnect();
  EXPECT_EQ(trace_.text(), ">>Closing device\n>>DEVICE CLOSED !!\n");
}

INSTANTIATE_TEST_SUITE_P(Steps, connection_failure, ::testing::ValuesIn(FAILURE_STEPS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(connection_flow, CloseReleasesEverythingAndCloseWithoutDeviceDoesNothing) {
  trace_.clear();
  disconnect();
  EXPECT_EQ(trace_.text(), ">>Closing device\n>>DEVICE CLOSED !!\n");
  EXPECT_FALSE(display_.connected_shown());

  ASSERT_TRUE(connect());
  trace_.clear();
  disconnect();
  EXPECT_TRUE(trace_.contains(">>Closing device\n"));
  EXPECT_TRUE(trace_.contains("GATT disconnected\n"));
  EXPECT_EQ(trace_.lines().back(), ">>DEVICE CLOSED !!");
  EXPECT_EQ(gatt.load(), nullptr);
  EXPECT_FALSE(device_ready.load());
  EXPECT_EQ(sim_counter("disables"), 3);
  EXPECT_EQ(sim_counter("disconnects"), 1);
  EXPECT_EQ(sim_counter("deletes"), 1);
  EXPECT_EQ(sim_counter("open_connections"), 0);
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
  EXPECT_FALSE(display_.connected_shown());
}

TEST_F(connection_flow, ConnectingWhileConnectedReleasesTheOpenConnectionFirst) {
  configure(device_scenario("", "") + "[device]\nmac = C4:7C:8D:6A:3E:02\nname = Second\n");
  ASSERT_TRUE(connect());
  ASSERT_TRUE(connect("C4:7C:8D:6A:3E:02"));
  EXPECT_EQ(sim_counter("open_connections"), 1);
  EXPECT_EQ(sim_counter("live_links"), 1);
  EXPECT_EQ(sim_counter("disconnects"), 1);
  EXPECT_EQ(sim_counter("deletes"), 1);
  EXPECT_TRUE(device_info_text_copy().rfind("MAC: C4:7C:8D:6A:3E:02\n", 0) == 0);
  disconnect();
  EXPECT_EQ(sim_counter("open_connections"), 0);
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
}

// The device goes out of range while it is being closed, at each of the
// three disables, and while a new connection releases the open one: no call
// reaches a handle of the dead link, and the close still ends in "Device not
// connected" with the connection deleted.
TEST_F(connection_flow, ALinkLostAtAnyStepOfTheCloseTouchesNoDeadHandle) {
  for (const char* step : {"disable:1", "disable:2", "disable:3"}) {
    SCOPED_TRACE(step);
    connect_device_of(std::string("drop_link_at = ") + step);
    disconnect();
    EXPECT_FALSE(display_.connected_shown());
    EXPECT_EQ(gatt.load(), nullptr);
    EXPECT_EQ(sim_counter("link_drops"), 1);
    EXPECT_EQ(sim_counter("open_connections"), 0);
    EXPECT_EQ(sim_counter("handle_misuse"), 0);
  }

  configure(device_scenario("drop_link_at = disable:2", "") +
            "[device]\nmac = C4:7C:8D:6A:3E:02\nname = Second\n");
  ASSERT_TRUE(connect());
  ASSERT_TRUE(connect("C4:7C:8D:6A:3E:02"));
  EXPECT_EQ(sim_counter("open_connections"), 1);
  disconnect();
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
}

// A library that runs every callback on one thread, and waits for the one
// in flight inside disconnect and disable: a handler of ours that waited for
// the worker would stall it (counted) and time the worker's calls out.
TEST_F(connection_flow, TheWholeFlowRunsOnALibraryWithOneCallbackThread) {
  configure(device_scenario("", "callback_thread = one\nadvertise_interval_ms = 5"));
  device_list_init();
  start_scan();
  ASSERT_TRUE(eventually([&] { return display_.rows().size() == 1; }));
  abort_requested_scans();
  wait_scan_end();
  device_list_close();

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "connect" : "reconnect");
    ASSERT_TRUE(connect());
    query(REQ_GET_VERSION);
    EXPECT_EQ(display_.text_of(display_window::main, IDC_COMMAND_RESULT),
              "Get version\nVersion: 1.05\nSupported Cmd: 42");
    const std::vector<uint8_t> image = pattern_image(1000);
    EXPECT_EQ(update_from(write_image(image)).caption, "Success");
    EXPECT_TRUE(sim_image() == image);
  }
  disconnect();
  EXPECT_TRUE(display_.boxes().size() == 2u);
  EXPECT_EQ(sim_counter("callback_stalls"), 0);
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
  EXPECT_EQ(sim_counter("open_connections"), 0);
}

TEST_F(connection_flow, AddressThatDoesNotFitIsRefusedNotCut) {
  ASSERT_EQ(set_device_address(SIM_MAC), 0);
  const std::string too_long = std::string(SIM_MAC) + std::string(80, ' ');
  EXPECT_EQ(set_device_address(too_long.c_str()), 1);
  EXPECT_EQ(device_address_copy(), SIM_MAC);
}

TEST(connection_texts, BluetoothInitializedLine) {
  trace_capture trace;
  EXPECT_EQ(report_ble_initialized(), 0);
  EXPECT_EQ(trace.text(), "Bluetooth system initialized\n");
}

}  // namespace
