#include "device/device_state.h"

#include <cstring>
#include <mutex>

std::atomic<WarbleGatt*> gatt{nullptr};
std::atomic<bool> device_ready{false};

namespace {
// The UI thread writes the address while the worker may still read it for a
// connection in progress; the device information is written by the worker
// and read by the UI thread. Each text has its own small lock. Never
// destroyed: the process may end (the window closed) while the worker is
// still filling them in.
std::mutex& address_lock = *new std::mutex;
char device_address[DEVICE_ADDRESS_SIZE];
std::mutex& info_lock = *new std::mutex;
std::string& device_info_text = *new std::string;
device_information& last_information = *new device_information;
}  // namespace

int set_device_address(const char* text) {
  if (!text || strlen(text) >= DEVICE_ADDRESS_SIZE) return 1;
  std::lock_guard<std::mutex> hold(address_lock);
  memset(device_address, 0, sizeof device_address);
  memcpy(device_address, text, strlen(text));
  return 0;
}

std::string device_address_copy() {
  std::lock_guard<std::mutex> hold(address_lock);
  return device_address;
}

std::string device_info_text_copy() {
  std::lock_guard<std::mutex> hold(info_lock);
  return device_info_text;
}

void set_device_info_text(const std::string& text) {
  std::lock_guard<std::mutex> hold(info_lock);
  device_info_text = text.substr(0, DEVICE_INFO_TEXT_SIZE - 1);
}

device_information last_device_information() {
  std::lock_guard<std::mutex> hold(info_lock);
  return last_information;
}

void set_last_device_information(const device_information& information) {
  std::lock_guard<std::mutex> hold(info_lock);
  last_information = information;
}
