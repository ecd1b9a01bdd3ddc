/* The C interface of the BLE library "warble", as this program relies on it.
 * The program never links against it: it resolves these names at run time
 * (ble_api.h). Our stand-in library (sim/) implements the same names, and
 * defines WARBLE_BUILDING_LIBRARY to export them undecorated.
 *
 * Lifetimes the library imposes: scan results, their strings and error
 * texts are valid only during the handler call; characteristic handles die
 * with their connection. Handlers may run on library threads or before the
 * starting call returns. Every value length is 8-bit: at most 255 bytes. */
#ifndef WARBLE_H
#define WARBLE_H

#include <stdint.h>

#if defined(WARBLE_BUILDING_LIBRARY)
#if defined(_WIN32)
#define WARBLE_API __declspec(dllexport)
#else
#define WARBLE_API __attribute__((visibility("default")))
#endif
#else
#define WARBLE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  const char* key;
  const char* value;
} WarbleOption;

typedef struct {
  const char* mac;
  const char* name;
  int32_t rssi;
  void* private_data;
} WarbleScanResult;

typedef struct {
  const uint8_t* value;
  uint32_t value_size;
} WarbleScanMftData;

typedef struct WarbleGatt WarbleGatt;
typedef struct WarbleGattChar WarbleGattChar;

typedef void (*warble_scan_handler)(void* context, const WarbleScanResult* result);
typedef void (*warble_connect_handler)(void* context, WarbleGatt* gatt, const char* error);
typedef void (*warble_disconnect_handler)(void* context, WarbleGatt* gatt, int32_t status);
typedef void (*warble_char_done_handler)(void* context, WarbleGattChar* chr, const char* error);
typedef void (*warble_read_handler)(void* context, WarbleGattChar* chr, const uint8_t* value,
                                    uint8_t length, const char* error);
typedef void (*warble_notify_handler)(void* context, WarbleGattChar* chr, const uint8_t* value,
                                      uint8_t length);

WARBLE_API const char* warble_lib_version(void);
WARBLE_API void warble_scanner_set_handler(void* context, warble_scan_handler handler);
WARBLE_API void warble_scanner_start(int32_t nopts, const WarbleOption* opts);
WARBLE_API void warble_scanner_stop(void);
WARBLE_API WarbleGatt* warble_gatt_create(const char* mac);
WARBLE_API WarbleGatt* warble_gatt_create_with_options(int32_t nopts, const WarbleOption* opts);
WARBLE_API int32_t warble_gatt_is_connected(const WarbleGatt* gatt);
WARBLE_API void warble_gatt_connect_async(WarbleGatt* gatt, void* context,
                                          warble_connect_handler handler);
WARBLE_API void warble_gatt_disconnect(WarbleGatt* gatt);
WARBLE_API void warble_gatt_on_disconnect(WarbleGatt* gatt, void* context,
                                          warble_disconnect_handler handler);
WARBLE_API const char* warble_gattchar_get_uuid(const WarbleGattChar* chr);
WARBLE_API WarbleGattChar* warble_gatt_find_characteristic(const WarbleGatt* gatt,
                                                           const char* uuid);
WARBLE_API void warble_gattchar_read_async(WarbleGattChar* chr, void* context,
                                           warble_read_handler handler);
WARBLE_API void warble_gattchar_write_without_resp_async(WarbleGattChar* chr, const uint8_t* value,
                                                         uint8_t length, void* context,
                                                         warble_char_done_handler handler);
WARBLE_API void warble_gattchar_write_async(WarbleGattChar* chr, const uint8_t* value,
                                            uint8_t length, void* context,
                                            warble_char_done_handler handler);
WARBLE_API void warble_gattchar_enable_notifications_async(WarbleGattChar* chr, void* context,
                                                           warble_char_done_handler handler);
WARBLE_API const WarbleScanMftData* warble_scan_result_get_manufacturer_data(
    const WarbleScanResult* result, uint16_t company_id);
WARBLE_API int32_t warble_scan_result_has_service_uuid(const WarbleScanResult* result,
                                                       const char* uuid);
WARBLE_API void warble_gatt_delete(WarbleGatt* gatt);
WARBLE_API int32_t warble_gatt_has_service(const WarbleGatt* gatt, const char* uuid);
WARBLE_API void warble_gattchar_disable_notifications_async(WarbleGattChar* chr, void* context,
                                                            warble_char_done_handler handler);
WARBLE_API WarbleGatt* warble_gattchar_get_gatt(const WarbleGattChar* chr);
WARBLE_API void warble_lib_init(int32_t nopts, const WarbleOption* opts);
WARBLE_API const char* warble_lib_config(void);
WARBLE_API void warble_gattchar_on_notification_received(WarbleGattChar* chr, void* context,
                                                         warble_notify_handler handler);

#ifdef __cplusplus
}
#endif

#endif /* WARBLE_H */
