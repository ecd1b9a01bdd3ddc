// A fleet of links on the stand-in library, each doing what the program
// does per update frame: a packet frame written without response, the wait
// for the device's status, a 10 ms pause. The radio test and the radio
// bench measure with it how many frames a second the fleet gets through.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/warble.h"
#include "sim/scenario.h"
#include "sim/update_receiver.h"
#include "sim/warble_sim.h"

namespace radio_fleet {

using clock = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

inline constexpr auto PROGRAM_PAUSE = std::chrono::milliseconds(10);
inline constexpr auto REPLY_WAIT = std::chrono::seconds(5);

inline std::string mac_of(int index) {
  char mac[24];
  std::snprintf(mac, sizeof mac, "C4:7C:8D:6A:3E:%02X", static_cast<unsigned>(index + 1) & 0xFF);
  return mac;
}

// A world of `links` devices of ours with that interval and data length.
inline std::string world(int links, double interval_ms, int data_length,
                         const std::string& global_keys = "") {
  std::string text = "connection_interval_ms = " + std::to_string(interval_ms) + "\n" + global_keys;
  for (int i = 0; i < links; ++i)
    text +=
        "[device]\nmac = " + mac_of(i) + "\ndata_length = " + std::to_string(data_length) + "\n";
  return text;
}

inline bytes update_frame(uint8_t code, const bytes& params) {
  bytes out = {code, static_cast<uint8_t>(params.size() >> 8),
               static_cast<uint8_t>(params.size() & 0xFF)};
  out.insert(out.end(), params.begin(), params.end());
  return out;
}

class updating_link {
 public:
  explicit updating_link(std::string mac) : mac_(std::move(mac)) {
    WarbleOption options[] = {{"mac", mac_.c_str()}, {"address-type", "unspecified"}};
    gatt_ = warble_gatt_create_with_options(2, options);
  }
  ~updating_link() {
    join();
    if (gatt_) warble_gatt_delete(gatt_);
  }
  updating_link(const updating_link&) = delete;
  updating_link& operator=(const updating_link&) = delete;

  // Connects and listens to the device's status; false with the reason.
  bool connect(std::string& error) {
    warble_gatt_connect_async(gatt_, this, [](void* context, WarbleGatt*, const char* failure) {
      auto* self = static_cast<updating_link*>(context);
      std::lock_guard<std::mutex> guard(self->lock_);
      self->setup_error_ = failure ? failure : "";
      ++self->setup_steps_;
      self->arrived_.notify_all();
    });
    if (!wait_setup_step(1, error)) return false;
    WarbleGattChar* status = warble_gatt_find_characteristic(gatt_, sim::STATUS_UUID);
    if (!status) {
      error = mac_ + ": no status characteristic";
      return false;
    }
    warble_gattchar_enable_notifications_async(
        status, this, [](void* context, WarbleGattChar*, const char* failure) {
          auto* self = static_cast<updating_link*>(context);
          std::lock_guard<std::mutex> guard(self->lock_);
          self->setup_error_ = failure ? failure : "";
          ++self->setup_steps_;
          self->arrived_.notify_all();
        });
    if (!wait_setup_step(2, error)) return false;
    warble_gattchar_on_notification_received(status, this, on_status);
    return true;
  }

  // Starts the transfer of a long image and sends packets until `stop`;
  // each status that answers a packet is timed.
  void start(std::atomic<bool>& stop) {
    thread_ = std::thread([this, &stop] {
      const uint32_t length = 1u << 30;
      const bytes controls[] = {
          update_frame(sim::UPD_CMD_START,
                       bytes(std::begin(sim::UPD_START_TOKEN), std::end(sim::UPD_START_TOKEN))),
          update_frame(sim::UPD_CMD_B1, {0, 0}),
          update_frame(sim::UPD_CMD_LENGTH,
                       {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                        static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)})};
      for (const bytes& value : controls) {
        if (!exchange(value)) return;
        std::this_thread::sleep_for(PROGRAM_PAUSE);
      }
      const bytes packet = update_frame(sim::UPD_CMD_PACKET, bytes(sim::UPD_MAX_PARAMS, 0x5A));
      while (!stop.load()) {
        if (!exchange(packet)) return;
        {
          std::lock_guard<std::mutex> guard(lock_);
          packet_replies_.push_back(clock::now());
        }
        std::this_thread::sleep_for(PROGRAM_PAUSE);
      }
    });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  size_t replies_between(clock::time_point from, clock::time_point to) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t count = 0;
    for (auto when : packet_replies_) count += when >= from && when < to;
    return count;
  }
  // A frame refused or left unanswered.
  bool failed() {
    std::lock_guard<std::mutex> guard(lock_);
    return failed_;
  }

 private:
  bool wait_setup_step(int step, std::string& error) {
    std::unique_lock<std::mutex> held(lock_);
    if (!arrived_.wait_for(held, REPLY_WAIT, [&] { return setup_steps_ >= step; })) {
      error = mac_ + ": no answer";
      return false;
    }
    if (!setup_error_.empty()) error = mac_ + ": " + setup_error_;
    return setup_error_.empty();
  }

  static void on_status(void* context, WarbleGattChar*, const uint8_t* value, uint8_t length) {
    auto* self = static_cast<updating_link*>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    ++self->statuses_;
    if (length == 0 || value[0] != sim::UPD_STATUS_ACCEPTED) self->failed_ = true;
    self->arrived_.notify_all();
  }

  // Writes one frame and waits for its status.
  bool exchange(const bytes& value) {
    size_t before;
    {
      std::lock_guard<std::mutex> guard(lock_);
      before = statuses_;
    }
    warble_gattchar_write_without_resp_async(
        warble_gatt_find_characteristic(gatt_, sim::UPDATE_UUID), value.data(),
        static_cast<uint8_t>(value.size()), nullptr, nullptr);
    std::unique_lock<std::mutex> held(lock_);
    if (!arrived_.wait_for(held, REPLY_WAIT, [&] { return statuses_ > before; })) failed_ = true;
    return !failed_;
  }

  std::string mac_;
  WarbleGatt* gatt_ = nullptr;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable arrived_;
  int setup_steps_ = 0;
  std::string setup_error_;
  size_t statuses_ = 0;
  bool failed_ = false;
  std::vector<clock::time_point> packet_replies_;
};

struct measurement {
  double frames_per_second = 0;
  std::string error;  // empty when every link connected and no frame failed
};

// Keeps a scanner running for as long as it lives, its results ignored.
class scanning_station {
 public:
  scanning_station() {
    warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult*) {});
    warble_scanner_start(0, nullptr);
  }
  ~scanning_station() { warble_scanner_stop(); }
  scanning_station(const scanning_station&) = delete;
  scanning_station& operator=(const scanning_station&) = delete;
};

// Configures the world, connects the links one after another, lets them
// all update for `warm_up`, then counts the statuses they receive for
// `measured`. With `scanning`, a scanner runs from before the first
// connection to the end, as on a station that keeps looking for devices.
inline measurement run(int links, double interval_ms, int data_length,
                       std::chrono::milliseconds warm_up, std::chrono::milliseconds measured,
                       bool scanning = false) {
  measurement result;
  if (warble_sim_configure(world(links, interval_ms, data_length).c_str()) != 0) {
    result.error = warble_sim_error();
    return result;
  }
  std::unique_ptr<scanning_station> scanner;
  if (scanning) scanner = std::make_unique<scanning_station>();
  std::vector<std::unique_ptr<updating_link>> fleet;
  for (int i = 0; i < links; ++i) {
    fleet.push_back(std::make_unique<updating_link>(mac_of(i)));
    if (!fleet.back()->connect(result.error)) return result;
  }
  std::atomic<bool> stop{false};
  for (auto& link : fleet) link->start(stop);
  const auto from = clock::now() + warm_up;
  const auto to = from + measured;
  std::this_thread::sleep_until(to);
  stop = true;
  size_t frames = 0;
  for (auto& link : fleet) {
    link->join();
    if (link->failed() && result.error.empty()) result.error = "a frame failed";
    frames += link->replies_between(from, to);
  }
  result.frames_per_second = frames / std::chrono::duration<double>(measured).count();
  return result;
}

}  // namespace radio_fleet
