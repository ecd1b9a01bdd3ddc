#include <gtest/gtest.h>

#include <string>

#include "tests/support/recording_display.h"
#include "tests/support/trace_capture.h"
#include "tests/unit/worker/device_doubles.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { queue_init(); }

  std::string status() const { return display.text_of(display_window::main, IDC_STATUS_LINE); }
  std::vector<std::string> results() const {
    return display.texts_set(display_window::main, IDC_COMMAND_RESULT);
  }
  void expect_one_error_box(display_window owner, const char* text) const {
    ASSERT_EQ(display.boxes().size(), 1u);
    const recorded_box box = display.boxes()[0];
    EXPECT_EQ(box.owner, owner);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.icon, box_icon::warning);
  }

  recording_display display;
  trace_capture trace;
};

struct routed_case {
  uint8_t type;
  const char* status;
  std::vector<std::string> calls;
};

TEST_F(DispatchTest, EachRequestShowsItsStatusThenRunsItsOperation) {
  const routed_case cases[] = {
      {REQ_SCAN, "Scanning BT", {"scan"}},
      {REQ_CONNECT, "Connecting BT...", {"connect"}},
      {REQ_DISCONNECT, "Disconnecting BT...", {"close"}},
      {REQ_GET_VERSION, "Get version\n", {"version"}},
      {REQ_GET_FW_DATE, "Firmware date", {"date"}},
      {REQ_GET_FW_TIME, "Firmware time", {"time"}},
      {REQ_UPDATE_FROM_FILE, "Update from local file", {"update"}},
  };
  for (const auto& c : cases) {
    device_script script;
    std::string status_during;
    script.during = [&](const std::string&) { status_during = status(); };
    reset_device_doubles(script);
    EXPECT_EQ(dispatch_request(c.type, 0, popped_request.data), 0) << int{c.type};
    EXPECT_EQ(device_call_names(), c.calls) << int{c.type};
    EXPECT_EQ(status_during, c.status) << int{c.type};
  }
}

TEST_F(DispatchTest, DisconnectShowsTheDisconnectedStateAfterClosing) {
  device_script script;
  int state_calls_during_close = -1;
  script.during = [&](const std::string&) {
    state_calls_during_close = display.connection_state_calls();
  };
  reset_device_doubles(script);
  display.show_connection_state(true, "MAC: x\n");
  EXPECT_EQ(dispatch_request(REQ_DISCONNECT, 0, nullptr), 0);
  EXPECT_EQ(state_calls_during_close, 1);
  EXPECT_EQ(display.connection_state_calls(), 2);
  EXPECT_FALSE(display.connected_shown());
}

TEST_F(DispatchTest, VersionIsShownWithTwoDigitMinor) {
  device_script script;
  script.version = {0x01, 0x05, 0x002A};
  reset_device_doubles(script);
  EXPECT_EQ(dispatch_request(REQ_GET_VERSION, 0, nullptr), 0);
  EXPECT_EQ(results(), std::vector<std::string>{"Get version\nVersion: 1.05\nSupported Cmd: 42"});
}

TEST_F(DispatchTest, FirmwareStampsFillingTheWholeBufferAreShownWhole) {
  const std::string stamp = "2024-06-11 build 0042 rev ABCD";  // 30 bytes, no zero
  ASSERT_EQ(stamp.size(), 30u);
  device_script script;
  script.stamp_answer.assign(stamp.begin(), stamp.end());
  reset_device_doubles(script);
  EXPECT_EQ(dispatch_request(REQ_GET_FW_DATE, 0, nullptr), 0);
  EXPECT_EQ(last_stamp_request().capacity, 30);
  EXPECT_TRUE(last_stamp_request().buffer_zeroed);
  EXPECT_EQ(dispatch_request(REQ_GET_FW_TIME, 0, nullptr), 0);
  EXPECT_EQ(results(), (std::vector<std::string>{"Firmware date: " + stamp + "\n",
                                                 "Firmware time: " + stamp + "\n"}));
}

TEST_F(DispatchTest, FirmwareStampEndsAtItsFirstZeroAndIsNeverAFormat) {
  device_script script;
  const char answer[] = "%s%n%x\0hidden";
  script.stamp_answer.assign(answer, answer + sizeof answer);
  reset_device_doubles(script);
  EXPECT_EQ(dispatch_request(REQ_GET_FW_TIME, 0, nullptr), 0);
  EXPECT_EQ(results(), std::vector<std::string>{"Firmware time: %s%n%x\n"});
}

TEST_F(DispatchTest, FailedQueryShowsTheCommandErrorButTheRequestSucceeds) {
  device_script script;
  script.query_result = 1;
  for (uint8_t type : {REQ_GET_VERSION, REQ_GET_FW_DATE, REQ_GET_FW_TIME}) {
    reset_device_doubles(script);
    display.clear_record();
    ASSERT_EQ(post_request(type), 0);
    ASSERT_EQ(post_request(REQ_SCAN), 0);
    EXPECT_EQ(process_requests(), 0);
    EXPECT_EQ(device_call_names().back(), "scan") << int{type};
    ASSERT_NO_FATAL_FAILURE(
        expect_one_error_box(display_window::none, "Basic command execution error"));
  }
  EXPECT_TRUE(results().empty());
  EXPECT_FALSE(trace.contains("failed"));
}

TEST_F(DispatchTest, UnsupportedTypeFailsAndStopsThisRound) {
  reset_device_doubles();
  ASSERT_EQ(post_request(4), 0);
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  EXPECT_EQ(process_requests(), 0);
  EXPECT_TRUE(device_calls().empty());
  EXPECT_EQ(trace.text(), "Message 4 failed\n");
  EXPECT_EQ(status(), "");
  ASSERT_NO_FATAL_FAILURE(
      expect_one_error_box(display_window::main, "INTERNAL Message not supported"));

  EXPECT_EQ(process_requests(), 0);
  EXPECT_EQ(device_call_names(), std::vector<std::string>{"scan"});
}

TEST_F(DispatchTest, QuitEndsProcessingWithoutDispatch) {
  reset_device_doubles();
  EXPECT_EQ(process_requests(), 0);
  ASSERT_EQ(post_quit(), 0);
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  EXPECT_EQ(process_requests(), 1);
  EXPECT_TRUE(device_calls().empty());
  EXPECT_TRUE(display.events().empty());
}

}  // namespace
