// The BLE library as the program calls it: a table of 25 function pointers
// resolved by name when the program starts. Nothing calls the library any
// other way, which is what lets the unit tests put a scripted fake in the
// table and the integration tests load our stand-in in its place.
#pragma once

#include <string>

#include "ble/warble.h"

// Field order is the resolution order. Seven of them (gatt_create,
// get_manufacturer_data, has_service_uuid, has_service, get_gatt, lib_init,
// lib_config) must resolve but are never called. The types name the
// library's declarations qualified (::): each field reuses its function's
// name, which unqualified would change meaning inside the class.
struct ble_api_table {
  decltype(&::warble_lib_version) warble_lib_version;
  decltype(&::warble_scanner_set_handler) warble_scanner_set_handler;
  decltype(&::warble_scanner_start) warble_scanner_start;
  decltype(&::warble_scanner_stop) warble_scanner_stop;
  decltype(&::warble_gatt_create) warble_gatt_create;
  decltype(&::warble_gatt_create_with_options) warble_gatt_create_with_options;
  decltype(&::warble_gatt_is_connected) warble_gatt_is_connected;
  decltype(&::warble_gatt_connect_async) warble_gatt_connect_async;
  decltype(&::warble_gatt_disconnect) warble_gatt_disconnect;
  decltype(&::warble_gatt_on_disconnect) warble_gatt_on_disconnect;
  decltype(&::warble_gattchar_get_uuid) warble_gattchar_get_uuid;
  decltype(&::warble_gatt_find_characteristic) warble_gatt_find_characteristic;
  decltype(&::warble_gattchar_read_async) warble_gattchar_read_async;
  decltype(&::warble_gattchar_write_without_resp_async) warble_gattchar_write_without_resp_async;
  decltype(&::warble_gattchar_write_async) warble_gattchar_write_async;
  decltype(&::warble_gattchar_enable_notifications_async)
      warble_gattchar_enable_notifications_async;
  decltype(&::warble_scan_result_get_manufacturer_data) warble_scan_result_get_manufacturer_data;
  decltype(&::warble_scan_result_has_service_uuid) warble_scan_result_has_service_uuid;
  decltype(&::warble_gatt_delete) warble_gatt_delete;
  decltype(&::warble_gatt_has_service) warble_gatt_has_service;
  decltype(&::warble_gattchar_disable_notifications_async)
      warble_gattchar_disable_notifications_async;
  decltype(&::warble_gattchar_get_gatt) warble_gattchar_get_gatt;
  decltype(&::warble_lib_init) warble_lib_init;
  decltype(&::warble_lib_config) warble_lib_config;
  decltype(&::warble_gattchar_on_notification_received) warble_gattchar_on_notification_received;
};

// The process-wide table. Filled once by ble_api_load before the worker
// starts and read-only afterwards; unit tests assign a fake to it directly.
extern ble_api_table ble_api;

// The library's file name on this platform: "warble.dll" on Windows,
// "libwarble.so" elsewhere (found through the normal search path).
const char* ble_library_file_name();

// Loads the library named `file_name`, creates the operation lock objects
// and resolves the 25 functions in table order into `table`. On failure
// returns false with the user-facing text in `error`:
//   "Bluetooth DLL library not found (warble.dll)"
//   "CreateMutex error: %lu\n", "CreateEvent error: %lu\n"
//   "ERROR: Warble unknown function %s" (the first name that is missing)
// `reason`, when given, receives the system's own words for a library that
// would not load (what the window's text leaves out).
bool ble_api_try_load(const char* file_name, ble_api_table& table, std::string& error,
                      std::string* reason = nullptr);

// Start-up's loader: ble_api_try_load of `file_name` (null: the platform's
// library, ble_library_file_name) into ble_api. On success prints
// "WARBLE %s!\n" with the library's version text and returns true. On
// failure returns false with the text in `error` and shows nothing: each
// front end says it its own way (the window: a box captioned "ERROR" and
// exit status 1).
bool ble_api_load(const char* file_name, std::string& error, std::string* reason = nullptr);

// Tests only: stands in for gatt_lock_objects_create inside
// ble_api_try_load, to reach its creation-failure texts (null restores it).
using lock_objects_creator = bool (*)(const char** which);
void set_lock_objects_creator_for_tests(lock_objects_creator creator);
