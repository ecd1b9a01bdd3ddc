// A small blocking client of the stand-in library for its own tests: waits
// for each completion with a bound and notes which thread delivered it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ble/warble.h"
#include "sim/scenario.h"
#include "sim/update_receiver.h"
#include "sim/warble_sim.h"

namespace simtest {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

using sim::COMMAND_UUID;
using sim::FIRMWARE_REVISION_UUID;
using sim::MANUFACTURER_NAME_UUID;
using sim::MODEL_NUMBER_UUID;
using sim::PROPRIETARY_SERVICE_UUID;
using sim::RESPONSE_UUID;
using sim::SERIAL_NUMBER_UUID;
using sim::STATUS_UUID;
using sim::UPDATE_UUID;
inline constexpr const char* DEFAULT_MAC = "C4:7C:8D:6A:3E:01";

using bytes = std::vector<uint8_t>;

// The outcome of one asynchronous call.
struct outcome {
  bool arrived = false;
  std::optional<std::string> error;
  bytes value;
  std::thread::id thread;
  int32_t status = 0;
  clock::time_point when;
  uint64_t order = 0;  // of every handler call of every pending in the process
};

inline uint64_t next_order() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

// One pending call: the handler fills it, the test waits for it.
class pending {
 public:
  void complete(const char* error, const uint8_t* value = nullptr, uint8_t length = 0,
                int32_t status = 0) {
    std::lock_guard<std::mutex> guard(lock_);
    result_.arrived = true;
    if (error) result_.error = error;
    if (value) result_.value.assign(value, value + length);
    result_.thread = std::this_thread::get_id();
    result_.status = status;
    result_.when = clock::now();
    result_.order = next_order();
    ++calls_;
    done_.notify_all();
  }
  outcome wait(std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> held(lock_);
    done_.wait_for(held, limit, [&] { return result_.arrived; });
    return result_;
  }
  int calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }

  static void on_done(void* context, WarbleGattChar*, const char* error) {
    static_cast<pending*>(context)->complete(error);
  }
  static void on_read(void* context, WarbleGattChar*, const uint8_t* value, uint8_t length,
                      const char* error) {
    static_cast<pending*>(context)->complete(error, value, length);
  }
  static void on_connect(void* context, WarbleGatt*, const char* error) {
    static_cast<pending*>(context)->complete(error);
  }
  static void on_disconnect(void* context, WarbleGatt*, int32_t status) {
    static_cast<pending*>(context)->complete(nullptr, nullptr, 0, status);
  }

 private:
  std::mutex lock_;
  std::condition_variable done_;
  outcome result_;
  int calls_ = 0;
};

struct notification {
  std::string uuid;
  bytes value;
  std::thread::id thread;
  clock::time_point when;
};

// Every notification of the characteristics it was registered on, in order.
class notification_log {
 public:
  static void on_notification(void* context, WarbleGattChar* chr, const uint8_t* value,
                              uint8_t length) {
    auto* log = static_cast<notification_log*>(context);
    const char* uuid = warble_gattchar_get_uuid(chr);
    std::lock_guard<std::mutex> guard(log->lock_);
    log->entries_.push_back(
        {uuid ? uuid : "", bytes(value, value + length), std::this_thread::get_id(), clock::now()});
    log->arrived_.notify_all();
  }
  // Waits until at least `count` notifications arrived; returns them all.
  std::vector<notification> wait_for(size_t count, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> held(lock_);
    arrived_.wait_for(held, limit, [&] { return entries_.size() >= count; });
    return entries_;
  }
  std::vector<notification> of(const std::string& uuid) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<notification> matching;
    for (const auto& entry : entries_)
      if (entry.uuid == uuid) matching.push_back(entry);
    return matching;
  }
  size_t size() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<notification> entries_;
};

// A connection to one simulated device.
class connection {
 public:
  // Fixtures create theirs later, after configuring the world (a new world
  // makes older connection objects dead).
  explicit connection(const char* mac = DEFAULT_MAC, bool create_now = true) : mac_(mac) {
    if (create_now) create();
  }
  void create() {
    WarbleOption options[] = {{"mac", mac_}, {"address-type", "unspecified"}};
    gatt = warble_gatt_create_with_options(2, options);
  }
  ~connection() {
    if (gatt) warble_gatt_delete(gatt);
  }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  outcome connect() {
    pending done;
    warble_gatt_connect_async(gatt, &done, pending::on_connect);
    return done.wait();
  }
  WarbleGattChar* find(const char* uuid) { return warble_gatt_find_characteristic(gatt, uuid); }

  // Enables notifications of each UUID and registers `log` on it.
  bool subscribe(notification_log& log, std::initializer_list<const char*> uuids) {
    for (const char* uuid : uuids) {
      WarbleGattChar* chr = find(uuid);
      if (!chr) return false;
      pending done;
      warble_gattchar_enable_notifications_async(chr, &done, pending::on_done);
      outcome result = done.wait();
      if (!result.arrived || result.error) return false;
      warble_gattchar_on_notification_received(chr, &log, notification_log::on_notification);
    }
    return true;
  }

  WarbleGatt* gatt = nullptr;

 private:
  const char* mac_;
};

inline outcome read(WarbleGattChar* chr, std::chrono::milliseconds limit = 5000ms) {
  pending done;
  warble_gattchar_read_async(chr, &done, pending::on_read);
  return done.wait(limit);
}

inline outcome write(WarbleGattChar* chr, const bytes& value, bool with_response = true,
                     std::chrono::milliseconds limit = 5000ms) {
  pending done;
  if (with_response) {
    warble_gattchar_write_async(chr, value.data(), static_cast<uint8_t>(value.size()), &done,
                                pending::on_done);
  } else {
    warble_gattchar_write_without_resp_async(chr, value.data(), static_cast<uint8_t>(value.size()),
                                             &done, pending::on_done);
  }
  return done.wait(limit);
}

inline std::string text_of(const bytes& value) {
  return std::string(value.begin(), value.end());
}

inline WarbleSimUpdateRecord update_record() {
  WarbleSimUpdateRecord record{};
  warble_sim_update_record(&record);
  return record;
}

}  // namespace simtest

namespace simtest {

inline const bytes START_TOKEN(std::begin(sim::UPD_START_TOKEN), std::end(sim::UPD_START_TOKEN));
inline const bytes FINISH_TOKEN(std::begin(sim::UPD_FINISH_TOKEN), std::end(sim::UPD_FINISH_TOKEN));

inline bytes frame(uint8_t code, const bytes& params) {
  bytes out(3 + params.size());
  out[0] = code;
  out[1] = static_cast<uint8_t>(params.size() >> 8);
  out[2] = static_cast<uint8_t>(params.size() & 0xFF);
  for (size_t i = 0; i < params.size(); ++i) out[3 + i] = params[i];
  return out;
}

inline bytes be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Reference CRC-32/JAMCRC, bit by bit.
inline uint32_t jamcrc(const bytes& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}

// Every frame of a well-formed transfer of `image`.
inline std::vector<bytes> transfer_frames(const bytes& image) {
  std::vector<bytes> frames = {frame(0x7F, START_TOKEN), frame(0xB1, {0, 0}),
                               frame(0xB2, be32(static_cast<uint32_t>(image.size())))};
  for (size_t sent = 0; sent < image.size(); sent += 240) {
    size_t n = std::min<size_t>(240, image.size() - sent);
    frames.push_back(frame(0xB4, bytes(image.begin() + sent, image.begin() + sent + n)));
  }
  frames.push_back(frame(0xB7, be32(jamcrc(image))));
  frames.push_back(frame(0x8F, FINISH_TOKEN));
  return frames;
}

// Writes update frames without response, each followed by a wait for the
// device's status reply, as the program does.
class updater {
 public:
  updater(connection& link, notification_log& log) : link_(link), log_(log) {}

  // Status byte 0 of the reply, or -1 when none came within `limit`.
  int send(const bytes& value, std::chrono::milliseconds limit = 5000ms) {
    size_t before = log_.of(STATUS_UUID).size();
    outcome written = write(link_.find(UPDATE_UUID), value, false);
    if (!written.arrived || written.error) return -1;
    auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
      auto replies = log_.of(STATUS_UUID);
      if (replies.size() > before)
        return replies[before].value.empty() ? -2 : replies[before].value[0];
      std::this_thread::sleep_for(1ms);
    }
    return -1;
  }

  // Like send, but waits past other statuses for the reply naming the
  // frame's code in byte 1.
  int answer(const bytes& value, std::chrono::milliseconds limit = 5000ms) {
    auto replies = [&] {
      auto all = log_.of(STATUS_UUID);
      std::erase_if(all, [&](const notification& n) {
        return n.value.size() < 2 || value.empty() || n.value[1] != value[0];
      });
      return all;
    };
    size_t before = replies().size();
    outcome written = write(link_.find(UPDATE_UUID), value, false);
    if (!written.arrived || written.error) return -1;
    auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
      auto now_seen = replies();
      if (now_seen.size() > before) return now_seen[before].value[0];
      std::this_thread::sleep_for(1ms);
    }
    return -1;
  }

  // Sends frames until one is refused or unanswered; the statuses seen.
  std::vector<int> send_all(const std::vector<bytes>& frames) {
    std::vector<int> statuses;
    for (const auto& value : frames) {
      statuses.push_back(send(value));
      if (statuses.back() != 0) break;
    }
    return statuses;
  }

 private:
  connection& link_;
  notification_log& log_;
};

// A link to one device, its notifications in `log`, and an updater over
// both. The link is made on connect or open: a new world makes older
// connection objects dead.
struct session {
  explicit session(const char* mac = DEFAULT_MAC) : link(mac, false) {}

  // Connects to the device of the world as it is and subscribes `log` to
  // each of `uuids`.
  testing::AssertionResult connect(std::initializer_list<const char*> uuids = {}) {
    link.create();
    const outcome connected = link.connect();
    if (connected.error) return testing::AssertionFailure() << "connect: " << *connected.error;
    if (!link.subscribe(log, uuids)) return testing::AssertionFailure() << "subscribe failed";
    return testing::AssertionSuccess();
  }
  // Configures a new world from `scenario` first.
  testing::AssertionResult open(const char* scenario,
                                std::initializer_list<const char*> uuids = {}) {
    if (warble_sim_configure(scenario) != 0) {
      return testing::AssertionFailure() << "scenario refused: " << warble_sim_error();
    }
    return connect(uuids);
  }

  notification_log log;  // outlives the link, whose notifications it takes
  connection link;
  updater device{link, log};
};

// Cases that each open a world of their own and listen to all three
// notifying characteristics of its device.
class listening_session : public ::testing::Test, public session {
 protected:
  void open(const char* scenario = "") {
    ASSERT_TRUE(session::open(scenario, {RESPONSE_UUID, STATUS_UUID, UPDATE_UUID}));
  }
};

}  // namespace simtest
