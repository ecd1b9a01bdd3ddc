// A scripted stand-in for the BLE library's function table. Every call is
// recorded with its context and handler; nothing completes by itself. The
// test decides when each completion fires: inside the starting call (a
// reaction queued with on_next, or the responder), later from its own
// thread (fire_* with a recorded call, or a callback_thread), twice, with an
// error, or never.
//
// It hands out the handles of several links at once: link 0 is the one the
// single-connection tests use (connection(), characteristic(i)); a device
// created with a MAC given to assign_link gets that link's connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/warble.h"

namespace fake_warble {

enum class call {
  create,
  connect,
  on_disconnect,
  disconnect,
  read,
  write,
  write_no_resp,
  enable,
  disable,
  on_notification,
  delete_gatt,
  is_connected,
};

struct call_record {
  call kind = call::connect;
  WarbleGatt* gatt = nullptr;
  WarbleGattChar* chr = nullptr;
  std::vector<uint8_t> bytes{};
  void* context = nullptr;
  warble_connect_handler connect_done = nullptr;
  warble_disconnect_handler disconnected = nullptr;
  warble_char_done_handler char_done = nullptr;
  warble_read_handler read_done = nullptr;
  warble_notify_handler notified = nullptr;
  std::thread::id thread = std::this_thread::get_id();  // the caller's
  std::string mac{};                                    // create: the "mac" option
  uint32_t at_ms = 0;                                   // program time (tick_count_ms) of the call
};

// Handles the fake hands out; never dereferenced. Links 0..MAX_LINKS - 1,
// characteristics 0..CHARACTERISTICS_PER_LINK - 1 of each.
constexpr int MAX_LINKS = 10;
constexpr int CHARACTERISTICS_PER_LINK = 31;
WarbleGatt* connection(int link = 0);
WarbleGattChar* characteristic(int index, int link = 0);
// The link a handle belongs to; -1 for one the fake never handed out.
int link_of(const WarbleGatt* gatt);
int link_of(const WarbleGattChar* chr);

// Creating a connection with option "mac" = `mac` gives connection(link);
// any other MAC gives connection(0).
void assign_link(const std::string& mac, int link);

// Puts the fake into ble_api and forgets every script and record.
void install();

// find_characteristic gives `chr` for `uuid` (0 for any other UUID), and
// get_uuid gives `uuid` back for it; on `gatt` only, when one is given.
void add_characteristic(const char* uuid, WarbleGattChar* chr, const WarbleGatt* gatt = nullptr);
// What is_connected says: for every connection, or for `gatt` from then on.
void set_connected(bool connected);
void set_connected(const WarbleGatt* gatt, bool connected);

// Runs inside every call that no on_next reaction was queued for, before
// the call returns (null: none).
void set_responder(std::function<void(const call_record&)> responder);

// Runs `reaction` inside the next call of `kind`, before that call returns.
void on_next(call kind, std::function<void(const call_record&)> reaction);

size_t count(call kind);
// Every recorded call's kind, in the order the calls were made.
std::vector<call> sequence();
size_t find_count();
call_record nth(call kind, size_t index);
call_record last(call kind);
// The latest call of `kind` on `gatt`, or on `chr`.
call_record last_on(call kind, const WarbleGatt* gatt);
call_record last_on(call kind, const WarbleGattChar* chr);
// Every recorded call, in order.
std::vector<call_record> calls();
// Waits (bounded) until at least `n` calls of `kind` were made.
bool await_calls(call kind, size_t n);

// Completions of recorded calls, as the library would deliver them.
void fire_done(const call_record& record, const char* error = nullptr);
void fire_read(const call_record& record, const std::vector<uint8_t>& value,
               const char* error = nullptr);
void fire_link_down(const call_record& on_disconnect_record);
void fire_notification(const call_record& on_notification_record,
                       const std::vector<uint8_t>& value);

// A library thread of the fake: runs what it is given one at a time, in
// order, until it is destroyed (which runs what is left first).
class callback_thread {
 public:
  callback_thread();
  ~callback_thread();
  callback_thread(const callback_thread&) = delete;
  callback_thread& operator=(const callback_thread&) = delete;

  void post(std::function<void()> work);
  // Waits (bounded) until everything posted so far has run.
  bool drain();

 private:
  void run();

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace fake_warble
