// A library with the BLE library's interface and empty bodies, built in
// variants that each leave out some names, to exercise the loader's
// resolution order.
#include "ble/warble.h"

const char* warble_lib_version() {
  return "test-1.0";
}
void warble_scanner_set_handler(void*, warble_scan_handler) {}
void warble_scanner_start(int32_t, const WarbleOption*) {}
void warble_scanner_stop() {}
WarbleGatt* warble_gatt_create(const char*) {
  return nullptr;
}
WarbleGatt* warble_gatt_create_with_options(int32_t, const WarbleOption*) {
  return nullptr;
}
int32_t warble_gatt_is_connected(const WarbleGatt*) {
  return 0;
}
void warble_gatt_connect_async(WarbleGatt*, void*, warble_connect_handler) {}
void warble_gatt_disconnect(WarbleGatt*) {}
void warble_gatt_on_disconnect(WarbleGatt*, void*, warble_disconnect_handler) {}
const char* warble_gattchar_get_uuid(const WarbleGattChar*) {
  return "";
}
WarbleGattChar* warble_gatt_find_characteristic(const WarbleGatt*, const char*) {
  return nullptr;
}
void warble_gattchar_read_async(WarbleGattChar*, void*, warble_read_handler) {}
void warble_gattchar_write_without_resp_async(WarbleGattChar*, const uint8_t*, uint8_t, void*,
                                              warble_char_done_handler) {}
void warble_gattchar_write_async(WarbleGattChar*, const uint8_t*, uint8_t, void*,
                                 warble_char_done_handler) {}
void warble_gattchar_enable_notifications_async(WarbleGattChar*, void*, warble_char_done_handler) {}
const WarbleScanMftData* warble_scan_result_get_manufacturer_data(const WarbleScanResult*,
                                                                  uint16_t) {
  return nullptr;
}
int32_t warble_scan_result_has_service_uuid(const WarbleScanResult*, const char*) {
  return 0;
}
#ifndef WITHOUT_GATT_DELETE
void warble_gatt_delete(WarbleGatt*) {}
#endif
int32_t warble_gatt_has_service(const WarbleGatt*, const char*) {
  return 0;
}
void warble_gattchar_disable_notifications_async(WarbleGattChar*, void*, warble_char_done_handler) {
}
WarbleGatt* warble_gattchar_get_gatt(const WarbleGattChar*) {
  return nullptr;
}
#ifndef WITHOUT_LIB_INIT
void warble_lib_init(int32_t, const WarbleOption*) {}
#endif
const char* warble_lib_config() {
  return "";
}
#ifndef WITHOUT_NOTIFICATION_RECEIVED
void warble_gattchar_on_notification_received(WarbleGattChar*, void*, warble_notify_handler) {}
#endif
