// The BLE seam's other provider on Linux: the table of 25 functions served
// straight by BlueZ over D-Bus (sd-bus), for stations that have no BLE
// library to load.
//
// One bus thread owns the connection to the system bus (the one that
// DBUS_SYSTEM_BUS_ADDRESS names, else the standard socket) and calls every
// handler, as a library's own thread would. The table's functions never
// wait for the bus: they hand their request to the bus thread, whose calls
// to BlueZ are all asynchronous, so that thread never waits for a reply it
// would have to dispatch itself. Handles are objects of our own over
// BlueZ's object paths; they are never freed or reused, so a late callback
// of an old connection can always be told from a new one.
//
// The mapping, and what BlueZ is known to do about it:
// - scanning: SetDiscoveryFilter {Transport: le, DuplicateData: true} (its
//   documented default has been wrong), StartDiscovery; a result is a
//   Device1 whose RSSI arrives (InterfacesAdded or PropertiesChanged);
//   StopDiscovery. No result is handed over once warble_scanner_stop
//   returned.
// - connect: Device1.Connect on the device's path; a device BlueZ does not
//   have in its tree (it drops them when discovery stops) is discovered
//   first. org.bluez.Error.InProgress (another connection being set up) is
//   tried again. Connected turns true before the services are resolved:
//   the connection is ready only once ServicesResolved is true and the
//   characteristic objects are there, and no more of them came for a
//   moment.
// - read, write (type request / command), StartNotify / StopNotify;
//   notifications are the PropertiesChanged of a characteristic's Value.
// - the link is lost when Connected turns false, the device object goes
//   away, the adapter goes away or is switched off, or bluetoothd leaves
//   the bus.
// - BlueZ keeps a device's GATT database across connections, also across
//   a firmware change that moved it: a connection that came up is followed,
//   when it is deleted, by Adapter1.RemoveDevice (never for a paired
//   device), so the next connection reads the device as it is now.
#pragma once

#include <string>

#include "ble/ble_api.h"

// What --ble-library names to choose this backend.
inline constexpr const char* BLUEZ_LIBRARY_NAME = "bluez";

// False in a build without sd-bus (Windows): nothing else here works then.
bool bluez_backend_supported();

// Connects to the system bus and checks that BlueZ can serve: bluetoothd
// on the bus, the adapter (`adapter` "hciN", or empty for the first one
// powered on) present and powered, the bus policy letting us call it.
// On success fills `table` and starts the bus thread (a backend opened
// before is closed first: its handles are dead from then on). On failure
// returns false with a text that tells a person what is wrong and how to
// put it right, and leaves `table` as it was.
bool bluez_backend_open(const std::string& adapter, ble_api_table& table, std::string& error);

// The adapter in use ("hci0") and its address, after a successful open.
std::string bluez_backend_adapter();

// Start-up's loader for this backend, as ble_api_load is for a library:
// creates the GATT layer's lock objects, opens the backend into ble_api and
// traces which adapter it serves.
bool ble_api_load_bluez(const std::string& adapter, std::string& error);
