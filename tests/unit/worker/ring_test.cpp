#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "worker/request_queue.h"

namespace {

// The ring as a plain list of requests and a byte tally.
struct ring_model {
  std::deque<std::vector<uint8_t>> held;  // type, then data
  uint32_t write_index = 0, read_index = 0, byte_count = 0;

  int post(const std::vector<uint8_t>& request) {
    const uint32_t length = static_cast<uint32_t>(request.size() - 1);
    if (byte_count + length >= 510) return 1;
    held.push_back(request);
    write_index = (write_index + length + 2) % 512;
    byte_count += length + 2;
    return 0;
  }

  int pop(std::vector<uint8_t>* request) {
    if (held.empty()) return 1;
    *request = held.front();
    held.pop_front();
    read_index = (read_index + static_cast<uint32_t>(request->size()) + 1) % 512;
    byte_count -= static_cast<uint32_t>(request->size()) + 1;
    return 0;
  }
};

std::vector<uint8_t> popped_bytes() {
  std::vector<uint8_t> bytes(1 + popped_request.length);
  bytes[0] = popped_request.type;
  for (size_t i = 0; i < popped_request.length; ++i) bytes[1 + i] = popped_request.data[i];
  return bytes;
}

int post_bytes(const std::vector<uint8_t>& request) {
  return queue_post(request[0], static_cast<uint16_t>(request.size() - 1), request.data() + 1);
}

// Posts and pops one request of `length` data bytes: moves both indices on by
// length + 2 on an empty ring.
void advance_empty_ring(uint16_t length) {
  const std::vector<uint8_t> data(length, 0xEE);
  ASSERT_EQ(queue_post(REQ_SCAN, length, data.data()), 0);
  ASSERT_EQ(queue_pop(), 0);
}

void fill_to(uint16_t byte_count) {
  const std::vector<uint8_t> data(REQUEST_DATA_MAX, 0x55);
  while (queue_counters_for_tests().byte_count + REQUEST_DATA_MAX + 2 <= byte_count)
    ASSERT_EQ(queue_post(REQ_SCAN, REQUEST_DATA_MAX, data.data()), 0);
  const uint16_t rest = byte_count - queue_counters_for_tests().byte_count;
  if (rest >= 2) {
    ASSERT_EQ(queue_post(REQ_SCAN, rest - 2, data.data()), 0);
  }
  ASSERT_EQ(queue_counters_for_tests().byte_count, byte_count);
}

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { queue_init(); }
};

TEST_F(RingTest, MatchesReferenceModelOverRandomPostsAndPops) {
  std::mt19937 random(20240611);
  ring_model model;
  int refused = 0, empty_pops = 0;
  for (int step = 0; step < 40000; ++step) {
    // Alternate filling and emptying phases so both the full and the empty
    // ring, and every wrap position, are visited.
    const bool filling = (step / 700) % 2 == 0;
    if (random() % 10 < (filling ? 8u : 3u)) {
      std::vector<uint8_t> request(1 + random() % (REQUEST_DATA_MAX + 1));
      for (auto& byte : request) byte = static_cast<uint8_t>(random());
      const int expected = model.post(request);
      ASSERT_EQ(post_bytes(request), expected) << "step " << step;
      refused += expected;
    } else {
      std::vector<uint8_t> expected_request;
      const int expected = model.pop(&expected_request);
      ASSERT_EQ(queue_pop(), expected) << "step " << step;
      if (expected == 0) {
        ASSERT_EQ(popped_bytes(), expected_request) << "step " << step;
      }
      empty_pops += expected;
    }
    const queue_counters counters = queue_counters_for_tests();
    ASSERT_EQ(counters.write_index, model.write_index);
    ASSERT_EQ(counters.read_index, model.read_index);
    ASSERT_EQ(counters.byte_count, model.byte_count);
    ASSERT_EQ(counters.message_count, model.held.size());
    ASSERT_EQ(queue_has_messages(), !model.held.empty());
  }
  EXPECT_GT(refused, 100);
  EXPECT_GT(empty_pops, 100);
}

TEST_F(RingTest, SpaceTestKeepsOneByteFree) {
  for (int i = 0; i < 255; ++i) ASSERT_EQ(post_request(REQ_SCAN), 0) << i;
  EXPECT_EQ(post_request(REQ_SCAN), 1);
  EXPECT_EQ(queue_counters_for_tests().byte_count, 510);
  EXPECT_EQ(queue_counters_for_tests().message_count, 255);

  queue_init();
  fill_to(505);
  EXPECT_EQ(post_request_u16x2(REQ_SCAN, 1, 2), 0);
  EXPECT_EQ(queue_counters_for_tests().byte_count, 511);

  queue_init();
  fill_to(506);
  const queue_counters before = queue_counters_for_tests();
  EXPECT_EQ(post_request_u16x2(REQ_SCAN, 1, 2), 1);
  const queue_counters after = queue_counters_for_tests();
  EXPECT_EQ(after.byte_count, 506);
  EXPECT_EQ(after.write_index, before.write_index);
  EXPECT_EQ(after.message_count, before.message_count);
}

TEST_F(RingTest, RequestStraddlingTheEndPopsIntact) {
  for (int i = 0; i < 8; ++i) advance_empty_ring(60);  // 496 bytes
  advance_empty_ring(13);                              // 511
  ASSERT_EQ(queue_counters_for_tests().write_index, 511);

  ASSERT_EQ(post_request_u16x2(REQ_UPDATE_FROM_FILE, 0x1234, 0xABCD), 0);
  EXPECT_EQ(queue_counters_for_tests().write_index, 1 + 4);
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_bytes(), (std::vector<uint8_t>{REQ_UPDATE_FROM_FILE, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(queue_counters_for_tests().byte_count, 0);
}

TEST_F(RingTest, PostVariantsAreBigEndian) {
  ASSERT_EQ(post_request_u8(7, 0x9A), 0);
  ASSERT_EQ(post_request_u16(8, 0xBEEF), 0);
  ASSERT_EQ(post_quit(), 0);
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_bytes(), (std::vector<uint8_t>{7, 0x9A}));
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_bytes(), (std::vector<uint8_t>{8, 0xBE, 0xEF}));
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_bytes(), (std::vector<uint8_t>{REQ_QUIT}));
  EXPECT_EQ(queue_pop(), 1);
}

TEST_F(RingTest, PopRefusesMoreThanTheRecordHolds) {
  const std::vector<uint8_t> data(REQUEST_DATA_MAX + 1, 0x42);
  ASSERT_EQ(queue_post(REQ_SCAN, REQUEST_DATA_MAX, data.data()), 0);
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_request.length, REQUEST_DATA_MAX);

  queue_init();
  ASSERT_EQ(queue_post(REQ_SCAN, REQUEST_DATA_MAX + 1, data.data()), 0);
  EXPECT_EQ(queue_pop(), 1);
  // Type and length are consumed; the request still counts.
  const queue_counters counters = queue_counters_for_tests();
  EXPECT_EQ(counters.read_index, 2);
  EXPECT_EQ(counters.byte_count, REQUEST_DATA_MAX + 1);
  EXPECT_EQ(counters.message_count, 1);
}

TEST_F(RingTest, DrainEndsEvenOnAnUnpoppableRequest) {
  const std::vector<uint8_t> data(REQUEST_DATA_MAX + 1, 0x42);
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  ASSERT_EQ(queue_post(REQ_SCAN, REQUEST_DATA_MAX + 1, data.data()), 0);
  ASSERT_EQ(post_request(REQ_CONNECT), 0);
  EXPECT_EQ(queue_drain(), 0);
  EXPECT_FALSE(queue_has_messages());
  const queue_counters counters = queue_counters_for_tests();
  EXPECT_EQ(counters.byte_count, 0);
  EXPECT_EQ(counters.read_index, counters.write_index);
  // The ring is framed again: the next request comes back as posted.
  ASSERT_EQ(post_request_u8(REQ_DISCONNECT, 3), 0);
  ASSERT_EQ(queue_pop(), 0);
  EXPECT_EQ(popped_bytes(), (std::vector<uint8_t>{REQ_DISCONNECT, 3}));
}

TEST_F(RingTest, RefusesRequestsItCannotFrame) {
  const std::vector<uint8_t> data(300, 1);
  EXPECT_EQ(queue_post(REQ_SCAN, 256, data.data()), 1);
  EXPECT_EQ(queue_post(REQ_SCAN, 0xFFFF, data.data()), 1);
  EXPECT_EQ(queue_post(REQ_SCAN, 4, nullptr), 1);
  EXPECT_EQ(queue_counters_for_tests().byte_count, 0);
  EXPECT_EQ(queue_post(REQ_SCAN, 0, nullptr), 0);
}

}  // namespace
