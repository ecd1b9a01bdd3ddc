// A stand-in for bluetoothd on a private bus: org.bluez with its object
// manager, one adapter, devices, services and characteristics, whose devices
// are the stand-in library's simulated devices (the same device model the
// loaded-library path is judged by). BlueZ's D-Bus side is modelled as the
// backend meets it:
// - devices appear on discovery, with RSSI changes for every advertisement
//   only once the discovery filter asked for DuplicateData;
// - Connect answers once the link is up, Connected turns true before the
//   GATT objects and ServicesResolved; a Connect while another connection is
//   being set up is answered InProgress;
// - a ReadValue also announces the value read as a change of Value;
// - the GATT database is cached per device object across connections: once
//   a device has installed a new image, a device object that was not
//   removed still reads the revision it had (its stale database) until
//   Adapter1.RemoveDevice drops it;
// - quirks on request (options below): ServicesResolved before the
//   characteristic objects, InProgress on each device's first Connect,
//   devices dropped from the tree when discovery stops, the first
//   notification right after StartNotify lost, every notification twice.
//
// Options: --scenario FILE (the stand-in's scenario), --adapter NAME,
// --no-adapter, --powered-off, --resolve-early, --in-progress-first,
// --forget-on-stop, --lose-first-notification, --duplicate-values.
// The test side reaches org.tavren.FakeBluez1 at /org/tavren/fake for what
// the devices received, what was asked of the fake, and when each device's
// image packets (0xB4 frames) arrived, first and last.
#include <signal.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ble/bluez_dbus.h"
#include "ble/warble.h"
#include "sim/warble_sim.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* DIS_SERVICE = "0000180a-0000-1000-8000-00805f9b34fb";
constexpr const char* OUR_SERVICE = "fabbe000-4910-473c-be46-960948c2f59c";
constexpr const char* REVISION_UUID = "00002a26-0000-1000-8000-00805f9b34fb";
constexpr const char* UPDATE_UUID = "fabbe008-4910-473c-be46-960948c2f59c";
constexpr uint8_t PACKET_FRAME = 0xB4;
const char* const DIS_CHARS[] = {"00002a29-0000-1000-8000-00805f9b34fb",
                                 "00002a24-0000-1000-8000-00805f9b34fb",
                                 "00002a25-0000-1000-8000-00805f9b34fb", REVISION_UUID};
const char* const OUR_CHARS[] = {"fabbe002-4910-473c-be46-960948c2f59c",
                                 "fabbe004-4910-473c-be46-960948c2f59c",
                                 "fabbe006-4910-473c-be46-960948c2f59c", UPDATE_UUID};

// BlueZ resolves the services a moment after the link is up.
constexpr milliseconds RESOLVE_DELAY{10};
// --resolve-early: how late the characteristic objects come, the second
// service a little after the first.
constexpr milliseconds OBJECTS_LAG{200};
constexpr milliseconds SECOND_SERVICE_LAG{30};
// --lose-first-notification: "right after" StartNotify.
constexpr milliseconds LOST_NOTIFICATION_WINDOW{50};

struct options {
  std::string scenario;
  std::string adapter = "hci0";
  bool no_adapter = false;
  bool powered_off = false;
  bool resolve_early = false;
  bool in_progress_first = false;
  bool forget_on_stop = false;
  bool lose_first_notification = false;
  bool duplicate_values = false;
  bool acquire_write = true;          // characteristics offer AcquireWrite, as BlueZ 5.46 on do
  bool refuse_acquire_write = false;  // offered, but refused (another client holds it)
};

struct fake_char {
  std::string path, uuid, service_path;
  std::vector<uint8_t> value;
  bool notifying = false;
  bool lose_next = false;
  clock_type::time_point notify_started{};
  WarbleGattChar* sim = nullptr;
  sd_bus_slot* slot = nullptr;
  // Our end of the socket handed over by AcquireWrite (-1: none); a reader
  // thread of its own takes each datagram as a write without response.
  int acquired_fd = -1;
};

struct fake_service {
  std::string path, uuid, device_path;
  sd_bus_slot* slot = nullptr;
};

struct fake_device {
  std::string mac, path, name;
  int16_t rssi = 0;
  bool connected = false;
  bool resolved = false;
  bool seen_this_discovery = false;
  sd_bus_slot* slot = nullptr;
  WarbleGatt* sim = nullptr;
  uint64_t link = 0;  // bumped for every sim link: late callbacks of old ones are dropped
  sd_bus_message* pending_connect = nullptr;
  int connect_calls = 0;
  std::vector<std::unique_ptr<fake_service>> services;
  std::map<std::string, std::unique_ptr<fake_char>> chars;  // by path
  // The GATT cache: the database as first resolved on this object.
  bool cache_valid = false;
  int cache_epoch = 0;
  int epoch = 0;  // images the device installed
  int32_t transfers_counted = 0;
  std::vector<uint8_t> cached_revision;
  bool revision_cached = false;
};

struct transfer_span {
  int64_t first_us = -1, last_us = -1;
};

struct fake {
  options opt;
  sd_bus* bus = nullptr;
  std::atomic<bus_thread*> thread{nullptr};  // set before the name is asked for
  std::string adapter_path;
  bool powered = true;
  bool discovering = false;
  bool duplicate_data = false;
  std::string filter_transport;
  std::map<std::string, std::unique_ptr<fake_device>> devices;  // by path
  std::map<std::string, uint32_t> calls;                        // method calls by name
  std::map<std::string, transfer_span> transfers;               // update writes by MAC
  clock_type::time_point origin = clock_type::now();
  std::string connecting_path;  // the one connection being set up
};

fake& F() {
  static fake* instance = new fake;
  return *instance;
}

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - F().origin)
      .count();
}

std::string device_path_of(const std::string& mac) {
  std::string tail = mac;
  for (char& c : tail) c = c == ':' ? '_' : static_cast<char>(toupper(c));
  return F().adapter_path + "/dev_" + tail;
}

fake_device* device_at(const std::string& path) {
  auto found = F().devices.find(path);
  return found == F().devices.end() ? nullptr : found->second.get();
}

void post(std::function<void()> work) {
  F().thread.load()->post(std::move(work));
}

void after(milliseconds delay, std::function<void()> work) {
  F().thread.load()->at(clock_type::now() + delay, std::move(work));
}

void emit_changed(const std::string& path, const char* interface, const char* property) {
  sd_bus_emit_properties_changed(F().bus, path.c_str(), interface, property, nullptr);
}

void reply_error(sd_bus_message*& pending, const char* name, const std::string& text) {
  if (!pending) return;
  sd_bus_reply_method_errorf(pending, name, "%s", text.c_str());
  sd_bus_message_unref(pending);
  pending = nullptr;
}

void reply_ok(sd_bus_message*& pending) {
  if (!pending) return;
  sd_bus_reply_method_return(pending, "");
  sd_bus_message_unref(pending);
  pending = nullptr;
}

// --- properties -----------------------------------------------------------

#define GETTER(name)                                                                              \
  int name(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata, \
           sd_bus_error*)

GETTER(adapter_address) {
  (void)userdata;
  return sd_bus_message_append(reply, "s", "00:1A:7D:DA:71:13");
}
GETTER(adapter_powered) {
  (void)userdata;
  return sd_bus_message_append(reply, "b", F().powered);
}
GETTER(adapter_discovering) {
  (void)userdata;
  return sd_bus_message_append(reply, "b", F().discovering);
}
GETTER(device_address) {
  return sd_bus_message_append(reply, "s", static_cast<fake_device*>(userdata)->mac.c_str());
}
GETTER(device_name) {
  return sd_bus_message_append(reply, "s", static_cast<fake_device*>(userdata)->name.c_str());
}
GETTER(device_rssi) {
  return sd_bus_message_append(reply, "n", static_cast<fake_device*>(userdata)->rssi);
}
GETTER(device_connected) {
  return sd_bus_message_append(reply, "b", static_cast<fake_device*>(userdata)->connected);
}
GETTER(device_resolved) {
  return sd_bus_message_append(reply, "b", static_cast<fake_device*>(userdata)->resolved);
}
GETTER(device_paired) {
  (void)userdata;
  return sd_bus_message_append(reply, "b", false);
}
GETTER(service_uuid) {
  return sd_bus_message_append(reply, "s", static_cast<fake_service*>(userdata)->uuid.c_str());
}
GETTER(service_device) {
  return sd_bus_message_append(reply, "o",
                               static_cast<fake_service*>(userdata)->device_path.c_str());
}
GETTER(char_uuid) {
  return sd_bus_message_append(reply, "s", static_cast<fake_char*>(userdata)->uuid.c_str());
}
GETTER(char_service) {
  return sd_bus_message_append(reply, "o", static_cast<fake_char*>(userdata)->service_path.c_str());
}
GETTER(char_value) {
  const fake_char* chr = static_cast<fake_char*>(userdata);
  return sd_bus_message_append_array(reply, 'y', chr->value.data(), chr->value.size());
}
GETTER(char_notifying) {
  return sd_bus_message_append(reply, "b", static_cast<fake_char*>(userdata)->notifying);
}
GETTER(char_write_acquired) {
  return sd_bus_message_append(reply, "b", static_cast<fake_char*>(userdata)->acquired_fd >= 0);
}

// --- the device tree ---------------------------------------------------------

int device_connect(sd_bus_message* message, void* userdata, sd_bus_error*);
int device_disconnect(sd_bus_message* message, void* userdata, sd_bus_error*);
int char_read(sd_bus_message* message, void* userdata, sd_bus_error*);
int char_write(sd_bus_message* message, void* userdata, sd_bus_error*);
int char_start_notify(sd_bus_message* message, void* userdata, sd_bus_error*);
int char_stop_notify(sd_bus_message* message, void* userdata, sd_bus_error*);
int char_acquire_write(sd_bus_message* message, void* userdata, sd_bus_error*);

const sd_bus_vtable DEVICE_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Address", "s", device_address, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", device_name, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Alias", "s", device_name, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("RSSI", "n", device_rssi, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Connected", "b", device_connected, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("ServicesResolved", "b", device_resolved, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Paired", "b", device_paired, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("Connect", "", "", device_connect, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Disconnect", "", "", device_disconnect, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable SERVICE_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("UUID", "s", service_uuid, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Device", "o", service_device, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

// What every characteristic has; BlueZ adds a write socket to some.
#define CHAR_ENTRIES                                                                             \
  SD_BUS_PROPERTY("UUID", "s", char_uuid, 0, SD_BUS_VTABLE_PROPERTY_CONST),                      \
      SD_BUS_PROPERTY("Service", "o", char_service, 0, SD_BUS_VTABLE_PROPERTY_CONST),            \
      SD_BUS_PROPERTY("Value", "ay", char_value, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),        \
      SD_BUS_PROPERTY("Notifying", "b", char_notifying, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE), \
      SD_BUS_METHOD("ReadValue", "a{sv}", "ay", char_read, SD_BUS_VTABLE_UNPRIVILEGED),          \
      SD_BUS_METHOD("WriteValue", "aya{sv}", "", char_write, SD_BUS_VTABLE_UNPRIVILEGED),        \
      SD_BUS_METHOD("StartNotify", "", "", char_start_notify, SD_BUS_VTABLE_UNPRIVILEGED),       \
      SD_BUS_METHOD("StopNotify", "", "", char_stop_notify, SD_BUS_VTABLE_UNPRIVILEGED)

const sd_bus_vtable CHAR_VTABLE[] = {SD_BUS_VTABLE_START(0), CHAR_ENTRIES, SD_BUS_VTABLE_END};

const sd_bus_vtable CHAR_ACQUIRE_VTABLE[] = {
    SD_BUS_VTABLE_START(0), CHAR_ENTRIES,
    SD_BUS_PROPERTY("WriteAcquired", "b", char_write_acquired, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("AcquireWrite", "a{sv}", "hq", char_acquire_write, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

void count_call(sd_bus_message* message) {
  const char* member = sd_bus_message_get_member(message);
  if (member) F().calls[member] += 1;
}

// Once the device installed an image, its database moved on.
void learn_installs(fake_device& device) {
  WarbleSimUpdateRecord record{};
  if (warble_sim_update_record_of(device.mac.c_str(), &record) != 0) return;
  if (record.accepted && record.transfers != device.transfers_counted) {
    device.transfers_counted = record.transfers;
    device.epoch += 1;
  }
}

// BlueZ closes a write socket when the link ends: the reader sees it end.
void release_acquired(fake_char& chr) {
  if (chr.acquired_fd < 0) return;
  shutdown(chr.acquired_fd, SHUT_RDWR);
  close(chr.acquired_fd);
  chr.acquired_fd = -1;
}

void remove_gatt_objects(fake_device& device) {
  for (auto& [path, chr] : device.chars) {
    release_acquired(*chr);
    sd_bus_emit_interfaces_removed(F().bus, path.c_str(), "org.bluez.GattCharacteristic1", nullptr);
    sd_bus_slot_unref(chr->slot);
  }
  device.chars.clear();
  for (auto& service : device.services) {
    sd_bus_emit_interfaces_removed(F().bus, service->path.c_str(), "org.bluez.GattService1",
                                   nullptr);
    sd_bus_slot_unref(service->slot);
  }
  device.services.clear();
}

// The sim link went down (the device dropped it, or we asked).
void link_down(const std::string& path, uint64_t link, bool tell) {
  fake_device* device = device_at(path);
  if (!device || device->link != link || !device->sim) return;
  WarbleGatt* sim = device->sim;
  device->sim = nullptr;
  device->link += 1;
  if (F().connecting_path == path) F().connecting_path.clear();
  reply_error(device->pending_connect, "org.bluez.Error.Failed", "le-connection-abort-by-remote");
  remove_gatt_objects(*device);
  const bool was_connected = device->connected;
  device->connected = false;
  device->resolved = false;
  if (tell && was_connected) {
    emit_changed(path, "org.bluez.Device1", "ServicesResolved");
    emit_changed(path, "org.bluez.Device1", "Connected");
  }
  warble_gatt_delete(sim);
  learn_installs(*device);
}

void remove_device(const std::string& path) {
  fake_device* device = device_at(path);
  if (!device) return;
  if (device->sim) {
    warble_gatt_disconnect(device->sim);
    link_down(path, device->link, false);
  }
  remove_gatt_objects(*device);
  sd_bus_emit_interfaces_removed(F().bus, path.c_str(), "org.bluez.Device1", nullptr);
  sd_bus_slot_unref(device->slot);
  F().devices.erase(path);
}

void add_gatt_service(fake_device& device, const char* service_uuid,
                      const std::vector<std::string>& chars, int first_handle) {
  if (chars.empty()) return;
  auto service = std::make_unique<fake_service>();
  char tail[32];
  snprintf(tail, sizeof tail, "/service%04x", first_handle);
  service->path = device.path + tail;
  service->uuid = service_uuid;
  service->device_path = device.path;
  sd_bus_add_object_vtable(F().bus, &service->slot, service->path.c_str(), "org.bluez.GattService1",
                           SERVICE_VTABLE, service.get());
  sd_bus_emit_interfaces_added(F().bus, service->path.c_str(), "org.bluez.GattService1", nullptr);
  int handle = first_handle;
  for (const std::string& uuid : chars) {
    auto chr = std::make_unique<fake_char>();
    handle += 2;
    snprintf(tail, sizeof tail, "/char%04x", handle);
    chr->path = service->path + tail;
    chr->uuid = uuid;
    chr->service_path = service->path;
    chr->sim = warble_gatt_find_characteristic(device.sim, uuid.c_str());
    sd_bus_add_object_vtable(F().bus, &chr->slot, chr->path.c_str(),
                             "org.bluez.GattCharacteristic1",
                             F().opt.acquire_write ? CHAR_ACQUIRE_VTABLE : CHAR_VTABLE, chr.get());
    sd_bus_emit_interfaces_added(F().bus, chr->path.c_str(), "org.bluez.GattCharacteristic1",
                                 nullptr);
    device.chars[chr->path] = std::move(chr);
  }
  device.services.push_back(std::move(service));
}

std::vector<std::string> present(fake_device& device, const char* const* uuids, size_t count) {
  std::vector<std::string> found;
  for (size_t i = 0; i < count; ++i)
    if (warble_gatt_find_characteristic(device.sim, uuids[i])) found.emplace_back(uuids[i]);
  return found;
}

void add_service_objects(const std::string& path, uint64_t link, bool dis, bool ours) {
  fake_device* device = device_at(path);
  if (!device || device->link != link || !device->sim) return;
  if (dis) add_gatt_service(*device, DIS_SERVICE, present(*device, DIS_CHARS, 4), 0x0010);
  if (ours) add_gatt_service(*device, OUR_SERVICE, present(*device, OUR_CHARS, 4), 0x0030);
}

void set_resolved(const std::string& path, uint64_t link) {
  fake_device* device = device_at(path);
  if (!device || device->link != link) return;
  device->resolved = true;
  emit_changed(path, "org.bluez.Device1", "ServicesResolved");
}

void resolve_services(const std::string& path, uint64_t link) {
  fake_device* device = device_at(path);
  if (!device || device->link != link || !device->sim) return;
  learn_installs(*device);
  if (!device->cache_valid) {
    device->cache_valid = true;
    device->cache_epoch = device->epoch;
  }
  if (!F().opt.resolve_early) {
    add_service_objects(path, link, true, true);
    set_resolved(path, link);
    return;
  }
  set_resolved(path, link);
  after(OBJECTS_LAG, [path, link] { add_service_objects(path, link, true, false); });
  after(OBJECTS_LAG + SECOND_SERVICE_LAG,
        [path, link] { add_service_objects(path, link, false, true); });
}

// --- the stand-in's callbacks (its threads): handed to the bus thread --------

struct link_token {
  std::string path;
  uint64_t link;
};

struct call_token {
  std::string path;
  uint64_t link;
  std::string char_path;
  sd_bus_message* message;
};

void on_sim_disconnect(void* context, WarbleGatt*, int32_t) {
  const link_token token = *static_cast<link_token*>(context);
  post([token] { link_down(token.path, token.link, true); });
}

void on_sim_connected(void* context, WarbleGatt*, const char* error) {
  const link_token token = *static_cast<link_token*>(context);
  const std::string text = error ? error : "";
  const bool failed = error != nullptr;
  post([token, text, failed] {
    fake_device* device = device_at(token.path);
    if (!device || device->link != token.link) return;
    if (F().connecting_path == token.path) F().connecting_path.clear();
    if (failed) {
      const bool busy = text.find("being set up") != std::string::npos;
      reply_error(device->pending_connect,
                  busy ? "org.bluez.Error.InProgress" : "org.bluez.Error.Failed", text);
      if (device->sim) warble_gatt_delete(device->sim);
      device->sim = nullptr;
      device->link += 1;
      return;
    }
    device->connected = true;
    emit_changed(token.path, "org.bluez.Device1", "Connected");
    reply_ok(device->pending_connect);
    after(RESOLVE_DELAY, [token] { resolve_services(token.path, token.link); });
  });
}

void emit_value(const std::string& char_path) {
  sd_bus_emit_properties_changed(F().bus, char_path.c_str(), "org.bluez.GattCharacteristic1",
                                 "Value", nullptr);
}

void on_sim_notification(void* context, WarbleGattChar*, const uint8_t* value, uint8_t length) {
  const call_token token = *static_cast<call_token*>(context);
  std::vector<uint8_t> bytes(value, value + (value ? length : 0));
  post([token, bytes] {
    fake_device* device = device_at(token.path);
    if (!device || device->link != token.link) return;
    auto found = device->chars.find(token.char_path);
    if (found == device->chars.end()) return;
    fake_char& chr = *found->second;
    if (chr.lose_next) {
      chr.lose_next = false;
      if (clock_type::now() - chr.notify_started < LOST_NOTIFICATION_WINDOW) return;
    }
    chr.value = bytes;
    emit_value(chr.path);
    if (F().opt.duplicate_values) emit_value(chr.path);
  });
}

// --- methods -------------------------------------------------------------------

fake_char* char_of(void* userdata, fake_device*& device) {
  fake_char* chr = static_cast<fake_char*>(userdata);
  const std::string service_path = chr->service_path;
  device = device_at(service_path.substr(0, service_path.rfind('/')));
  return chr;
}

sd_bus_message* keep(sd_bus_message* message) {
  return sd_bus_message_ref(message);
}

int adapter_set_filter(sd_bus_message* message, void*, sd_bus_error*) {
  count_call(message);
  bluez_properties ignored;
  // Read by hand: the keys are the filter's own.
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return r;
  F().filter_transport.clear();
  F().duplicate_data = false;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    sd_bus_message_read_basic(message, 's', &key);
    const std::string name = key ? key : "";
    const char* contents = nullptr;
    sd_bus_message_peek_type(message, nullptr, &contents);
    if (name == "Transport" && contents && strcmp(contents, "s") == 0) {
      const char* text = nullptr;
      sd_bus_message_read(message, "v", "s", &text);
      F().filter_transport = text ? text : "";
    } else if (name == "DuplicateData" && contents && strcmp(contents, "b") == 0) {
      int on = 0;
      sd_bus_message_read(message, "v", "b", &on);
      F().duplicate_data = on != 0;
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
  sd_bus_message_exit_container(message);
  return sd_bus_reply_method_return(message, "");
}

void on_scan_result(void*, const WarbleScanResult* result) {
  if (!result || !result->mac) return;
  const std::string mac = result->mac;
  const std::string name = result->name ? result->name : "";
  const int16_t rssi = static_cast<int16_t>(result->rssi);
  post([mac, name, rssi] {
    if (!F().discovering) return;
    const std::string path = device_path_of(mac);
    fake_device* device = device_at(path);
    if (!device) {
      auto made = std::make_unique<fake_device>();
      made->mac = mac;
      made->path = path;
      made->name = name;
      made->rssi = rssi;
      made->seen_this_discovery = true;
      sd_bus_add_object_vtable(F().bus, &made->slot, path.c_str(), "org.bluez.Device1",
                               DEVICE_VTABLE, made.get());
      F().devices[path] = std::move(made);
      sd_bus_emit_interfaces_added(F().bus, path.c_str(), "org.bluez.Device1", nullptr);
      return;
    }
    // Without DuplicateData, BlueZ reports a device once a discovery.
    if (device->seen_this_discovery && !F().duplicate_data) return;
    device->seen_this_discovery = true;
    device->rssi = rssi;
    emit_changed(path, "org.bluez.Device1", "RSSI");
  });
}

int adapter_start_discovery(sd_bus_message* message, void*, sd_bus_error*) {
  count_call(message);
  if (!F().powered)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.NotReady", "Resource Not Ready");
  if (!F().discovering) {
    F().discovering = true;
    for (auto& [path, device] : F().devices) device->seen_this_discovery = false;
    warble_scanner_set_handler(nullptr, on_scan_result);
    warble_scanner_start(0, nullptr);
    emit_changed(F().adapter_path, "org.bluez.Adapter1", "Discovering");
  }
  return sd_bus_reply_method_return(message, "");
}

int adapter_stop_discovery(sd_bus_message* message, void*, sd_bus_error*) {
  count_call(message);
  if (!F().discovering)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "No discovery started");
  F().discovering = false;
  warble_scanner_stop();
  emit_changed(F().adapter_path, "org.bluez.Adapter1", "Discovering");
  if (F().opt.forget_on_stop) {
    std::vector<std::string> idle;
    for (auto& [path, device] : F().devices)
      if (!device->sim) idle.push_back(path);
    for (const std::string& path : idle) remove_device(path);
  }
  return sd_bus_reply_method_return(message, "");
}

int adapter_remove_device(sd_bus_message* message, void*, sd_bus_error*) {
  count_call(message);
  const char* path = nullptr;
  if (sd_bus_message_read(message, "o", &path) < 0 || !path || !device_at(path))
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
  remove_device(path);
  return sd_bus_reply_method_return(message, "");
}

int device_connect(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = static_cast<fake_device*>(userdata);
  device->connect_calls += 1;
  if (!F().powered)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.NotReady", "Resource Not Ready");
  if (device->connected)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.AlreadyConnected",
                                      "Already Connected");
  if ((F().opt.in_progress_first && device->connect_calls == 1) || device->pending_connect ||
      !F().connecting_path.empty())
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.InProgress", "In Progress");
  const WarbleOption options[] = {{"mac", device->mac.c_str()}, {"address-type", "random"}};
  device->sim = warble_gatt_create_with_options(2, options);
  device->link += 1;
  device->pending_connect = keep(message);
  F().connecting_path = device->path;
  link_token* token = new link_token{device->path, device->link};
  warble_gatt_on_disconnect(device->sim, token, on_sim_disconnect);
  warble_gatt_connect_async(device->sim, token, on_sim_connected);
  return 1;
}

int device_disconnect(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = static_cast<fake_device*>(userdata);
  if (!device->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.NotConnected", "Not Connected");
  const std::string path = device->path;
  const uint64_t link = device->link;
  if (device->pending_connect) {
    reply_error(device->pending_connect, "org.bluez.Error.Failed", "Operation canceled");
    warble_gatt_disconnect(device->sim);
    link_down(path, link, true);
  } else {
    warble_gatt_disconnect(device->sim);  // its handler hands the link's end over
  }
  return sd_bus_reply_method_return(message, "");
}

int char_read(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = nullptr;
  fake_char* chr = char_of(userdata, device);
  if (!device || !chr->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "Not connected");
  learn_installs(*device);
  const bool stale = device->cache_valid && device->cache_epoch != device->epoch;
  if (chr->uuid == REVISION_UUID && stale && device->revision_cached) {
    // The old database's revision: what a kept cache serves.
    chr->value = device->cached_revision;
    emit_value(chr->path);
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(message, &reply);
    sd_bus_message_append_array(reply, 'y', chr->value.data(), chr->value.size());
    sd_bus_send(F().bus, reply, nullptr);
    sd_bus_message_unref(reply);
    return 1;
  }
  call_token* token = new call_token{device->path, device->link, chr->path, keep(message)};
  warble_gattchar_read_async(
      chr->sim, token,
      [](void* context, WarbleGattChar*, const uint8_t* value, uint8_t length, const char* error) {
        std::unique_ptr<call_token> token(static_cast<call_token*>(context));
        std::vector<uint8_t> bytes(value, value + (value ? length : 0));
        const std::string text = error ? error : "";
        const bool failed = error != nullptr;
        call_token copy = *token;
        post([copy, bytes, text, failed]() mutable {
          fake_device* device = device_at(copy.path);
          fake_char* chr = nullptr;
          if (device && device->link == copy.link) {
            auto found = device->chars.find(copy.char_path);
            if (found != device->chars.end()) chr = found->second.get();
          }
          if (failed || !chr) {
            reply_error(copy.message, "org.bluez.Error.Failed", failed ? text : "Not connected");
            return;
          }
          if (chr->uuid == REVISION_UUID && device->cache_epoch == device->epoch) {
            device->cached_revision = bytes;
            device->revision_cached = true;
          }
          // BlueZ announces the value read as a change of Value, before its reply.
          chr->value = bytes;
          emit_value(chr->path);
          sd_bus_message* reply = nullptr;
          sd_bus_message_new_method_return(copy.message, &reply);
          sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size());
          sd_bus_send(F().bus, reply, nullptr);
          sd_bus_message_unref(reply);
          sd_bus_message_unref(copy.message);
        });
      });
  return 1;
}

void note_transfer(const fake_device& device, const fake_char& chr, const uint8_t* bytes,
                   size_t size) {
  if (chr.uuid != UPDATE_UUID || size == 0 || bytes[0] != PACKET_FRAME) return;
  transfer_span& span = F().transfers[device.mac];
  if (span.first_us < 0) span.first_us = now_us();
  span.last_us = now_us();
}

void write_command(const fake_char& chr, const uint8_t* bytes, size_t size) {
  warble_gattchar_write_without_resp_async(chr.sim, bytes, static_cast<uint8_t>(size), nullptr,
                                           [](void*, WarbleGattChar*, const char*) {});
}

// Each datagram on an acquired socket is one write without response, taken
// on the bus thread as WriteValue's are; the thread ends with the socket.
void read_acquired(int fd, int ours, std::string char_path, std::string device_path) {
  uint8_t buffer[512];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    std::vector<uint8_t> bytes(buffer, buffer + got);
    post([bytes = std::move(bytes), char_path, device_path] {
      fake_device* device = device_at(device_path);
      if (!device || !device->chars.count(char_path)) return;
      fake_char& chr = *device->chars.at(char_path);
      if (!chr.sim || bytes.size() > 255) return;
      note_transfer(*device, chr, bytes.data(), bytes.size());
      write_command(chr, bytes.data(), bytes.size());
    });
  }
  close(fd);
  // The client closed its end: the characteristic may be acquired again.
  // While our end is still the one on record it is open, so its number
  // names no other socket.
  post([ours, char_path, device_path] {
    fake_device* device = device_at(device_path);
    if (!device || !device->chars.count(char_path)) return;
    fake_char& chr = *device->chars.at(char_path);
    if (chr.acquired_fd != ours) return;
    release_acquired(chr);
    emit_changed(chr.path, "org.bluez.GattCharacteristic1", "WriteAcquired");
  });
}

// A simulated call's end, answered as the D-Bus call that asked for it.
void answer_when_done(void* context, WarbleGattChar*, const char* error) {
  std::unique_ptr<call_token> token(static_cast<call_token*>(context));
  const std::string text = error ? error : "";
  const bool failed = error != nullptr;
  sd_bus_message* message = token->message;
  post([message, text, failed]() mutable {
    if (failed) return reply_error(message, "org.bluez.Error.Failed", text);
    reply_ok(message);
  });
}

int char_acquire_write(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = nullptr;
  fake_char* chr = char_of(userdata, device);
  if (!device || !chr->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "Not connected");
  if (chr->acquired_fd >= 0 || F().opt.refuse_acquire_write)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.NotPermitted", "Write acquired");
  int ends[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) < 0)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "No socket");
  const int reader = dup(ends[0]);
  if (reader < 0) {
    close(ends[0]);
    close(ends[1]);
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "No socket");
  }
  chr->acquired_fd = ends[0];
  std::thread(read_acquired, reader, ends[0], chr->path, device->path).detach();
  const int r = sd_bus_reply_method_return(message, "hq", ends[1], uint16_t{247});
  close(ends[1]);  // the reply carried a copy
  emit_changed(chr->path, "org.bluez.GattCharacteristic1", "WriteAcquired");
  return r;
}

int char_write(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = nullptr;
  fake_char* chr = char_of(userdata, device);
  const void* data = nullptr;
  size_t size = 0;
  if (sd_bus_message_read_array(message, 'y', &data, &size) < 0)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.InvalidArguments", "Bad value");
  bluez_properties ignored;
  std::string type = "request";
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    sd_bus_message_read_basic(message, 's', &key);
    const char* contents = nullptr;
    sd_bus_message_peek_type(message, nullptr, &contents);
    if (key && strcmp(key, "type") == 0 && contents && strcmp(contents, "s") == 0) {
      const char* text = nullptr;
      sd_bus_message_read(message, "v", "s", &text);
      type = text ? text : "";
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
  if (!device || !chr->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "Not connected");
  if (size > 255)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.InvalidValueLength",
                                      "Invalid Length");
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  note_transfer(*device, *chr, bytes, size);
  if (type == "command") {
    write_command(*chr, bytes, size);
    return sd_bus_reply_method_return(message, "");
  }
  call_token* token = new call_token{device->path, device->link, chr->path, keep(message)};
  warble_gattchar_write_async(chr->sim, bytes, static_cast<uint8_t>(size), token, answer_when_done);
  return 1;
}

int char_start_notify(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = nullptr;
  fake_char* chr = char_of(userdata, device);
  if (!device || !chr->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "Not connected");
  call_token* token = new call_token{device->path, device->link, chr->path, keep(message)};
  warble_gattchar_enable_notifications_async(
      chr->sim, token, [](void* context, WarbleGattChar*, const char* error) {
        std::unique_ptr<call_token> token(static_cast<call_token*>(context));
        const std::string text = error ? error : "";
        const bool failed = error != nullptr;
        call_token copy = *token;
        post([copy, text, failed]() mutable {
          fake_device* device = device_at(copy.path);
          fake_char* chr = nullptr;
          if (device && device->link == copy.link) {
            auto found = device->chars.find(copy.char_path);
            if (found != device->chars.end()) chr = found->second.get();
          }
          if (failed || !chr)
            return reply_error(copy.message, "org.bluez.Error.Failed",
                               failed ? text : "Not connected");
          chr->notifying = true;
          chr->lose_next = F().opt.lose_first_notification;
          chr->notify_started = clock_type::now();
          // Lives as long as the link's notifications may come.
          call_token* listener = new call_token{copy.path, copy.link, copy.char_path, nullptr};
          warble_gattchar_on_notification_received(chr->sim, listener, on_sim_notification);
          emit_changed(chr->path, "org.bluez.GattCharacteristic1", "Notifying");
          reply_ok(copy.message);
        });
      });
  return 1;
}

int char_stop_notify(sd_bus_message* message, void* userdata, sd_bus_error*) {
  count_call(message);
  fake_device* device = nullptr;
  fake_char* chr = char_of(userdata, device);
  if (!device || !chr->sim)
    return sd_bus_reply_method_errorf(message, "org.bluez.Error.Failed", "Not connected");
  call_token* token = new call_token{device->path, device->link, chr->path, keep(message)};
  warble_gattchar_disable_notifications_async(chr->sim, token, answer_when_done);
  return 1;
}

// --- the test side -------------------------------------------------------------

int control_counter(sd_bus_message* message, void*, sd_bus_error*) {
  const char* name = nullptr;
  if (sd_bus_message_read(message, "s", &name) < 0) return -EINVAL;
  return sd_bus_reply_method_return(message, "i", warble_sim_counter(name ? name : ""));
}

int control_calls(sd_bus_message* message, void*, sd_bus_error*) {
  const char* name = nullptr;
  if (sd_bus_message_read(message, "s", &name) < 0) return -EINVAL;
  return sd_bus_reply_method_return(message, "u", F().calls[name ? name : ""]);
}

int control_filter(sd_bus_message* message, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(message, "sb", F().filter_transport.c_str(),
                                    F().duplicate_data);
}

int control_record(sd_bus_message* message, void*, sd_bus_error*) {
  const char* mac = nullptr;
  if (sd_bus_message_read(message, "s", &mac) < 0 || !mac) return -EINVAL;
  WarbleSimUpdateRecord record{};
  if (warble_sim_update_record_of(mac, &record) != 0)
    return sd_bus_reply_method_errorf(message, "org.tavren.Error.Unknown", "no device %s", mac);
  std::vector<uint8_t> image(warble_sim_image_of(mac, nullptr, 0));
  warble_sim_image_of(mac, image.data(), static_cast<uint32_t>(image.size()));
  sd_bus_message* reply = nullptr;
  sd_bus_message_new_method_return(message, &reply);
  sd_bus_message_append(reply, "sii", record.verdict, record.accepted, record.transfers);
  sd_bus_message_append_array(reply, 'y', image.data(), image.size());
  const int r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int control_transfers(sd_bus_message* message, void*, sd_bus_error*) {
  sd_bus_message* reply = nullptr;
  sd_bus_message_new_method_return(message, &reply);
  sd_bus_message_open_container(reply, 'a', "(sxx)");
  for (const auto& [mac, span] : F().transfers)
    sd_bus_message_append(reply, "(sxx)", mac.c_str(), span.first_us, span.last_us);
  sd_bus_message_close_container(reply);
  const int r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

// A device leaves the tree at once, as BlueZ drops one (no Connected false
// first: its object is simply gone).
int control_forget(sd_bus_message* message, void*, sd_bus_error*) {
  const char* mac = nullptr;
  if (sd_bus_message_read(message, "s", &mac) < 0 || !mac) return -EINVAL;
  const std::string path = device_path_of(mac);
  const bool known = device_at(path) != nullptr;
  remove_device(path);
  return sd_bus_reply_method_return(message, "b", known);
}

const sd_bus_vtable ADAPTER_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Address", "s", adapter_address, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Powered", "b", adapter_powered, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Discovering", "b", adapter_discovering, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("SetDiscoveryFilter", "a{sv}", "", adapter_set_filter,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartDiscovery", "", "", adapter_start_discovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopDiscovery", "", "", adapter_stop_discovery, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RemoveDevice", "o", "", adapter_remove_device, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable CONTROL_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Counter", "s", "i", control_counter, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Calls", "s", "u", control_calls, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Filter", "", "sb", control_filter, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Record", "s", "siiay", control_record, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Transfers", "", "a(sxx)", control_transfers, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Forget", "s", "b", control_forget, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

bool parse(int argc, char** argv, options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--scenario" && i + 1 < argc) {
      opt.scenario = argv[++i];
    } else if (word == "--adapter" && i + 1 < argc) {
      opt.adapter = argv[++i];
    } else if (word == "--no-adapter") {
      opt.no_adapter = true;
    } else if (word == "--powered-off") {
      opt.powered_off = true;
    } else if (word == "--resolve-early") {
      opt.resolve_early = true;
    } else if (word == "--in-progress-first") {
      opt.in_progress_first = true;
    } else if (word == "--forget-on-stop") {
      opt.forget_on_stop = true;
    } else if (word == "--lose-first-notification") {
      opt.lose_first_notification = true;
    } else if (word == "--duplicate-values") {
      opt.duplicate_values = true;
    } else if (word == "--no-acquire-write") {
      opt.acquire_write = false;
    } else if (word == "--refuse-acquire-write") {
      opt.refuse_acquire_write = true;
    } else {
      fprintf(stderr, "fake_bluez: unknown option %s\n", word.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before the stand-in starts its threads: only sigwait takes them.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  fake& f = F();
  if (!parse(argc, argv, f.opt)) return 2;
  if (!f.opt.scenario.empty() && warble_sim_configure_file(f.opt.scenario.c_str()) != 0) {
    fprintf(stderr, "fake_bluez: %s\n", warble_sim_error());
    return 2;
  }
  f.powered = !f.opt.powered_off;
  f.adapter_path = "/org/bluez/" + f.opt.adapter;
  if (sd_bus_open_system(&f.bus) < 0) {
    fprintf(stderr, "fake_bluez: no bus\n");
    return 1;
  }
  sd_bus_add_object_manager(f.bus, nullptr, "/");
  if (!f.opt.no_adapter)
    sd_bus_add_object_vtable(f.bus, nullptr, f.adapter_path.c_str(), "org.bluez.Adapter1",
                             ADAPTER_VTABLE, nullptr);
  sd_bus_add_object_vtable(f.bus, nullptr, "/org/tavren/fake", "org.tavren.FakeBluez1",
                           CONTROL_VTABLE, nullptr);
  f.thread = new bus_thread(f.bus, [] { _exit(0); });
  // The name last, on the bus thread: a client that sees it finds
  // everything in place, the thread included.
  f.thread.load()->post([] {
    if (sd_bus_request_name(F().bus, "org.bluez", 0) < 0) {
      fprintf(stderr, "fake_bluez: cannot own org.bluez\n");
      _exit(1);
    }
  });
  int which = 0;
  sigwait(&ending, &which);
  _exit(0);
}
