// The command channel end to end: the dispatcher's three queries, and the
// channel's own limits called directly while the worker is idle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "device/command_channel.h"
#include "device/device_state.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "tests/integration/flow_harness.h"
#include "worker/request_queue.h"

namespace {

class query_flow : public device_flow {
 protected:
  std::string result_text() const {
    return display_.text_of(display_window::main, IDC_COMMAND_RESULT);
  }

  void expect_command_error() {
    ASSERT_FALSE(display_.boxes().empty());
    EXPECT_EQ(display_.boxes().back().text, "Basic command execution error");
    EXPECT_EQ(display_.boxes().back().caption, "Error");
  }
};

TEST_F(query_flow, VersionDateAndTime) {
  connect_device_of("version = 01 05 00 2A\nfw_date = 2031-12-24\nfw_time = 23:59:58");
  query(REQ_GET_VERSION);
  EXPECT_EQ(result_text(), "Get version\nVersion: 1.05\nSupported Cmd: 42");
  EXPECT_EQ(sim_write(COMMAND_CHAR_UUID, 0), (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_TRUE(
      trace_.contains("[RCS] Sending command 0x0000 Pars 0 - \n[RCS] Wait command idle\n") ||
      trace_.contains("[RCS] Sending command 0x0000 Pars 0 - \n"));
  EXPECT_TRUE(trace_.contains("[RCS] Wait command idle\n"));
  EXPECT_TRUE(trace_.contains("[RCS] Idle confirmed\n"));

  query(REQ_GET_FW_DATE);
  EXPECT_EQ(result_text(), "Firmware date: 2031-12-24\n");
  EXPECT_EQ(sim_write(COMMAND_CHAR_UUID, 1), (std::vector<uint8_t>{0x00, 0x01}));
  query(REQ_GET_FW_TIME);
  EXPECT_EQ(result_text(), "Firmware time: 23:59:58\n");
  EXPECT_TRUE(display_.boxes().empty());

  char both[FW_DATETIME_TEXT_SIZE];
  ASSERT_EQ(get_fw_datetime(both), 0);
  EXPECT_STREQ(both, "2031-12-24 - 23:59:58");
}

TEST_F(query_flow, ShortVersionReadsMissingBytesAsZero) {
  connect_device_of("version = 02 00");
  query(REQ_GET_VERSION);
  EXPECT_EQ(result_text(), "Get version\nVersion: 2.00\nSupported Cmd: 0");
}

TEST_F(query_flow, ResponseLongerThanTheBufferFails) {
  connect_device_of("fw_date = " + std::string(31, 'D') + "\nfw_time = " + std::string(30, 'T'));
  query(REQ_GET_FW_DATE);
  expect_command_error();
  uint8_t exact[30] = {};
  EXPECT_EQ(get_fw_time(exact, sizeof exact), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(exact), sizeof exact), std::string(30, 'T'));
}

TEST_F(query_flow, FailedCommandShowsTheCommandError) {
  connect_device_of("command_status = 4");
  query(REQ_GET_VERSION);
  expect_command_error();
}

// The idle wait measures 10 s in differences of the 32-bit tick, so a wrap
// of the tick during the wait changes nothing.
TEST_F(query_flow, BusyDeviceTimesOutAfterTenSecondsAlsoAcrossTheTickWrap) {
  for (bool across_wrap : {false, true}) {
    SCOPED_TRACE(across_wrap ? "tick wraps during the wait" : "plain");
    connect_device_of("status_stays_busy_ms = -1");
    if (across_wrap) {
      set_tick_offset_for_tests(0);
      set_tick_offset_for_tests(0u - tick_count_ms() - 3000u);
    }
    const auto started = std::chrono::steady_clock::now();
    query(REQ_GET_VERSION);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    set_tick_offset_for_tests(0);
    expect_command_error();
    EXPECT_TRUE(trace_.contains("[RCS] Wait command idle\n"));
    EXPECT_TRUE(trace_.contains("[RCS] Idle Timeout!! ERROR\n"));
    EXPECT_GE(elapsed, real_ms(CMD_IDLE_TIMEOUT_MS) * 9 / 10);
  }
}

// Program time for the queries whose device is late on purpose: the
// waits last a tenth of their nominal length, so that what the device does
// half-way through one falls on its side of the wait by a margin a loaded
// machine does not eat.
constexpr uint32_t LATE_DEVICE_COMPRESSION = 10;
constexpr uint32_t IDLE_WAIT_MS = CMD_IDLE_TIMEOUT_MS / LATE_DEVICE_COMPRESSION;
constexpr uint32_t RESPONSE_WAIT_MS = CMD_REPLY_TIMEOUT_MS / LATE_DEVICE_COMPRESSION;

// A reply counts only when it is new for this command: the final status of
// a command that ended in "Idle Timeout" arrives during the next one, and a
// final status may be delivered ahead of its response.
TEST_F(query_flow, EachQueryShowsItsOwnResponse) {
  const scoped_compression slower(LATE_DEVICE_COMPRESSION);
  // The first command takes half as long again as the idle wait (10 s
  // nominal): the next one's wait for it is half over when it ends.
  connect_device_of("late_status_command = 1:" + std::to_string(IDLE_WAIT_MS * 3 / 2));
  query(REQ_GET_VERSION);
  expect_command_error();
  EXPECT_TRUE(trace_.contains("[RCS] Idle Timeout!! ERROR\n"));
  query(REQ_GET_FW_DATE);
  EXPECT_EQ(result_text(), "Firmware date: 2024-03-18\n");

  connect_device_of("response_after_status_ms = " + std::to_string(RESPONSE_WAIT_MS / 2));
  query(REQ_GET_VERSION);
  EXPECT_EQ(result_text(), "Get version\nVersion: 1.05\nSupported Cmd: 42");
  query(REQ_GET_FW_TIME);
  EXPECT_EQ(result_text(), "Firmware time: 14:22:05\n");
}

// A command given up before its end still sends its response, here after
// its final status, which comes after the idle wait gave up: the next
// command is written once both came, and never takes that response for
// its own.
TEST_F(query_flow, AGivenUpCommandsLateResponseIsNotTheNextOnes) {
  const scoped_compression slower(LATE_DEVICE_COMPRESSION);
  connect_device_of("late_status_command = 1:" + std::to_string(IDLE_WAIT_MS * 3 / 2) +
                    "\nresponse_after_status_ms = " + std::to_string(RESPONSE_WAIT_MS / 2));
  query(REQ_GET_VERSION);
  expect_command_error();
  EXPECT_TRUE(trace_.contains("[RCS] Idle Timeout!! ERROR\n"));
  query(REQ_GET_FW_DATE);
  EXPECT_EQ(result_text(), "Firmware date: 2024-03-18\n");
  query(REQ_GET_FW_TIME);
  EXPECT_EQ(result_text(), "Firmware time: 14:22:05\n");
}

TEST_F(query_flow, FrameLimitsAndNoConnection) {
  connect_device_of("");
  uint8_t params[CMD_MAX_PARAMS + 1];
  for (int i = 0; i <= CMD_MAX_PARAMS; ++i) params[i] = static_cast<uint8_t>(0xC0 + i);

  EXPECT_EQ(send_command(0x0042, params, CMD_MAX_PARAMS + 1), 1);
  EXPECT_EQ(warble_sim_write_count(COMMAND_CHAR_UUID), 0);
  EXPECT_FALSE(trace_.contains("[RCS] Sending command"));

  // An unknown code reaches the device whole; the device then fails it.
  EXPECT_EQ(send_command(0x0042, params, CMD_MAX_PARAMS), 1);
  const std::vector<uint8_t> frame = sim_write(COMMAND_CHAR_UUID, 0);
  ASSERT_EQ(frame.size(), 23u);
  EXPECT_EQ(frame[0], 0x00);
  EXPECT_EQ(frame[1], 0x42);
  EXPECT_EQ(frame[22], 0xC0 + 20);

  EXPECT_EQ(command_query_u16(CMD_GET_FW_DATE, 0x1234, nullptr, 0), 0);
  EXPECT_EQ(sim_write(COMMAND_CHAR_UUID, 1), (std::vector<uint8_t>{0x00, 0x01, 0x12, 0x34}));
  uint8_t response[64];
  EXPECT_EQ(fetch_response(response, sizeof response), 10);  // "2024-03-18"
  EXPECT_EQ(fetch_response(response, 9), -1);
  EXPECT_EQ(fetch_response(nullptr, 64), -1);

  disconnect();
  fw_version version;
  EXPECT_EQ(get_version(&version), 1);
  EXPECT_EQ(wait_idle_if_connected(), 1);
  EXPECT_EQ(read_status_characteristic(response), -1);
}

}  // namespace
