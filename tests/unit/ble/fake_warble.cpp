#include "tests/unit/ble/fake_warble.h"

#include <deque>
#include <map>
#include <mutex>

#include "ble/ble_api.h"
#include "tests/support/eventually.h"

namespace fake_warble {
namespace {

struct script {
  std::mutex lock;
  std::vector<call_record> calls;
  std::map<call, std::deque<std::function<void(const call_record&)>>> reactions;
  std::map<std::string, WarbleGattChar*> by_uuid;
  std::map<const WarbleGattChar*, std::string> uuid_of;
  bool connected = true;
  size_t finds = 0;
};

script& state() {
  static script* const instance = new script;
  return *instance;
}

char handle_storage[16];

// Records the call, then runs its queued reaction outside the lock: the
// reaction usually calls back into the GATT layer, which may call the fake.
void record(call_record r) {
  std::function<void(const call_record&)> reaction;
  {
    std::lock_guard<std::mutex> hold(state().lock);
    state().calls.push_back(r);
    auto& queue = state().reactions[r.kind];
    if (!queue.empty()) {
      reaction = std::move(queue.front());
      queue.pop_front();
    }
  }
  if (reaction) reaction(r);
}

const char* lib_version() {
  return "fake";
}
void scanner_set_handler(void*, warble_scan_handler) {}
void scanner_start(int32_t, const WarbleOption*) {}
void scanner_stop() {}
WarbleGatt* gatt_create(const char*) {
  return connection();
}
WarbleGatt* gatt_create_with_options(int32_t, const WarbleOption*) {
  return connection();
}

int32_t gatt_is_connected(const WarbleGatt* gatt) {
  record({.kind = call::is_connected, .gatt = const_cast<WarbleGatt*>(gatt)});
  std::lock_guard<std::mutex> hold(state().lock);
  return state().connected ? 1 : 0;
}

void gatt_connect_async(WarbleGatt* gatt, void* context, warble_connect_handler handler) {
  record({.kind = call::connect, .gatt = gatt, .context = context, .connect_done = handler});
}

void gatt_disconnect(WarbleGatt* gatt) {
  record({.kind = call::disconnect, .gatt = gatt});
}

void gatt_on_disconnect(WarbleGatt* gatt, void* context, warble_disconnect_handler handler) {
  record({.kind = call::on_disconnect, .gatt = gatt, .context = context, .disconnected = handler});
}

const char* gattchar_get_uuid(const WarbleGattChar* chr) {
  std::lock_guard<std::mutex> hold(state().lock);
  auto found = state().uuid_of.find(chr);
  return found == state().uuid_of.end() ? "unknown" : found->second.c_str();
}

WarbleGattChar* gatt_find_characteristic(const WarbleGatt*, const char* uuid) {
  std::lock_guard<std::mutex> hold(state().lock);
  ++state().finds;
  auto found = state().by_uuid.find(uuid);
  return found == state().by_uuid.end() ? nullptr : found->second;
}

void gattchar_read_async(WarbleGattChar* chr, void* context, warble_read_handler handler) {
  record({.kind = call::read, .chr = chr, .context = context, .read_done = handler});
}

void write(call kind, WarbleGattChar* chr, const uint8_t* value, uint8_t length, void* context,
           warble_char_done_handler handler) {
  record({.kind = kind,
          .chr = chr,
          .bytes = {value, value + length},
          .context = context,
          .char_done = handler});
}

void gattchar_write_without_resp_async(WarbleGattChar* chr, const uint8_t* value, uint8_t length,
                                       void* context, warble_char_done_handler handler) {
  write(call::write_no_resp, chr, value, length, context, handler);
}

void gattchar_write_async(WarbleGattChar* chr, const uint8_t* value, uint8_t length, void* context,
                          warble_char_done_handler handler) {
  write(call::write, chr, value, length, context, handler);
}

void subscription(call kind, WarbleGattChar* chr, void* context, warble_char_done_handler handler) {
  record({.kind = kind, .chr = chr, .context = context, .char_done = handler});
}

void gattchar_enable_notifications_async(WarbleGattChar* chr, void* context,
                                         warble_char_done_handler handler) {
  subscription(call::enable, chr, context, handler);
}

void gattchar_disable_notifications_async(WarbleGattChar* chr, void* context,
                                          warble_char_done_handler handler) {
  subscription(call::disable, chr, context, handler);
}

const WarbleScanMftData* scan_result_get_manufacturer_data(const WarbleScanResult*, uint16_t) {
  return nullptr;
}
int32_t scan_result_has_service_uuid(const WarbleScanResult*, const char*) {
  return 0;
}
void gatt_delete(WarbleGatt* gatt) {
  record({.kind = call::delete_gatt, .gatt = gatt});
}
int32_t gatt_has_service(const WarbleGatt*, const char*) {
  return 0;
}
WarbleGatt* gattchar_get_gatt(const WarbleGattChar*) {
  return connection();
}
void lib_init(int32_t, const WarbleOption*) {}
const char* lib_config() {
  return "";
}

void gattchar_on_notification_received(WarbleGattChar* chr, void* context,
                                       warble_notify_handler handler) {
  record({.kind = call::on_notification, .chr = chr, .context = context, .notified = handler});
}

}  // namespace

WarbleGatt* connection() {
  return reinterpret_cast<WarbleGatt*>(&handle_storage[0]);
}

WarbleGattChar* characteristic(int index) {
  return reinterpret_cast<WarbleGattChar*>(&handle_storage[1 + index]);
}

void install() {
  ble_api = ble_api_table{
      lib_version,
      scanner_set_handler,
      scanner_start,
      scanner_stop,
      gatt_create,
      gatt_create_with_options,
      gatt_is_connected,
      gatt_connect_async,
      gatt_disconnect,
      gatt_on_disconnect,
      gattchar_get_uuid,
      gatt_find_characteristic,
      gattchar_read_async,
      gattchar_write_without_resp_async,
      gattchar_write_async,
      gattchar_enable_notifications_async,
      scan_result_get_manufacturer_data,
      scan_result_has_service_uuid,
      gatt_delete,
      gatt_has_service,
      gattchar_disable_notifications_async,
      gattchar_get_gatt,
      lib_init,
      lib_config,
      gattchar_on_notification_received,
  };
  std::lock_guard<std::mutex> hold(state().lock);
  state().calls.clear();
  state().reactions.clear();
  state().by_uuid.clear();
  state().uuid_of.clear();
  state().connected = true;
  state().finds = 0;
}

void add_characteristic(const char* uuid, WarbleGattChar* chr) {
  std::lock_guard<std::mutex> hold(state().lock);
  state().by_uuid[uuid] = chr;
  state().uuid_of[chr] = uuid;
}

void set_connected(bool connected) {
  std::lock_guard<std::mutex> hold(state().lock);
  state().connected = connected;
}

void on_next(call kind, std::function<void(const call_record&)> reaction) {
  std::lock_guard<std::mutex> hold(state().lock);
  state().reactions[kind].push_back(std::move(reaction));
}

size_t count(call kind) {
  std::lock_guard<std::mutex> hold(state().lock);
  size_t n = 0;
  for (const call_record& r : state().calls) n += r.kind == kind;
  return n;
}

std::vector<call> sequence() {
  std::lock_guard<std::mutex> hold(state().lock);
  std::vector<call> kinds;
  for (const call_record& r : state().calls) kinds.push_back(r.kind);
  return kinds;
}

size_t find_count() {
  std::lock_guard<std::mutex> hold(state().lock);
  return state().finds;
}

call_record nth(call kind, size_t index) {
  std::lock_guard<std::mutex> hold(state().lock);
  for (const call_record& r : state().calls) {
    if (r.kind != kind) continue;
    if (index-- == 0) return r;
  }
  return call_record{};
}

call_record last(call kind) {
  const size_t n = count(kind);
  return n ? nth(kind, n - 1) : call_record{};
}

bool await_calls(call kind, size_t n) {
  return eventually([&] { return count(kind) >= n; });
}

void fire_done(const call_record& record, const char* error) {
  if (record.connect_done) record.connect_done(record.context, record.gatt, error);
  if (record.char_done) record.char_done(record.context, record.chr, error);
}

void fire_read(const call_record& record, const std::vector<uint8_t>& value, const char* error) {
  record.read_done(record.context, record.chr, value.data(), static_cast<uint8_t>(value.size()),
                   error);
}

void fire_link_down(const call_record& on_disconnect_record) {
  on_disconnect_record.disconnected(on_disconnect_record.context, on_disconnect_record.gatt, 0);
}

void fire_notification(const call_record& on_notification_record,
                       const std::vector<uint8_t>& value) {
  on_notification_record.notified(on_notification_record.context, on_notification_record.chr,
                                  value.data(), static_cast<uint8_t>(value.size()));
}

}  // namespace fake_warble
