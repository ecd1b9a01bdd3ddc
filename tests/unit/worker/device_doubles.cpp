#include "tests/unit/worker/device_doubles.h"

#include <algorithm>
#include <cstring>

#include "device/connection.h"
#include "device/firmware_update.h"
#include "device/scan.h"
#include "platform/clock.h"

namespace {
std::mutex lock;
device_script script;
std::vector<device_call> calls;
stamp_request stamp_seen;

// Records the call and runs the scripted hook outside the lock, so the hook
// may block or call back into the doubles' accessors.
device_script enter(const char* name) {
  device_script current;
  {
    std::lock_guard<std::mutex> hold(lock);
    calls.push_back({name, tick_count_ms()});
    current = script;
  }
  if (current.during) current.during(name);
  return current;
}

int answer_stamp(const char* name, uint8_t* buf, uint8_t capacity) {
  const bool zeroed = std::all_of(buf, buf + capacity, [](uint8_t b) { return b == 0; });
  const device_script current = enter(name);
  {
    std::lock_guard<std::mutex> hold(lock);
    stamp_seen = {capacity, zeroed};
  }
  if (current.query_result != 0) return current.query_result;
  const size_t count = std::min<size_t>(capacity, current.stamp_answer.size());
  if (count > 0) memcpy(buf, current.stamp_answer.data(), count);
  return 0;
}
}  // namespace

void reset_device_doubles(device_script next) {
  std::lock_guard<std::mutex> hold(lock);
  script = std::move(next);
  calls.clear();
  stamp_seen = {};
}

std::vector<device_call> device_calls() {
  std::lock_guard<std::mutex> hold(lock);
  return calls;
}

std::vector<std::string> device_call_names() {
  std::vector<std::string> names;
  for (const auto& call : device_calls()) names.push_back(call.name);
  return names;
}

stamp_request last_stamp_request() {
  std::lock_guard<std::mutex> hold(lock);
  return stamp_seen;
}

scan_end scan_for_devices() {
  enter("scan");
  return scan_end::ran_full_time;
}

connect_result connect_device() {
  enter("connect");
  return connect_result::ready;
}

void close_device() {
  enter("close");
}

void update_from_file() {
  enter("update");
}

int get_version(fw_version* out) {
  const device_script current = enter("version");
  if (current.query_result != 0) return current.query_result;
  *out = current.version;
  return 0;
}

int get_fw_date(uint8_t* buf, uint8_t capacity) {
  return answer_stamp("date", buf, capacity);
}

int get_fw_time(uint8_t* buf, uint8_t capacity) {
  return answer_stamp("time", buf, capacity);
}
