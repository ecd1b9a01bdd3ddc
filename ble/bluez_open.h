// Reaching BlueZ at start-up, and saying plainly what stands in the way:
// no system bus, no bluetoothd on it, a bus policy that keeps this user
// out, no adapter, or an adapter that is switched off.
#pragma once

#include <systemd/sd-bus.h>

#include <map>
#include <string>

#include "ble/bluez_dbus.h"

// What the checks found, handed to the backend with the connection.
struct bluez_start {
  std::string owner;  // BlueZ's unique name on the bus
  std::string adapter_path;
  std::string adapter_name;  // "hci0"
  std::string adapter_address;
  std::map<std::string, bluez_object> objects;  // BlueZ's tree at start
};

// Opens the system bus and runs the checks, on the caller's thread (the
// bus thread does not run yet), each call bounded. On success `bus` is the
// open connection; on failure it is closed and `error` says what is wrong
// and what to do about it.
bool bluez_connect_and_check(const std::string& adapter, sd_bus*& bus, bluez_start& start,
                             std::string& error);

// The texts, for a bus error of the first call to BlueZ, and for the
// adapters it listed (tests check them word for word).
std::string bluez_bus_error_text(const std::string& error_name, const std::string& message);
std::string bluez_adapter_error_text(const std::string& wanted,
                                     const std::map<std::string, bluez_object>& objects,
                                     std::string& chosen_path);
