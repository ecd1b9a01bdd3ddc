// The stand-in library's state: handles, the simulated world and the
// delivery threads. One instance for the process, created at the first call
// into the library and never destroyed (library threads may still run while
// the process exits).
//
// Locking: `lock` guards everything here except the queues (which lock
// themselves) and the immutable parts of handles (a characteristic's UUID,
// a connection's address). Program handlers are never called with `lock`
// held: they call back into the library.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "ble/warble.h"
#include "sim/radio.h"
#include "sim/scenario.h"
#include "sim/timed_queue.h"
#include "sim/update_receiver.h"

struct WarbleGattChar {
  WarbleGatt* gatt = nullptr;
  std::string uuid;      // set at creation, never changed
  uint64_t link_id = 0;  // the link it was discovered on; dead once that link is
  uint64_t generation = 0;
  bool notifying = false;
  bool status_announced = false;
  struct notify_target {
    void* context;
    warble_notify_handler handler;
  };
  std::vector<notify_target> notify_targets;
};

struct WarbleGatt {
  std::string mac;  // set at creation, never changed
  uint64_t generation = 0;
  bool deleted = false;
  enum class link_state { down, connecting, up } state = link_state::down;
  uint64_t link_id = 0;          // the current link
  uint64_t connect_attempt = 0;  // the attempt a pending connect completion belongs to
  int32_t device_index = -1;
  sim::sim_time link_origin{};
  std::map<std::string, WarbleGattChar*> characteristics;  // of the current link
  void* disconnect_context = nullptr;
  warble_disconnect_handler disconnect_handler = nullptr;
  sim::air_link air;  // its share of the shared radio, while up
};

namespace sim {

enum counter : size_t {
  CONNECTS,
  CONNECT_ATTEMPTS,
  DISCONNECTS,
  LINK_DROPS,
  CREATES,
  DELETES,
  SCAN_STARTS,
  SCAN_STOPS,
  SCAN_RESULTS,
  RESULTS_AFTER_STOP,
  ENABLES,
  DISABLES,
  READS,
  WRITES,
  WRITES_NO_RESP,
  NOTIFICATIONS,
  HANDLE_MISUSE,
  CALLBACK_STALLS,
  RESTARTS,
  AIRTIME_US,
  SKIPPED_EVENTS,
  PEAK_LINKS,
  OVERLAPS,
  CONCURRENT_SETUPS,
  ARRIVALS,
  DEPARTURES,
  SCAN_WINDOWS,
  SCAN_SKIPPED_EVENTS,
  COUNTER_COUNT
};
extern const char* const COUNTER_NAMES[COUNTER_COUNT];

// Reason a dropped link reports to the disconnect handler (supervision
// time-out, as a radio link that just goes away).
inline constexpr int32_t LINK_DROP_STATUS = 0x08;

// What one device does across links: status byte and response it would
// read back, when its command engine is free again.
struct device_runtime {
  uint8_t status = 0;
  uint8_t status_detail = 0;
  std::vector<uint8_t> response;
  sim_time command_free_at{};
  bool stays_busy = false;
  int32_t connect_errors_given = 0;  // connect_error_times
  // The latest update reply, sent again once the next frame arrives
  // (late_duplicate_replies).
  std::optional<std::array<uint8_t, 2>> duplicate_reply;
  // Each device judges its own transfers: two devices updated at once are
  // never judged against each other's image.
  update_receiver receiver;
  uint64_t transfer_link = 0;   // the link its latest start frame came on
  std::string verdict_written;  // its verdict when the record file was last written
  // Restarts after an accepted update: gone until `back_at` (or for ever);
  // its Firmware Revision reads `old_revision` until `new_revision_from`,
  // `revision` from then on. No restart yet: the configured one.
  int64_t airtime_us = 0;  // its links' events on the shared radio
  int32_t restarts = 0;
  bool gone_for_ever = false;
  sim_time back_at{};
  sim_time new_revision_from{};
  std::string old_revision;
  std::string revision;
  // In range: from its arrival (at once unless appears_after_ms or the
  // world's arrivals say otherwise) until it departs (present_for_ms), for
  // good. A restart changes neither.
  bool arrived = true;
  bool departed = false;
};

// One advertisement as the scanner reports it.
struct advertisement {
  int32_t device_index = 0;
  std::string mac;
  bool name_is_null = false;
  std::string name;
  int32_t rssi = 0;
  std::vector<manufacturer_data> manufacturer;
  std::vector<std::string> services;
};

struct write_log {
  struct entry {
    size_t offset;
    uint8_t length;
    int64_t arrival_us;  // its event's start, since the link came up
    int64_t landed_us;   // the end of its last packet, since the link came up
  };
  std::vector<uint8_t> bytes;
  std::vector<entry> entries;
};

struct world_state {
  uint64_t generation = 1;
  sim_time configured_at{};  // arrivals and departures count from here
  world_config config;
  std::vector<device_config> devices;  // configured, then the flood
  std::vector<device_runtime> runtime;
  std::shared_ptr<const std::vector<advertisement>> advertised;
  std::mt19937 random;
  // The device whose start frame came last (before any, the first device):
  // the one warble_sim_update_record and warble_sim_image describe.
  int32_t latest_transfer_device = 0;
  int32_t transfers = 0;                          // start frames seen on every device
  std::array<int32_t, REQUEST_KINDS> requests{};  // that reached a device, by kind
  std::map<std::string, write_log> writes;
  std::array<int32_t, COUNTER_COUNT> counters{};
};

struct scanner_state {
  bool running = false;
  bool stop_requested = false;
  uint64_t session = 0;
  uint64_t stopped_session = 0;  // the latest session whose stop has returned
  std::thread* thread = nullptr;
  void* context = nullptr;
  warble_scan_handler handler = nullptr;
  // One-thread mode: rounds of results handed to the callback thread, and
  // the latest it delivered (a slow handler never lets rounds pile up).
  uint64_t rounds_posted = 0;
  uint64_t rounds_delivered = 0;
};

struct library {
  library();

  std::mutex lock;
  std::condition_variable scanner_wake;
  world_state world;
  scanner_state scanner;
  std::vector<std::unique_ptr<WarbleGatt>> gatts;
  std::vector<std::unique_ptr<WarbleGattChar>> characteristics;
  std::unordered_set<const void*> known_gatts;
  std::unordered_set<const void*> known_characteristics;
  uint64_t next_link_id = 1;
  std::string last_error;
  std::string record_path;
  std::string init_config = "default";
  radio_state radio;

  timed_queue device_queue;        // what happens on the device, at its time
  timed_queue completion_queue;    // completion and disconnect handlers
  timed_queue notification_queue;  // notification handlers
  // Notifications that must come from another thread than the ones before
  // them (response_after_status_ms).
  timed_queue second_notification_queue;
  // Every handler, in the one-thread mode (callback_thread = one).
  timed_queue callback_queue;
};

library& lib();
// True once the process began to exit: nothing is delivered any more.
bool shutting_down();

// In the one-thread mode, waits (at most CALLBACK_WAIT_LIMIT) until the
// handler running on the callback thread returned, as a library that
// delivers every callback on one thread does before it disconnects,
// unsubscribes or stops scanning; a wait that runs out is a stall, counted.
// No wait on the callback thread itself. Expects `lock` NOT held.
inline constexpr std::chrono::seconds CALLBACK_WAIT_LIMIT{5};
void wait_for_callbacks(library& l);

// --- helpers used across the library's files; all expect `lock` held ---

void count(library& l, counter which, int32_t amount = 1);
update_receiver& receiver_of(library& l, const WarbleGatt* gatt);
// The receiver of the latest update transfer.
const update_receiver& latest_receiver(const library& l);
// Where a handler is posted: `many_mode_queue`, or the one callback thread.
timed_queue& handler_queue(library& l, timed_queue& many_mode_queue);
// Replaces the world. Open connections become dead handles; pending
// deliveries of the old world are dropped.
void install_world(library& l, const world_config& config);
// Null (and counted as misuse) unless `gatt` is a live connection object.
WarbleGatt* checked_gatt(library& l, const WarbleGatt* gatt);
// Null (and counted as misuse) unless `chr` belongs to a link still up.
WarbleGattChar* checked_char(library& l, const WarbleGattChar* chr);
bool char_alive(const library& l, const WarbleGattChar* chr);
bool link_alive(const library& l, const WarbleGatt* gatt, uint64_t link_id);
int32_t find_device(const library& l, const std::string& mac);
// True while the device is out of range (not yet arrived, or departed) or
// restarting: no advertising, no connection.
bool device_absent(const library& l, int32_t device, sim_time now);
// The link comes up now, or on the shared radio at the anchor it was given.
void bring_link_up(library& l, WarbleGatt* gatt, std::optional<sim_time> anchor = std::nullopt);
// Takes the link down; the disconnect handler, when `notify` says so, is
// returned for the caller to call (or post) after releasing the lock.
struct disconnect_call {
  warble_disconnect_handler handler = nullptr;
  void* context = nullptr;
  WarbleGatt* gatt = nullptr;
  int32_t status = 0;
};
disconnect_call take_link_down(library& l, WarbleGatt* gatt, int32_t status);
// Posts the call on the completion thread, dropped if the connection is
// deleted or the world replaced before it runs.
void post_disconnect(library& l, const disconnect_call& call, sim_time due);

// Link timing: connection events every connection_interval_ms (the
// device's own, else the world's) from the moment the link came up; 0 means
// no events (everything immediate).
std::chrono::nanoseconds device_interval(const library& l, int32_t device);
std::chrono::nanoseconds connection_interval(const library& l, const WarbleGatt* gatt);
sim_time next_event_after(const library& l, const WarbleGatt* gatt, sim_time t);
sim_time event_at_or_after(const library& l, const WarbleGatt* gatt, sim_time t);

// Posts a notification of `chr` carrying `bytes` (each twice with the
// duplicate fault). Delivered only while the characteristic is alive and
// notifying. `then` runs (lock held) once its handler calls are over, or
// it was dropped, unless the world was replaced meanwhile.
enum class notification_lane { first, second };
void post_notification(library& l, WarbleGattChar* chr, std::vector<uint8_t> bytes, sim_time due,
                       notification_lane lane = notification_lane::first,
                       std::function<void(library&)> then = {});

// Device side (device_model.cpp).
// False when the device dropped the link at this write instead of taking it.
bool device_receive_write(library& l, WarbleGatt* gatt, uint64_t link_id, const std::string& uuid,
                          const std::vector<uint8_t>& bytes, sim_time arrival, sim_time landed);
// A read, enable or disable reached the device at `arrival`: counted, and
// false when the device dropped the link at it (drop_link_at).
bool device_takes_request(library& l, WarbleGatt* gatt, request_kind kind, sim_time arrival);
std::vector<uint8_t> device_read_value(library& l, WarbleGatt* gatt, const std::string& uuid);
void device_link_up(library& l, WarbleGatt* gatt);
// Announces a busy or non-zero status once the program listens on it.
void device_maybe_announce_status(library& l, WarbleGattChar* chr);
// Every live link to the device goes down as a radio link that goes away
// (LINK_DROP_STATUS), its disconnect handler due at `now`.
void drop_device_links(library& l, int32_t device, sim_time now);

// Presence (presence.cpp): marks which devices are in range as the world
// is installed and posts their arrivals and departures.
void schedule_presence(library& l);

// Record (record.cpp). record_text and counter_value expect the lock held.
std::string record_text(const library& l);
// A named counter, or -1 for an unknown name.
int32_t counter_value(const library& l, const std::string& name);
bool write_text_file(const std::string& path, const std::string& text);
// The record as text and the image the device received, taken together
// under the lock so the two files always describe the same moment.
struct record_files {
  std::string text;
  std::vector<uint8_t> image;
};
record_files take_record(const library& l);
// Writes the text to `path` and the received image, byte for byte, to
// `path` + ".image" (tests compare it with the file that was sent).
bool write_record_files(const std::string& path, const record_files& files);
// Writes the record to the file named by WARBLE_SIM_RECORD when the verdict
// changed since it was last written. Releases `held` (the file is written
// without the lock).
void write_record_if_verdict_changed(library& l, std::unique_lock<std::mutex>& held);

}  // namespace sim
