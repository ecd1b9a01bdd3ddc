#include <cstdio>
#include <cstring>

#include "device/command_channel.h"
#include "device/connection.h"
#include "device/firmware_update.h"
#include "device/scan.h"
#include "display/display.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

constexpr size_t VERSION_TEXT_SIZE = 100;
constexpr uint8_t FW_STAMP_CAPACITY = 30;
constexpr size_t FW_STAMP_TEXT_SIZE = 50;

void show_status(const char* text) {
  set_text_if_different(display_window::main, IDC_STATUS_LINE, text);
}

void show_command_result(const char* text) {
  set_text_if_different(display_window::main, IDC_COMMAND_RESULT, text);
}

void report_query_failure() {
  message_box(display_window::none, "Basic command execution error", "Error", box_icon::warning);
}

void run_disconnect() {
  close_device();
  show_connection_state(false, "");
}

void run_get_version() {
  fw_version version;
  if (get_version(&version) != 0) {
    report_query_failure();
    return;
  }
  char text[VERSION_TEXT_SIZE] = {};
  snprintf(text, sizeof text, "Get version\nVersion: %u.%02u\nSupported Cmd: %u",
           unsigned{version.major}, unsigned{version.minor}, unsigned{version.supported_commands});
  show_command_result(text);
}

using fw_stamp_query = int (*)(uint8_t* buf, uint8_t capacity);

// The device sends the text without a terminating zero and may fill the
// whole buffer, so it is copied into one with room for the zero. Device text
// is only ever an argument, never a format.
void run_fw_stamp_query(fw_stamp_query query, const char* stamp_name) {
  uint8_t answer[FW_STAMP_CAPACITY] = {};
  if (query(answer, FW_STAMP_CAPACITY) != 0) {
    report_query_failure();
    return;
  }
  char stamp[FW_STAMP_CAPACITY + 1] = {};
  memcpy(stamp, answer, FW_STAMP_CAPACITY);
  char text[FW_STAMP_TEXT_SIZE] = {};
  snprintf(text, sizeof text, "Firmware %s: %s\n", stamp_name, stamp);
  show_command_result(text);
}

}  // namespace

int dispatch_request(uint8_t type, uint8_t, const uint8_t*) {
  switch (type) {
    case REQ_SCAN:
      show_status("Scanning BT");
      scan_for_devices();
      return 0;
    case REQ_CONNECT:
      show_status("Connecting BT...");
      connect_device();
      return 0;
    case REQ_DISCONNECT:
      show_status("Disconnecting BT...");
      run_disconnect();
      return 0;
    case REQ_GET_VERSION:
      show_status("Get version\n");
      run_get_version();
      return 0;
    case REQ_GET_FW_DATE:
      show_status("Firmware date");
      run_fw_stamp_query(get_fw_date, "date");
      return 0;
    case REQ_GET_FW_TIME:
      show_status("Firmware time");
      run_fw_stamp_query(get_fw_time, "time");
      return 0;
    case REQ_UPDATE_FROM_FILE:
      show_status("Update from local file");
      update_from_file();
      return 0;
    default:
      message_box(display_window::main, "INTERNAL Message not supported", "Error",
                  box_icon::warning);
      return 1;
  }
}
