// The characteristics the program uses, looked up by their own UUID on the
// connection (lower-case text, as the BLE library compares them).
#pragma once

constexpr const char* COMMAND_CHAR_UUID = "fabbe002-4910-473c-be46-960948c2f59c";
constexpr const char* STATUS_CHAR_UUID = "fabbe004-4910-473c-be46-960948c2f59c";
constexpr const char* RESPONSE_CHAR_UUID = "fabbe006-4910-473c-be46-960948c2f59c";
constexpr const char* UPDATE_CHAR_UUID = "fabbe008-4910-473c-be46-960948c2f59c";
constexpr const char* FIRMWARE_REVISION_UUID = "00002a26-0000-1000-8000-00805f9b34fb";
constexpr const char* MANUFACTURER_NAME_UUID = "00002a29-0000-1000-8000-00805f9b34fb";
constexpr const char* MODEL_NUMBER_UUID = "00002a24-0000-1000-8000-00805f9b34fb";
constexpr const char* SERIAL_NUMBER_UUID = "00002a25-0000-1000-8000-00805f9b34fb";
