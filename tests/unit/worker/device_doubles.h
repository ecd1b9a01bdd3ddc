// Stand-ins for the device operations the dispatcher calls: each records its
// call (name and program tick) and does what the running test scripted.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/command_channel.h"

struct device_call {
  std::string name;
  uint32_t tick_ms;  // program time at entry
};

struct device_script {
  int query_result = 0;  // get_version, get_fw_date and get_fw_time
  fw_version version;
  std::vector<uint8_t> stamp_answer;  // copied into the date/time buffer
  // Runs inside every operation, on the caller's thread, after the call was
  // recorded: to hold the worker, post from within a request, and the like.
  std::function<void(const std::string& name)> during;
};

// What the date/time double saw on entry.
struct stamp_request {
  uint8_t capacity = 0;
  bool buffer_zeroed = false;
};

void reset_device_doubles(device_script script = {});
std::vector<device_call> device_calls();
std::vector<std::string> device_call_names();
stamp_request last_stamp_request();
