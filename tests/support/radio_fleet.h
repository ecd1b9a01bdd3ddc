// A fleet of links on the stand-in library, each doing what the program
// does per update frame: a packet frame written without response, the wait
// for the device's status, a 10 ms pause. How many frames a second the
// fleet gets through: in real time, with a thread per link (the radio
// bench), and on the stand-in's driven clock, the fleet acting at its
// simulated moments (the radio test: the simulation's own figure, whatever
// the machine's load).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
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
  bytes out(3 + params.size());
  out[0] = code;
  out[1] = static_cast<uint8_t>(params.size() >> 8);
  out[2] = static_cast<uint8_t>(params.size() & 0xFF);
  std::copy(params.begin(), params.end(), out.begin() + 3);
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

// The same fleet on the driven clock. The test thread is the program of
// every link: it writes each link's next frame at its moment, then moves
// the clock to the next such moment, or to the next thing the library has
// due before it; the handlers only note what came. Each link sends the
// start, B1 and length frames, then packets, each after the status of the
// one before and the 10 ms pause.
class driven_fleet {
 public:
  ~driven_fleet() {
    for (auto& each : links_)
      if (each->gatt) warble_gatt_delete(each->gatt);
  }

  // Configures the world (the clock must be driven), connects the links
  // one after another, lets them all update for `warm_up`, then counts the
  // packets' statuses they receive for `measured`, all in simulated time.
  // With `scanning`, a scanner runs from before the first connection to
  // the end, as on a station that keeps looking for devices.
  measurement run(int links, double interval_ms, int data_length, std::chrono::microseconds warm_up,
                  std::chrono::microseconds measured, bool scanning = false) {
    measurement result;
    if (warble_sim_configure(world(links, interval_ms, data_length).c_str()) != 0) {
      result.error = warble_sim_error();
      return result;
    }
    if (scanning) scanner_ = std::make_unique<scanning_station>();
    for (int i = 0; i < links; ++i) {
      links_.push_back(std::make_unique<fleet_link>());
      if (!connect(*links_.back(), mac_of(i), result.error)) return result;
    }
    const int64_t start = warble_sim_clock_us();
    const int64_t from = start + warm_up.count(), to = from + measured.count();
    for (auto& each : links_) each->write_at = start;
    int64_t now = start;
    size_t frames = 0;
    while (now < to) {
      int64_t next = to;
      for (auto& each : links_) {
        if (each->write_at && *each->write_at <= now) write(*each, now);
        if (each->write_at) next = std::min(next, *each->write_at);
      }
      now = warble_sim_advance_clock(next);
      if (now < 0) {
        result.error = "the clock could not be moved on";
        return result;
      }
      for (auto& each : links_) {
        if (!each->written_at) continue;
        const answer seen = each->seen();
        if (seen.statuses > each->taken) {
          each->taken = seen.statuses;
          if (seen.refused) {
            result.error = "a frame was refused";
            return result;
          }
          if (each->sent > CONTROL_FRAMES && now >= from && now < to) ++frames;
          each->written_at.reset();
          each->write_at = now + PAUSE_US;
        } else if (now - *each->written_at > REPLY_WAIT_US) {
          result.error = "a frame was not answered";
          return result;
        }
      }
    }
    result.frames_per_second = frames / (static_cast<double>(measured.count()) / 1e6);
    return result;
  }

 private:
  static constexpr int64_t PAUSE_US =
      std::chrono::duration_cast<std::chrono::microseconds>(PROGRAM_PAUSE).count();
  static constexpr int64_t REPLY_WAIT_US =
      std::chrono::duration_cast<std::chrono::microseconds>(REPLY_WAIT).count();
  static constexpr size_t CONTROL_FRAMES = 3;

  struct answer {
    int steps = 0;
    std::string error;
    int statuses = 0;
    bool refused = false;
  };
  struct fleet_link {
    WarbleGatt* gatt = nullptr;
    WarbleGattChar* update = nullptr;
    std::mutex lock;  // the handlers' side, on library threads
    answer noted;
    // The program's side, on the test thread.
    int taken = 0;
    size_t sent = 0;
    std::optional<int64_t> write_at;
    std::optional<int64_t> written_at;

    answer seen() {
      std::lock_guard<std::mutex> guard(lock);
      return noted;
    }
    static void on_step(void* context, const char* error) {
      auto* self = static_cast<fleet_link*>(context);
      std::lock_guard<std::mutex> guard(self->lock);
      ++self->noted.steps;
      if (error) self->noted.error = error;
    }
    static void on_status(void* context, WarbleGattChar*, const uint8_t* value, uint8_t length) {
      auto* self = static_cast<fleet_link*>(context);
      std::lock_guard<std::mutex> guard(self->lock);
      ++self->noted.statuses;
      if (length == 0 || value[0] != sim::UPD_STATUS_ACCEPTED) self->noted.refused = true;
    }
  };

  // Moves the clock on until the link's setup took `step` steps, for at
  // most REPLY_WAIT of simulated time.
  static bool setup_step(fleet_link& each, int step, std::string& error) {
    const int64_t limit = warble_sim_clock_us() + REPLY_WAIT_US;
    for (;;) {
      const answer seen = each.seen();
      if (seen.steps >= step) {
        error = seen.error;
        return error.empty();
      }
      const int64_t now = warble_sim_advance_clock(limit);
      if (now < 0 || (now >= limit && each.seen().steps < step)) {
        error = "no answer";
        return false;
      }
    }
  }

  static bool connect(fleet_link& each, const std::string& mac, std::string& error) {
    WarbleOption options[] = {{"mac", mac.c_str()}, {"address-type", "unspecified"}};
    each.gatt = warble_gatt_create_with_options(2, options);
    warble_gatt_connect_async(each.gatt, &each,
                              [](void* context, WarbleGatt*, const char* failure) {
                                fleet_link::on_step(context, failure);
                              });
    if (!setup_step(each, 1, error)) {
      error = mac + ": " + error;
      return false;
    }
    WarbleGattChar* status = warble_gatt_find_characteristic(each.gatt, sim::STATUS_UUID);
    each.update = warble_gatt_find_characteristic(each.gatt, sim::UPDATE_UUID);
    if (!status || !each.update) {
      error = mac + ": not ours";
      return false;
    }
    warble_gattchar_enable_notifications_async(
        status, &each, [](void* context, WarbleGattChar*, const char* failure) {
          fleet_link::on_step(context, failure);
        });
    if (!setup_step(each, 2, error)) {
      error = mac + ": " + error;
      return false;
    }
    warble_gattchar_on_notification_received(status, &each, fleet_link::on_status);
    return true;
  }

  static void write(fleet_link& each, int64_t now) {
    static const uint32_t LENGTH = 1u << 30;
    static const bytes FRAMES[] = {
        update_frame(sim::UPD_CMD_START,
                     bytes(std::begin(sim::UPD_START_TOKEN), std::end(sim::UPD_START_TOKEN))),
        update_frame(sim::UPD_CMD_B1, {0, 0}),
        update_frame(sim::UPD_CMD_LENGTH,
                     {static_cast<uint8_t>(LENGTH >> 24), static_cast<uint8_t>(LENGTH >> 16),
                      static_cast<uint8_t>(LENGTH >> 8), static_cast<uint8_t>(LENGTH)}),
        update_frame(sim::UPD_CMD_PACKET, bytes(sim::UPD_MAX_PARAMS, 0x5A))};
    const bytes& frame = FRAMES[std::min(each.sent, CONTROL_FRAMES)];
    warble_gattchar_write_without_resp_async(each.update, frame.data(),
                                             static_cast<uint8_t>(frame.size()), nullptr, nullptr);
    ++each.sent;
    each.write_at.reset();
    each.written_at = now;
  }

  std::vector<std::unique_ptr<fleet_link>> links_;
  std::unique_ptr<scanning_station> scanner_;
};

}  // namespace radio_fleet
