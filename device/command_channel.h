// Short commands over the proprietary command characteristic, judged by the
// status channel, with data returned on the response channel.
//
// The functions that take a device record work on that record's connection
// and are called by its thread; those without one work on the window's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct device_record;

constexpr uint16_t CMD_GET_VERSION = 0x0000;
constexpr uint16_t CMD_GET_FW_DATE = 0x0001;
constexpr uint16_t CMD_GET_FW_TIME = 0x0002;
constexpr uint16_t CMD_MAX_PARAMS = 21;
constexpr uint8_t STATUS_BUSY = 0x01;
constexpr uint8_t CMD_STATUS_FAILED = 4;
constexpr uint32_t CMD_REPLY_TIMEOUT_MS = 5000;
constexpr uint32_t CMD_IDLE_TIMEOUT_MS = 10000;
constexpr uint32_t CMD_IDLE_POLL_MS = 10;
constexpr size_t CMD_FRAME_MAX = 2 + CMD_MAX_PARAMS;
constexpr size_t FW_DATETIME_TEXT_SIZE = 204;

struct fw_version {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint16_t supported_commands = 0;
};

struct status_pair {
  int32_t state = 0;
  uint8_t detail = 0;
};

int send_command(device_record& record, uint16_t code, const uint8_t* params, uint16_t count);
int send_command(uint16_t code, const uint8_t* params, uint16_t count);
// A new connection: a command left unfinished on the previous one holds up
// nothing here.
void forget_unfinished_command(device_record& record);
void forget_unfinished_command();
// Waits, within the bounds the next command would, for a command given up
// earlier on this connection to end (its final status, then its
// response): until then its statuses may still come, and must not be taken
// for the replies of anything written meanwhile, an update's frames
// included. True when none is left unfinished.
bool wait_unfinished_command(device_record& record);
int wait_command_idle(device_record& record);
int wait_command_idle();
int copy_response(uint8_t* dest);
int command_query(device_record& record, uint16_t code, uint8_t* dest, uint8_t capacity);
int command_query(uint16_t code, uint8_t* dest, uint8_t capacity);
int command_query_u8(uint16_t code, uint8_t value, uint8_t* dest, uint8_t capacity);
int command_query_u16(uint16_t code, uint16_t value, uint8_t* dest, uint8_t capacity);
int command_query_u32(uint16_t code, uint32_t value, uint8_t* dest, uint8_t capacity);
int fetch_response(uint8_t* dest, uint32_t capacity);
int read_status_characteristic(uint8_t* dest);
int wait_idle_if_connected();
// The queries: 0 answered, 1 refused or unanswered.
int get_version(device_record& record, fw_version* out);
int get_version(fw_version* out);
int get_fw_date(device_record& record, uint8_t* buf, uint8_t capacity);
int get_fw_date(uint8_t* buf, uint8_t capacity);
int get_fw_time(device_record& record, uint8_t* buf, uint8_t capacity);
int get_fw_time(uint8_t* buf, uint8_t capacity);
int get_fw_datetime(device_record& record, char* out);
int get_fw_datetime(char* out);
uint8_t get_status_bytes(uint8_t* status_byte_1);
int get_status_pair(status_pair* out);

// Writes the frame (16-bit big-endian code, then the parameters) into
// `frame` (room for CMD_FRAME_MAX bytes) and returns its size; 0 when count
// exceeds CMD_MAX_PARAMS.
size_t build_command_frame(uint16_t code, const uint8_t* params, uint16_t count, uint8_t* frame);

// The trace line of a command, newline included: the code, the count and
// the parameter bytes (not the code bytes).
std::string command_trace(uint16_t code, const uint8_t* params, uint16_t count);

// A frame's trace line, as the command and the update channel print it:
// `head`, each byte as two hex digits and a space, then the newline.
std::string frame_trace_line(const char* head, const uint8_t* bytes, size_t count);
