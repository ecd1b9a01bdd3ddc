#include "device/command_channel.h"

#include <cstdio>
#include <cstring>

#include "ble/gatt_sync.h"
#include "device/device_state.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

constexpr size_t VERSION_BUFFER_SIZE = 32;
constexpr uint8_t DATETIME_PART_SIZE = 100;

// The status channel's bytes as the idle wait last saw them.
struct idle_result {
  bool idle = false;
  notify_value status;
};

bool is_idle(const notify_value& status) {
  return status.length >= 1 && (status.data[0] & STATUS_BUSY) == 0;
}

bool link_lost(const connection_slot& slot) {
  return gatt_link_lost(slot, slot.gatt.load());
}

idle_result wait_until_idle(const connection_slot& slot) {
  idle_result result;
  const uint32_t start = tick_count_ms();
  trace_line("[RCS] Wait command idle");
  for (;;) {
    // Unsigned differences stay right across the 32-bit wrap of the tick.
    if (static_cast<uint32_t>(tick_count_ms() - start) > CMD_IDLE_TIMEOUT_MS || link_lost(slot)) {
      trace_line("[RCS] Idle Timeout!! ERROR");
      return result;
    }
    result.status = notify_snapshot(slot.status);
    if (is_idle(result.status)) {
      trace_line("[RCS] Idle confirmed");
      result.idle = true;
      return result;
    }
    sleep_ms(CMD_IDLE_POLL_MS);
  }
}

// A command left unfinished (the record's `unfinished`, see
// device_state.h): the next one is written only once a status numbered
// after the give-up shows the device idle, and after a missing response
// only once that response came or its wait (5 s) ran out again: a device
// that sends none holds nothing up for longer. A command given up before
// its final status still has its response to send, which the library may
// hand over after that status: the status is waited for first, then the
// response.

void note_unfinished(device_record& record, uint32_t last_status_seen, uint32_t response_since) {
  record.unfinished.status_pending = true;
  record.unfinished.status_sequence = last_status_seen;
  record.unfinished.response_pending = true;
  record.unfinished.response_sequence = response_since;
}

bool previous_status_arrived(device_record& record) {
  unfinished_command& unfinished = record.unfinished;
  if (!unfinished.status_pending) return true;
  const connection_slot& slot = slot_of(record);
  trace_line("[RCS] Wait for the end of the previous command");
  const uint32_t start = tick_count_ms();
  for (;;) {
    const notify_value status = notify_snapshot(slot.status);
    if (status.sequence != unfinished.status_sequence && is_idle(status)) {
      unfinished.status_pending = false;
      return true;
    }
    if (static_cast<uint32_t>(tick_count_ms() - start) > CMD_IDLE_TIMEOUT_MS || link_lost(slot)) {
      trace_line("[RCS] Idle Timeout!! ERROR");
      return false;
    }
    sleep_ms(CMD_IDLE_POLL_MS);
  }
}

void previous_response_arrived(device_record& record) {
  unfinished_command& unfinished = record.unfinished;
  if (!unfinished.response_pending) return;
  unfinished.response_pending = false;
  notify_wait_for_new(&slot_of(record).response, unfinished.response_sequence,
                      CMD_REPLY_TIMEOUT_MS);
}

bool previous_command_ended(device_record& record) {
  if (!previous_status_arrived(record)) return false;
  previous_response_arrived(record);
  return true;
}

// One command from its write to its judged status. `response_since` is the
// response channel's count just before the write: a response numbered after
// it is this command's.
struct exchange_result {
  int result = 1;
  uint32_t response_since = 0;
};

exchange_result exchange(device_record& record, uint16_t code, const uint8_t* params,
                         uint16_t count) {
  exchange_result outcome;
  connection_slot& slot = slot_of(record);
  WarbleGatt* connection = slot.gatt.load();
  if (!connection || count > CMD_MAX_PARAMS) return outcome;
  if (!previous_command_ended(record)) return outcome;
  uint8_t frame[CMD_FRAME_MAX];
  const size_t size = build_command_frame(code, params, count, frame);

  notify_reset(&slot.status);
  notify_reset(&slot.response);
  // The three channels share one event, so only a status notification
  // numbered after this one is the reply to this command.
  const uint32_t before = notify_snapshot(slot.status).sequence;
  outcome.response_since = notify_snapshot(slot.response).sequence;
  const std::string line = command_trace(code, params, count);
  trace_write(line.data(), line.size());

  const int32_t written =
      gatt_write_sync(slot, connection, COMMAND_CHAR_UUID, frame, static_cast<uint8_t>(size));
  if (written != GATT_OK) {
    // Unanswered, the write may still have reached the device.
    if (written == GATT_TIMED_OUT) note_unfinished(record, before, outcome.response_since);
    return outcome;
  }
  if (notify_wait_for_new(&slot.status, before, CMD_REPLY_TIMEOUT_MS) != GATT_OK) {
    note_unfinished(record, before, outcome.response_since);
    return outcome;
  }
  if (!slot.gatt.load()) return outcome;

  // Judged on the very bytes that confirmed idle, not on a later re-read.
  const idle_result idle = wait_until_idle(slot);
  if (!idle.idle) {
    note_unfinished(record, idle.status.sequence, outcome.response_since);
    return outcome;
  }
  if (idle.status.length == 0 || idle.status.data[0] == CMD_STATUS_FAILED) return outcome;

  notify_reset(&slot.status);
  notify_reset(&slot.response);
  outcome.result = 0;
  return outcome;
}

// The response bytes of one consistent snapshot: the length read once and
// exactly that many bytes copied, or -1 when they do not fit.
int copy_response_if_fits(const notify_value& response, uint8_t* dest, uint32_t capacity) {
  if (capacity < response.length) return -1;
  memcpy(dest, response.data, response.length);
  return response.length;
}

// The device sends the response before the final status, but the library
// may deliver the two from different threads, the status first: the
// response is waited for until one numbered after the write is there.
int query_with_params(device_record& record, uint16_t code, const uint8_t* params, uint16_t count,
                      uint8_t* dest, uint8_t capacity) {
  const trace_tag_scope tagged(device_record_tag(record));
  const exchange_result sent = exchange(record, code, params, count);
  if (sent.result != 0) return -1;
  if (!dest) return 0;
  notify_channel& response = slot_of(record).response;
  if (notify_wait_for_new(&response, sent.response_since, CMD_REPLY_TIMEOUT_MS) != GATT_OK) {
    trace_line("[RCS] No response to the command");
    record.unfinished.response_pending = true;
    record.unfinished.response_sequence = sent.response_since;
    return -1;
  }
  return copy_response_if_fits(notify_snapshot(response), dest, capacity);
}

int query_text(device_record& record, uint16_t code, uint8_t* buf, uint8_t capacity) {
  if (!buf) return 1;
  return command_query(record, code, buf, capacity) == -1 ? 1 : 0;
}

// A text reply is not terminated: it ends at its first zero byte or at the
// end of the bytes received.
int query_text_part(device_record& record, uint16_t code, char (&part)[DATETIME_PART_SIZE + 1]) {
  memset(part, 0, sizeof part);
  const int count =
      command_query(record, code, reinterpret_cast<uint8_t*>(part), DATETIME_PART_SIZE);
  if (count < 0) return 1;
  part[count] = '\0';
  return 0;
}

device_record& window() {
  return window_device_record();
}

}  // namespace

size_t build_command_frame(uint16_t code, const uint8_t* params, uint16_t count, uint8_t* frame) {
  if (count > CMD_MAX_PARAMS) return 0;
  frame[0] = static_cast<uint8_t>(code >> 8);
  frame[1] = static_cast<uint8_t>(code & 0xFF);
  if (count) memcpy(frame + 2, params, count);
  return 2u + count;
}

std::string command_trace(uint16_t code, const uint8_t* params, uint16_t count) {
  char head[64];
  snprintf(head, sizeof head, "[RCS] Sending command 0x%04X Pars %u - ", code,
           static_cast<unsigned>(count));
  return frame_trace_line(head, params, count);
}

std::string frame_trace_line(const char* head, const uint8_t* bytes, size_t count) {
  std::string line = head;
  char hex[4];
  for (size_t i = 0; i < count; ++i) {
    snprintf(hex, sizeof hex, "%02X ", bytes[i]);
    line += hex;
  }
  line += '\n';
  return line;
}

int send_command(device_record& record, uint16_t code, const uint8_t* params, uint16_t count) {
  const trace_tag_scope tagged(device_record_tag(record));
  return exchange(record, code, params, count).result;
}

int send_command(uint16_t code, const uint8_t* params, uint16_t count) {
  return send_command(window(), code, params, count);
}

void forget_unfinished_command(device_record& record) {
  record.unfinished = unfinished_command{};
}

void forget_unfinished_command() {
  forget_unfinished_command(window());
}

bool wait_unfinished_command(device_record& record) {
  const trace_tag_scope tagged(device_record_tag(record));
  return previous_command_ended(record);
}

int wait_command_idle(device_record& record) {
  const trace_tag_scope tagged(device_record_tag(record));
  return wait_until_idle(slot_of(record)).idle ? 0 : 1;
}

int wait_command_idle() {
  return wait_command_idle(window());
}

int copy_response(uint8_t* dest) {
  const notify_value response = notify_snapshot(response_channel);
  memcpy(dest, response.data, response.length);
  return response.length;
}

int command_query(device_record& record, uint16_t code, uint8_t* dest, uint8_t capacity) {
  return query_with_params(record, code, nullptr, 0, dest, capacity);
}

int command_query(uint16_t code, uint8_t* dest, uint8_t capacity) {
  return command_query(window(), code, dest, capacity);
}

int command_query_u8(uint16_t code, uint8_t value, uint8_t* dest, uint8_t capacity) {
  const uint8_t params[1] = {value};
  return query_with_params(window(), code, params, sizeof params, dest, capacity);
}

int command_query_u16(uint16_t code, uint16_t value, uint8_t* dest, uint8_t capacity) {
  const uint8_t params[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return query_with_params(window(), code, params, sizeof params, dest, capacity);
}

int command_query_u32(uint16_t code, uint32_t value, uint8_t* dest, uint8_t capacity) {
  const uint8_t params[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                             static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return query_with_params(window(), code, params, sizeof params, dest, capacity);
}

int fetch_response(uint8_t* dest, uint32_t capacity) {
  if (!dest) return -1;
  return copy_response_if_fits(notify_snapshot(response_channel), dest, capacity);
}

int read_status_characteristic(uint8_t* dest) {
  WarbleGatt* connection = gatt.load();
  if (!connection || !dest) return -1;
  return gatt_read_sync(connection, STATUS_CHAR_UUID, dest, 30);
}

int wait_idle_if_connected() {
  if (!gatt.load()) return 1;
  return wait_command_idle();
}

int get_version(device_record& record, fw_version* out) {
  if (!out) return 1;
  uint8_t buffer[VERSION_BUFFER_SIZE] = {};
  if (command_query(record, CMD_GET_VERSION, buffer, sizeof buffer) == -1) return 1;
  out->major = buffer[0];
  out->minor = buffer[1];
  out->supported_commands = static_cast<uint16_t>(buffer[2] * 256 + buffer[3]);
  return 0;
}

int get_version(fw_version* out) {
  return get_version(window(), out);
}

int get_fw_date(device_record& record, uint8_t* buf, uint8_t capacity) {
  return query_text(record, CMD_GET_FW_DATE, buf, capacity);
}

int get_fw_date(uint8_t* buf, uint8_t capacity) {
  return get_fw_date(window(), buf, capacity);
}

int get_fw_time(device_record& record, uint8_t* buf, uint8_t capacity) {
  return query_text(record, CMD_GET_FW_TIME, buf, capacity);
}

int get_fw_time(uint8_t* buf, uint8_t capacity) {
  return get_fw_time(window(), buf, capacity);
}

int get_fw_datetime(device_record& record, char* out) {
  if (!slot_of(record).gatt.load() || !out) return 1;
  char date[DATETIME_PART_SIZE + 1];
  char time[DATETIME_PART_SIZE + 1];
  if (query_text_part(record, CMD_GET_FW_DATE, date) != 0) return 1;
  if (query_text_part(record, CMD_GET_FW_TIME, time) != 0) return 1;
  snprintf(out, FW_DATETIME_TEXT_SIZE, "%s - %s", date, time);
  return 0;
}

int get_fw_datetime(char* out) {
  return get_fw_datetime(window(), out);
}

uint8_t get_status_bytes(uint8_t* status_byte_1) {
  const notify_value status = notify_snapshot(status_channel);
  if (status_byte_1) *status_byte_1 = status.data[1];
  return status.data[0];
}

int get_status_pair(status_pair* out) {
  if (!out) return 0;
  const notify_value status = notify_snapshot(status_channel);
  out->state = status.data[0];
  out->detail = status.data[1];
  return 0;
}
