/* A library with the BLE library's interface and empty bodies, built in
 * several variants that each leave out some names, to exercise the loader's
 * resolution. */
#define WARBLE_BUILDING_LIBRARY
#include "ble/warble.h"

const char* warble_lib_version(void) {
  return "test-1.0";
}
void warble_scanner_set_handler(void* context, warble_scan_handler handler) {
  (void)context;
  (void)handler;
}
void warble_scanner_start(int32_t nopts, const WarbleOption* opts) {
  (void)nopts;
  (void)opts;
}
void warble_scanner_stop(void) {}
WarbleGatt* warble_gatt_create(const char* mac) {
  (void)mac;
  return 0;
}
WarbleGatt* warble_gatt_create_with_options(int32_t nopts, const WarbleOption* opts) {
  (void)nopts;
  (void)opts;
  return 0;
}
int32_t warble_gatt_is_connected(const WarbleGatt* gatt) {
  (void)gatt;
  return 0;
}
void warble_gatt_connect_async(WarbleGatt* gatt, void* context, warble_connect_handler handler) {
  (void)gatt;
  (void)context;
  (void)handler;
}
void warble_gatt_disconnect(WarbleGatt* gatt) {
  (void)gatt;
}
void warble_gatt_on_disconnect(WarbleGatt* gatt, void* context, warble_disconnect_handler handler) {
  (void)gatt;
  (void)context;
  (void)handler;
}
const char* warble_gattchar_get_uuid(const WarbleGattChar* chr) {
  (void)chr;
  return "";
}
WarbleGattChar* warble_gatt_find_characteristic(const WarbleGatt* gatt, const char* uuid) {
  (void)gatt;
  (void)uuid;
  return 0;
}
void warble_gattchar_read_async(WarbleGattChar* chr, void* context, warble_read_handler handler) {
  (void)chr;
  (void)context;
  (void)handler;
}
void warble_gattchar_write_without_resp_async(WarbleGattChar* chr, const uint8_t* value,
                                              uint8_t length, void* context,
                                              warble_char_done_handler handler) {
  (void)chr;
  (void)value;
  (void)length;
  (void)context;
  (void)handler;
}
void warble_gattchar_write_async(WarbleGattChar* chr, const uint8_t* value, uint8_t length,
                                 void* context, warble_char_done_handler handler) {
  (void)chr;
  (void)value;
  (void)length;
  (void)context;
  (void)handler;
}
void warble_gattchar_enable_notifications_async(WarbleGattChar* chr, void* context,
                                                warble_char_done_handler handler) {
  (void)chr;
  (void)context;
  (void)handler;
}
const WarbleScanMftData* warble_scan_result_get_manufacturer_data(const WarbleScanResult* result,
                                                                  uint16_t company_id) {
  (void)result;
  (void)company_id;
  return 0;
}
int32_t warble_scan_result_has_service_uuid(const WarbleScanResult* result, const char* uuid) {
  (void)result;
  (void)uuid;
  return 0;
}
#ifndef WITHOUT_GATT_DELETE
void warble_gatt_delete(WarbleGatt* gatt) {
  (void)gatt;
}
#endif
int32_t warble_gatt_has_service(const WarbleGatt* gatt, const char* uuid) {
  (void)gatt;
  (void)uuid;
  return 0;
}
void warble_gattchar_disable_notifications_async(WarbleGattChar* chr, void* context,
                                                 warble_char_done_handler handler) {
  (void)chr;
  (void)context;
  (void)handler;
}
WarbleGatt* warble_gattchar_get_gatt(const WarbleGattChar* chr) {
  (void)chr;
  return 0;
}
#ifndef WITHOUT_LIB_INIT
void warble_lib_init(int32_t nopts, const WarbleOption* opts) {
  (void)nopts;
  (void)opts;
}
#endif
const char* warble_lib_config(void) {
  return "";
}
#ifndef WITHOUT_NOTIFICATION_RECEIVED
void warble_gattchar_on_notification_received(WarbleGattChar* chr, void* context,
                                              warble_notify_handler handler) {
  (void)chr;
  (void)context;
  (void)handler;
}
#endif
