#include "ble/ble_api.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "ble/gatt_sync.h"
#include "platform/os.h"
#include "platform/trace.h"

ble_api_table ble_api;

namespace {

std::atomic<lock_objects_creator> lock_objects_create{gatt_lock_objects_create};

std::string format_error(const char* format, unsigned long code) {
  char text[64];
  snprintf(text, sizeof text, format, code);
  return text;
}

template <typename Function>
bool resolve(os_library library, const char* name, Function& slot, std::string& error) {
  void* symbol = os_library_symbol(library, name);
  if (!symbol) {
    error = std::string("ERROR: Warble unknown function ") + name;
    return false;
  }
  slot = reinterpret_cast<Function>(symbol);
  return true;
}

// Table order is resolution order, and the first missing name is the one
// reported.
bool resolve_all(os_library library, ble_api_table& table, std::string& error) {
#define RESOLVE(name) resolve(library, #name, table.name, error)
  return RESOLVE(warble_lib_version) && RESOLVE(warble_scanner_set_handler) &&
         RESOLVE(warble_scanner_start) && RESOLVE(warble_scanner_stop) &&
         RESOLVE(warble_gatt_create) && RESOLVE(warble_gatt_create_with_options) &&
         RESOLVE(warble_gatt_is_connected) && RESOLVE(warble_gatt_connect_async) &&
         RESOLVE(warble_gatt_disconnect) && RESOLVE(warble_gatt_on_disconnect) &&
         RESOLVE(warble_gattchar_get_uuid) && RESOLVE(warble_gatt_find_characteristic) &&
         RESOLVE(warble_gattchar_read_async) && RESOLVE(warble_gattchar_write_without_resp_async) &&
         RESOLVE(warble_gattchar_write_async) &&
         RESOLVE(warble_gattchar_enable_notifications_async) &&
         RESOLVE(warble_scan_result_get_manufacturer_data) &&
         RESOLVE(warble_scan_result_has_service_uuid) && RESOLVE(warble_gatt_delete) &&
         RESOLVE(warble_gatt_has_service) && RESOLVE(warble_gattchar_disable_notifications_async) &&
         RESOLVE(warble_gattchar_get_gatt) && RESOLVE(warble_lib_init) &&
         RESOLVE(warble_lib_config) && RESOLVE(warble_gattchar_on_notification_received);
#undef RESOLVE
}

}  // namespace

const char* ble_library_file_name() {
#if defined(_WIN32)
  return "warble.dll";
#else
  return "libwarble.so";
#endif
}

bool ble_api_try_load(const char* file_name, ble_api_table& table, std::string& error,
                      std::string* reason) {
  // The library stays loaded until the process ends, failure or not.
  const os_library library = os_library_open(file_name);
  if (!library) {
    error = "Bluetooth DLL library not found (warble.dll)";
    if (reason) *reason = os_library_error();
    return false;
  }
  const char* which = "";
  if (!lock_objects_create.load()(&which)) {
    const bool mutex_failed = strcmp(which, "mutex") == 0;
    error = format_error(mutex_failed ? "CreateMutex error: %lu\n" : "CreateEvent error: %lu\n",
                         os_last_error());
    return false;
  }
  // Resolved aside, so that a failure leaves `table` as it was.
  ble_api_table resolved{};
  if (!resolve_all(library, resolved, error)) return false;
  table = resolved;
  return true;
}

bool ble_api_load(const char* file_name, std::string& error, std::string* reason) {
  if (!ble_api_try_load(file_name ? file_name : ble_library_file_name(), ble_api, error, reason))
    return false;
  trace_printf("WARBLE %s!\n", ble_api.warble_lib_version());
  return true;
}

void set_lock_objects_creator_for_tests(lock_objects_creator creator) {
  lock_objects_create = creator ? creator : gatt_lock_objects_create;
}
