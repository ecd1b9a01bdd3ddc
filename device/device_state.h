// What the program knows about the chosen and the connected device. Written
// by the worker (and the address by the UI thread), read by both threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "ble/warble.h"

constexpr size_t DEVICE_ADDRESS_SIZE = 80;  // 79 characters and the terminator
constexpr size_t DEVICE_INFO_TEXT_SIZE = 4096;

// The connection of the one connected device; null when there is none. Set
// and cleared only by the connection sequence and the close.
extern std::atomic<WarbleGatt*> gatt;

// Set when a connection reaches "System READY", cleared by the close or by
// the next connection attempt once its connection object exists.
extern std::atomic<bool> device_ready;

// Stores the chosen device's MAC text (UI thread, before REQ_CONNECT is
// posted). Returns 0, or 1 without changing anything when the text does not
// fit in DEVICE_ADDRESS_SIZE with its terminator: an address is never cut.
int set_device_address(const char* text);

// What the latest connection learnt of its device: the address and the four
// Device Information strings as read (empty when a read failed).
struct device_information {
  std::string mac;
  std::string firmware_revision;
  std::string manufacturer;
  std::string model_number;
  std::string serial_number;
};

// Copies of the shared texts, taken under their lock.
std::string device_address_copy();
std::string device_info_text_copy();

// Worker only: replaces the device information text (bounded to
// DEVICE_INFO_TEXT_SIZE - 1 characters).
void set_device_info_text(const std::string& text);

// The latest connection's device information; worker only, both.
device_information last_device_information();
void set_last_device_information(const device_information& information);
