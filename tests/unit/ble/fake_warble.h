// A scripted stand-in for the BLE library's function table. Every call is
// recorded with its context and handler; nothing completes by itself. The
// test decides when each completion fires: inside the starting call (a
// reaction queued with on_next), later from its own thread (fire_* with a
// recorded call), twice, with an error, or never.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ble/warble.h"

namespace fake_warble {

enum class call {
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
};

// Handles the fake hands out; never dereferenced.
WarbleGatt* connection();
WarbleGattChar* characteristic(int index);

// Puts the fake into ble_api and forgets every script and record.
void install();

// find_characteristic gives `chr` for `uuid` (0 for any other UUID), and
// get_uuid gives `uuid` back for it.
void add_characteristic(const char* uuid, WarbleGattChar* chr);
void set_connected(bool connected);

// Runs `reaction` inside the next call of `kind`, before that call returns.
void on_next(call kind, std::function<void(const call_record&)> reaction);

size_t count(call kind);
// Every recorded call's kind, in the order the calls were made.
std::vector<call> sequence();
size_t find_count();
call_record nth(call kind, size_t index);
call_record last(call kind);
// Waits (bounded) until at least `n` calls of `kind` were made.
bool await_calls(call kind, size_t n);

// Completions of recorded calls, as the library would deliver them.
void fire_done(const call_record& record, const char* error = nullptr);
void fire_read(const call_record& record, const std::vector<uint8_t>& value,
               const char* error = nullptr);
void fire_link_down(const call_record& on_disconnect_record);
void fire_notification(const call_record& on_notification_record,
                       const std::vector<uint8_t>& value);

}  // namespace fake_warble
