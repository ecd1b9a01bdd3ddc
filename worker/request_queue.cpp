#include "worker/request_queue.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/os.h"
#include "platform/trace.h"

popped_request_record popped_request;

namespace {

// One byte of the ring always stays free, so equal indices mean "empty" and
// never "full"; at most 255 empty requests fit, which keeps message_count
// within 8 bits.
constexpr uint32_t RING_REFUSE_AT = 510;

struct request_queue {
  uint8_t ring[REQUEST_RING_SIZE] = {};
  uint16_t write_index = 0;
  uint16_t read_index = 0;
  uint16_t byte_count = 0;
  // Changed only under queue_mutex, after a whole request went in or out;
  // read without it as a cheap test by the single consumer.
  std::atomic<uint8_t> message_count{0};
  std::mutex queue_mutex;
  std::atomic<manual_event*> queue_event{nullptr};
};

// Never destroyed: the process exits without waiting for the worker, which
// may still hold the mutex or wait on the event at that moment.
request_queue& queue = *new request_queue;

uint16_t next_index(uint16_t index) {
  return static_cast<uint16_t>((index + 1u) % REQUEST_RING_SIZE);
}

// Mutex held.
void append_byte(uint8_t value) {
  queue.ring[queue.write_index] = value;
  queue.write_index = next_index(queue.write_index);
  ++queue.byte_count;
}

// Mutex held. False when nothing is held.
bool pop_byte(uint8_t* value) {
  if (queue.read_index == queue.write_index || queue.byte_count == 0) return false;
  *value = queue.ring[queue.read_index];
  queue.read_index = next_index(queue.read_index);
  --queue.byte_count;
  return true;
}

// Mutex held.
bool pop_request_bytes() {
  if (!pop_byte(&popped_request.type)) return false;
  if (!pop_byte(&popped_request.length)) return false;
  // The record cannot hold more; the type and length stay consumed.
  if (popped_request.length > REQUEST_DATA_MAX) return false;
  for (uint8_t i = 0; i < popped_request.length; ++i) {
    if (!pop_byte(&popped_request.data[i])) return false;
  }
  return true;
}

void create_queue_event() {
  if (queue.queue_event.load()) return;
  manual_event* event = new (std::nothrow) manual_event;
  if (!event) {
    trace_printf("CreateEvent failed (%d)\n", static_cast<int>(os_last_error()));
    std::exit(1);
  }
  queue.queue_event = event;
}

}  // namespace

void queue_init() {
  {
    std::lock_guard<std::mutex> hold(queue.queue_mutex);
    queue.write_index = 0;
    queue.byte_count = 0;
    queue.message_count = 0;
    queue.read_index = 0;
  }
  // Created once: a second init (tests) keeps the event a waiter may hold.
  create_queue_event();
}

int queue_post(uint8_t type, uint16_t length, const uint8_t* data) {
  // The length travels as one byte: a longer request would be read back
  // with a wrong length and every later request misframed.
  if (length > UINT8_MAX) return 1;
  if (length > 0 && !data) return 1;
  {
    std::lock_guard<std::mutex> hold(queue.queue_mutex);
    if (uint32_t{queue.byte_count} + uint32_t{length} >= RING_REFUSE_AT) return 1;
    append_byte(type);
    append_byte(static_cast<uint8_t>(length));
    for (uint16_t i = 0; i < length; ++i) append_byte(data[i]);
    queue.message_count.fetch_add(1);
  }
  // A pulse, never a set: only a worker waiting right now wakes; a busy one
  // finds the request on its next 400 ms time-out.
  if (manual_event* event = queue.queue_event.load()) event->pulse();
  return 0;
}

int post_request(uint8_t type) {
  return queue_post(type, 0, nullptr);
}

int post_request_u8(uint8_t type, uint8_t value) {
  return queue_post(type, 1, &value);
}

int post_request_u16(uint8_t type, uint16_t value) {
  const uint8_t data[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return queue_post(type, sizeof data, data);
}

int post_request_u16x2(uint8_t type, uint16_t a, uint16_t b) {
  const uint8_t data[4] = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                           static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
  return queue_post(type, sizeof data, data);
}

int post_quit() {
  return post_request(REQ_QUIT);
}

int queue_pop() {
  if (queue.message_count.load() == 0) return 1;
  std::lock_guard<std::mutex> hold(queue.queue_mutex);
  if (!pop_request_bytes()) return 1;
  queue.message_count.fetch_sub(1);
  return 0;
}

bool queue_has_messages() {
  return queue.message_count.load() != 0;
}

int queue_drain() {
  while (queue_has_messages()) {
    if (queue_pop() == 0) continue;
    // A failed pop leaves the count up and the ring misframed: a plain loop
    // would never end, and popping on would read data bytes as requests.
    // Draining means empty, so drop everything held.
    std::lock_guard<std::mutex> hold(queue.queue_mutex);
    queue.read_index = queue.write_index;
    queue.byte_count = 0;
    queue.message_count = 0;
  }
  return 0;
}

int queue_wait_for_post(uint32_t timeout_ms) {
  manual_event* event = queue.queue_event.load();
  if (!event) return QUEUE_WAIT_FAILED;
  return event->wait_ms(timeout_ms) ? QUEUE_WAIT_POSTED : QUEUE_WAIT_TIMED_OUT;
}

queue_counters queue_counters_for_tests() {
  std::lock_guard<std::mutex> hold(queue.queue_mutex);
  return {queue.write_index, queue.read_index, queue.byte_count, queue.message_count.load()};
}
