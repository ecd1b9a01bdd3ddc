// Requests from the UI thread to the worker: a 512-byte ring of records
// (type, length, data), one producer side open to any thread and a single
// consumer, the worker.
#pragma once

#include <cstdint>

enum request_type : uint8_t {
  REQ_QUIT = 0,
  REQ_SCAN = 1,
  REQ_CONNECT = 2,
  REQ_DISCONNECT = 3,
  REQ_GET_VERSION = 10,
  REQ_GET_FW_DATE = 11,
  REQ_GET_FW_TIME = 12,
  REQ_UPDATE_FROM_FILE = 37,
};

constexpr uint16_t REQUEST_RING_SIZE = 512;
constexpr uint8_t REQUEST_DATA_MAX = 62;
constexpr uint32_t WORKER_WAIT_MS = 400;

struct popped_request_record {
  uint8_t type = 0;
  uint8_t length = 0;
  uint8_t data[REQUEST_DATA_MAX] = {};
};

// The worker's single record, overwritten by every pop (worker only).
extern popped_request_record popped_request;

void queue_init();
// 0 posted, 1 not posted: no room (byte_count + length would reach 510), a
// length that one byte cannot carry, or data missing for a non-zero length.
// Lengths above REQUEST_DATA_MAX are posted but fail at the pop, ending the
// worker: callers keep to REQUEST_DATA_MAX.
int queue_post(uint8_t type, uint16_t length, const uint8_t* data);
int post_request(uint8_t type);
int post_request_u8(uint8_t type, uint8_t value);
int post_request_u16(uint8_t type, uint16_t value);
int post_request_u16x2(uint8_t type, uint16_t a, uint16_t b);
int post_quit();
int queue_pop();
bool queue_has_messages();
// Pops and discards until nothing is held; a request that cannot be popped
// empties the whole ring. Returns 0.
int queue_drain();

// Waits at most `timeout_ms` (program time) for a post's pulse. Only a
// thread waiting at the moment of a post is woken.
constexpr int QUEUE_WAIT_POSTED = 0;
constexpr int QUEUE_WAIT_TIMED_OUT = 1;
constexpr int QUEUE_WAIT_FAILED = 2;  // the queue was never initialised
int queue_wait_for_post(uint32_t timeout_ms);

// Tests only: the queue's counters, read under its lock.
struct queue_counters {
  uint16_t write_index;
  uint16_t read_index;
  uint16_t byte_count;
  uint8_t message_count;
};
queue_counters queue_counters_for_tests();
