// A build without sd-bus (Windows): the backend is not there.
#include "ble/bluez_backend.h"

bool bluez_backend_supported() {
  return false;
}

bool bluez_backend_open(const std::string&, ble_api_table&, std::string& error) {
  error = "this build has no BlueZ backend (it serves Linux only)";
  return false;
}

std::string bluez_backend_adapter() {
  return "";
}

bool ble_api_load_bluez(const std::string& adapter, std::string& error) {
  return bluez_backend_open(adapter, ble_api, error);
}
