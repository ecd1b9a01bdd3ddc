// One device, from the search to the release: what the update command does
// once and the batch does for each device. Everything runs on the calling
// thread, one device operation at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/connection.h"
#include "device/firmware_update.h"
#include "fleet/device_row.h"
#include "fleet/fleet_view.h"

struct seen_device {
  std::string mac;  // as the device advertised it
  std::string name;
  int rssi = 0;  // dBm
};

// Every device seen within `seconds`, in the order they were first seen;
// an interruption ends the search early with what was seen.
std::vector<seen_device> scan_devices(uint32_t seconds);

// Scans for `seconds`, handing each device to `each_new` (on the calling
// thread) as soon as this scan first sees it, until `enough` holds (null:
// never), a stop, or the time is up.
void scan_watching(const std::function<void(const seen_device&)>& each_new,
                   const std::function<bool()>& enough, uint32_t seconds);

// The device with `mac` (any letter case) as soon as it is seen; nothing
// when it was not seen within `seconds` or the search was interrupted.
std::optional<seen_device> find_device(const std::string& mac, uint32_t seconds);

// The devices of `macs` seen within `seconds` (the search ends once all
// were), by MAC key (upper case).
std::map<std::string, seen_device> find_devices(const std::vector<std::string>& macs,
                                                uint32_t seconds);

// Where a device's run stopped short; a single update's exit status
// depends on it, and a batch stops for an image that changed.
// `model`: the device is of another model than the image's, and was left
// alone.
enum class failure_stage { none, search, connection, transfer, image, verify, model };

// Where a device's time went, in seconds of program time.
struct phase_times {
  double find = 0;
  double connect = 0;  // the link and the service check
  double read = 0;     // subscribing and reading the Device Information
  double update = 0;
  double release = 0;
  double verify = 0;  // from the release after the update to the revision read back
  // When the latest transfer began and ended, and its first and last packet
  // the device accepted (tick_count_ms), for figures of transfers that
  // overlap; 0 when there was none.
  uint32_t transfer_began_ms = 0;
  uint32_t transfer_ended_ms = 0;
  uint32_t first_packet_ms = 0;
  uint32_t last_packet_ms = 0;
};

struct device_job {
  std::string mac;
  std::string image;
  image_expectation expected;  // the bytes the device must receive
  uint32_t seconds = 30;       // bound of each search
  int retries = 1;             // further tries after a failed connection or transfer
  std::optional<std::string> skip_if_revision;
  // A device whose Model Number reads otherwise is never sent the image (an
  // image for another model can brick it).
  std::optional<std::string> model;
  // After the device accepted the image: the Firmware Revision it must come
  // back on, looked for during at most verify_seconds.
  std::optional<std::string> expect_revision;
  uint32_t verify_seconds = 90;
};

struct device_run {
  device_row row;
  failure_stage stage = failure_stage::none;
  phase_times times;
  bool information_read = false;            // at the first connection that got that far
  std::string serial_number, model_number;  // as read then
  // The shared record could not take what became of the device (see
  // batch_options::record): the batch stops.
  std::string record_error;
};

// Where a job runs: the device record whose connection it uses (the
// window's when a command serves one device at a time), the display it
// reports through, and whether it may look for the device itself. A
// command serving several devices at once looked for them all before the
// first transfer: nothing scans while transfers run, and a device is then
// connected again rather than looked for again.
struct device_worker {
  device_record& record;
  session_view& display;
  bool searches = true;
  // Told, from the worker's thread, how many of our links were up when the
  // adapter refused a connection for room (null: nobody to tell).
  std::function<void(int links_up)> adapter_full;
};

// The adapter's words for a connection it refused because it holds as
// many links as it can.
constexpr const char* ADAPTER_FULL_ERROR = "Too many connections";

// Finds the device, connects, reads its information, skips it when its
// Firmware Revision is the one to skip, sends the image and releases it.
// A connection that fails is tried again after a new search; a transfer
// that fails, on a fresh connection; at most `retries` times in all. With
// an expected revision, waits for the device to come back on it. Says each
// step as an event, and the row in a last "done" event.
device_run run_device_job(const device_job& job, session_view& display);

// The same for a device the caller found already, on the worker's record;
// a worker that does not search connects again where the search would be.
device_run run_found_device_job(const device_job& job, const seen_device& found,
                                const device_worker& worker);

// How long the verification waits before it looks again at a device that
// came back on another revision, or could not be connected: it may still be
// installing.
constexpr uint32_t VERIFY_AGAIN_MS = 3000;
// A connection that is released (the documented pauses included) when it
// goes out of scope, whatever way the scope ends.
class device_connection {
 public:
  explicit device_connection(device_record& record = window_device_record()) : record_(record) {}
  ~device_connection();
  device_connection(const device_connection&) = delete;
  device_connection& operator=(const device_connection&) = delete;

  // The device at `mac`, as the search reported it.
  connect_result open(const std::string& mac);
  void release();
  device_record& record() const { return record_; }

 private:
  device_record& record_;
};

// How a connection failure is told: its stable code.
const char* connect_failure_code(connect_result result);
