#include "device/device_state.h"

#include <cstring>
#include <utility>

#include "display/display.h"

namespace {

// Holds the records without ever destroying them: the process may end (the
// window closed) while a thread is still filling one in.
union undestroyed_records {
  device_record records[CONNECTION_SLOT_COUNT];
  template <size_t... Index>
  explicit undestroyed_records(std::index_sequence<Index...>) : records{device_record(Index)...} {}
  ~undestroyed_records() {}
};

undestroyed_records pool{std::make_index_sequence<CONNECTION_SLOT_COUNT>()};

constinit device_record& window_record = pool.records[WINDOW_CONNECTION_SLOT];

}  // namespace

// Bound before any code runs.
constinit std::atomic<bool>& device_ready = pool.records[WINDOW_CONNECTION_SLOT].ready;

device_record& window_device_record() {
  return window_record;
}

device_record& device_record_at(uint32_t index) {
  return pool.records[index];
}

connection_slot& slot_of(const device_record& record) {
  return connection_slot_at(record.slot);
}

display_sink& device_view(const device_record& record) {
  display_sink* view = record.view.load();
  return view ? *view : display();
}

int set_device_address(device_record& record, const char* text) {
  if (!text || strlen(text) >= DEVICE_ADDRESS_SIZE) return 1;
  std::lock_guard<std::mutex> hold(record.texts_lock);
  memset(record.address, 0, sizeof record.address);
  memcpy(record.address, text, strlen(text));
  return 0;
}

int set_device_address(const char* text) {
  return set_device_address(window_record, text);
}

std::string device_address_copy(const device_record& record) {
  std::lock_guard<std::mutex> hold(record.texts_lock);
  return record.address;
}

std::string device_address_copy() {
  return device_address_copy(window_record);
}

std::string device_info_text_copy(const device_record& record) {
  std::lock_guard<std::mutex> hold(record.texts_lock);
  return record.info_text;
}

std::string device_info_text_copy() {
  return device_info_text_copy(window_record);
}

void set_device_info_text(device_record& record, const std::string& text) {
  std::lock_guard<std::mutex> hold(record.texts_lock);
  record.info_text = text.substr(0, DEVICE_INFO_TEXT_SIZE - 1);
}

void set_device_info_text(const std::string& text) {
  set_device_info_text(window_record, text);
}

device_information last_device_information(const device_record& record) {
  std::lock_guard<std::mutex> hold(record.texts_lock);
  return record.information;
}

device_information last_device_information() {
  return last_device_information(window_record);
}

void set_last_device_information(device_record& record, const device_information& information) {
  std::lock_guard<std::mutex> hold(record.texts_lock);
  record.information = information;
}

void set_last_device_information(const device_information& information) {
  set_last_device_information(window_record, information);
}

void device_record_set_tag(device_record& record, const std::string& tag) {
  connection_slot_set_tag(slot_of(record), tag);
}

std::string device_record_tag(const device_record& record) {
  return connection_slot_tag(slot_of(record));
}

void device_record_clear(device_record& record) {
  {
    std::lock_guard<std::mutex> hold(record.texts_lock);
    memset(record.address, 0, sizeof record.address);
    record.info_text.clear();
    record.information = device_information{};
  }
  record.view = nullptr;
  record.ready = false;
  record.stop_update = false;
  record.update_subscribed = false;
  record.unfinished = unfinished_command{};
}
