#include "bench/update/null_device.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ble/ble_api.h"
#include "ble/gatt_sync.h"
#include "device/device_state.h"
#include "device/uuids.h"

namespace {

// The handles are opaque to the program: only their addresses matter.
unsigned char handle_storage[3];
WarbleGatt* const connection = reinterpret_cast<WarbleGatt*>(&handle_storage[0]);
WarbleGattChar* const status_char = reinterpret_cast<WarbleGattChar*>(&handle_storage[1]);
WarbleGattChar* const update_char = reinterpret_cast<WarbleGattChar*>(&handle_storage[2]);

struct responder {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<uint8_t> codes;  // of the frames still to be answered
  void* context = nullptr;
  warble_notify_handler handler = nullptr;
};
// Never destroyed: its thread runs until the process ends.
responder& replies = *new responder;

void answer_frames() {
  for (;;) {
    uint8_t code;
    {
      std::unique_lock<std::mutex> hold(replies.lock);
      replies.wake.wait(hold, [] { return !replies.codes.empty(); });
      code = replies.codes.front();
      replies.codes.pop_front();
    }
    const uint8_t accepted[2] = {0, code};
    replies.handler(replies.context, status_char, accepted, sizeof accepted);
  }
}

WarbleGattChar* find_characteristic(const WarbleGatt*, const char* uuid) {
  if (std::string(uuid) == STATUS_CHAR_UUID) return status_char;
  if (std::string(uuid) == UPDATE_CHAR_UUID) return update_char;
  return nullptr;
}

const char* uuid_of(const WarbleGattChar* chr) {
  if (chr == status_char) return STATUS_CHAR_UUID;
  if (chr == update_char) return UPDATE_CHAR_UUID;
  return nullptr;
}

void write_without_response(WarbleGattChar*, const uint8_t* value, uint8_t length, void* context,
                            warble_char_done_handler done) {
  {
    std::lock_guard<std::mutex> hold(replies.lock);
    replies.codes.push_back(length ? value[0] : 0);
  }
  replies.wake.notify_one();
  done(context, update_char, nullptr);
}

void enable_notifications(WarbleGattChar* chr, void* context, warble_char_done_handler done) {
  done(context, chr, nullptr);
}

void on_notification_received(WarbleGattChar*, void* context, warble_notify_handler handler) {
  std::lock_guard<std::mutex> hold(replies.lock);
  replies.context = context;
  replies.handler = handler;
}

}  // namespace

void null_device_connect() {
  const char* which = nullptr;
  if (!gatt_lock_objects_create(&which)) abort();
  ble_api.warble_gatt_find_characteristic = find_characteristic;
  ble_api.warble_gattchar_get_uuid = uuid_of;
  ble_api.warble_gattchar_write_without_resp_async = write_without_response;
  ble_api.warble_gattchar_enable_notifications_async = enable_notifications;
  ble_api.warble_gattchar_on_notification_received = on_notification_received;
  gatt = connection;
  if (notify_enable(connection, STATUS_CHAR_UUID, &status_channel) != 0) abort();
  std::thread(answer_frames).detach();
}
