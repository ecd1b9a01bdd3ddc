#include "ble/bluez_open.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

// The start-up calls: bluetoothd answers them at once when it is there.
constexpr std::chrono::milliseconds START_CALL_TIMEOUT{5000};

const char* const HOW_TO_START =
    "start it with \"sudo systemctl start bluetooth\" (Debian's package \"bluez\")";
const char* const HOW_TO_BE_ALLOWED =
    "BlueZ's bus policy (/etc/dbus-1/system.d/bluetooth.conf) lets root and the members of "
    "the \"bluetooth\" group in: add this user to it with \"sudo adduser $USER bluetooth\" and "
    "log in again";

struct adapter_entry {
  std::string path;
  std::string name;
  bool powered = false;
  std::string address;
};

// hci2 before hci10.
std::vector<adapter_entry> adapters_of(const std::map<std::string, bluez_object>& objects) {
  std::vector<adapter_entry> found;
  for (const auto& [path, object] : objects) {
    if (!object.adapter) continue;
    const size_t slash = path.rfind('/');
    found.push_back({path, path.substr(slash + 1), object.properties.powered.value_or(false),
                     object.properties.address.value_or("")});
  }
  std::sort(found.begin(), found.end(), [](const adapter_entry& a, const adapter_entry& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return found;
}

std::string powered_off_text(const std::string& name) {
  return "the Bluetooth adapter " + name +
         " is switched off: switch it on with \"bluetoothctl power on\" (\"rfkill unblock "
         "bluetooth\" first when rfkill lists it as blocked)";
}

std::string name_owner(sd_bus* bus, sd_bus_error& error) {
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                                   BLUEZ_SERVICE);
  std::string owner;
  const char* text = nullptr;
  if (r >= 0 && sd_bus_message_read(reply, "s", &text) >= 0 && text) owner = text;
  sd_bus_message_unref(reply);
  return owner;
}

bool fail(sd_bus*& bus, std::string& error, std::string text) {
  sd_bus_flush_close_unref(bus);
  bus = nullptr;
  error = std::move(text);
  return false;
}

}  // namespace

std::string bluez_bus_error_text(const std::string& error_name, const std::string& message) {
  if (error_name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      error_name == "org.freedesktop.DBus.Error.NameHasNoOwner")
    return std::string("the Bluetooth service is not running (no bluetoothd on the system bus): ") +
           HOW_TO_START;
  if (error_name == "org.freedesktop.DBus.Error.AccessDenied")
    return std::string("the system bus does not let this user talk to BlueZ (") + message +
           "): " + HOW_TO_BE_ALLOWED + ", or run as root";
  if (error_name == "org.freedesktop.DBus.Error.NoReply" ||
      error_name == "org.freedesktop.DBus.Error.Timeout" ||
      error_name == "org.freedesktop.DBus.Error.TimedOut")
    return "bluetoothd did not answer in time (" + message +
           "): see \"systemctl status bluetooth\"";
  return "BlueZ refused to list its objects: " + error_name + ": " + message;
}

std::string bluez_adapter_error_text(const std::string& wanted,
                                     const std::map<std::string, bluez_object>& objects,
                                     std::string& chosen_path) {
  const std::vector<adapter_entry> adapters = adapters_of(objects);
  if (adapters.empty())
    return "no Bluetooth adapter: BlueZ lists none (plug one in; \"rfkill list\" and "
           "\"bluetoothctl list\" show what the system sees)";
  if (!wanted.empty()) {
    std::string names;
    for (const adapter_entry& each : adapters) {
      if (each.name == wanted) {
        if (!each.powered) return powered_off_text(each.name);
        chosen_path = each.path;
        return "";
      }
      names += (names.empty() ? "" : ", ") + each.name;
    }
    return "no Bluetooth adapter " + wanted + " (BlueZ has " + names + ")";
  }
  for (const adapter_entry& each : adapters) {
    if (each.powered) {
      chosen_path = each.path;
      return "";
    }
  }
  return powered_off_text(adapters.front().name);
}

bool bluez_connect_and_check(const std::string& adapter, sd_bus*& bus, bluez_start& start,
                             std::string& error) {
  bus = nullptr;
  const int opened = sd_bus_open_system(&bus);
  if (opened < 0) {
    return fail(bus, error,
                std::string("cannot reach the system bus (") + strerror(-opened) +
                    "): BlueZ is reached over D-Bus; is the \"dbus\" service running?");
  }
  sd_bus_set_method_call_timeout(
      bus, static_cast<uint64_t>(
               std::chrono::duration_cast<std::chrono::microseconds>(START_CALL_TIMEOUT).count()));
  sd_bus_error bus_error = SD_BUS_ERROR_NULL;
  start.owner = name_owner(bus, bus_error);
  if (start.owner.empty()) {
    const std::string text = bluez_bus_error_text(
        bus_error.name ? bus_error.name : "org.freedesktop.DBus.Error.NameHasNoOwner",
        bus_error.message ? bus_error.message : "");
    sd_bus_error_free(&bus_error);
    return fail(bus, error, text);
  }
  sd_bus_message* reply = nullptr;
  const int listed =
      sd_bus_call_method(bus, BLUEZ_SERVICE, "/", "org.freedesktop.DBus.ObjectManager",
                         "GetManagedObjects", &bus_error, &reply, "");
  if (listed < 0) {
    const std::string text =
        bluez_bus_error_text(bus_error.name ? bus_error.name : "",
                             bus_error.message ? bus_error.message : strerror(-listed));
    sd_bus_error_free(&bus_error);
    return fail(bus, error, text);
  }
  const int read = read_managed_objects(reply, start.objects);
  sd_bus_message_unref(reply);
  if (read < 0) return fail(bus, error, "BlueZ listed its objects in a form not understood");
  const std::string adapter_problem =
      bluez_adapter_error_text(adapter, start.objects, start.adapter_path);
  if (!adapter_problem.empty()) return fail(bus, error, adapter_problem);
  const bluez_object& chosen = start.objects[start.adapter_path];
  start.adapter_name = start.adapter_path.substr(start.adapter_path.rfind('/') + 1);
  start.adapter_address = chosen.properties.address.value_or("");
  return true;
}
