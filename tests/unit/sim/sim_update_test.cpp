// The update channel: a whole transfer, every violation of the protocol and
// the faults of the update replies.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

class SimUpdate : public listening_session {};

bytes image_of(size_t size) {
  bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return image;
}

TEST_F(SimUpdate, AcceptsAWholeTransferAndKeepsTheImage) {
  open();
  bytes image = image_of(1000);
  auto frames = transfer_frames(image);
  EXPECT_EQ(device.send_all(frames), std::vector<int>(frames.size(), 0));
  WarbleSimUpdateRecord record = update_record();
  EXPECT_STREQ(record.verdict, "accepted");
  EXPECT_EQ(record.accepted, 1);
  EXPECT_EQ(record.finished, 1);
  EXPECT_EQ(record.frames, 10);
  EXPECT_EQ(record.packets, 5);
  EXPECT_EQ(record.announced_length, 1000u);
  EXPECT_EQ(record.image_size, 1000u);
  EXPECT_EQ(record.computed_crc, jamcrc(image));
  EXPECT_EQ(record.received_crc, jamcrc(image));
  EXPECT_EQ(record.frames_after_failure, 0);
  bytes received(1000);
  EXPECT_EQ(warble_sim_image(received.data(), 1000), 1000u);
  EXPECT_EQ(received, image);
  EXPECT_EQ(warble_sim_write_count(UPDATE_UUID), 10);
  // Replies carry the code they answer in byte 1.
  EXPECT_EQ(log.of(STATUS_UUID).back().value, (bytes{0, 0x8F}));
}

TEST_F(SimUpdate, ComputesJamcrcCheckValues) {
  open();
  bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(jamcrc(digits), 0x340BC6D9u);
  EXPECT_EQ(device.send_all(transfer_frames(digits)), std::vector<int>(6, 0));
  EXPECT_EQ(update_record().computed_crc, 0x340BC6D9u);
  EXPECT_EQ(device.send_all(transfer_frames({})), std::vector<int>(5, 0));
  WarbleSimUpdateRecord empty = update_record();
  EXPECT_EQ(empty.computed_crc, 0xFFFFFFFFu);
  EXPECT_EQ(empty.accepted, 1);
  EXPECT_EQ(empty.transfers, 2);  // a new start frame began a new record
}

struct violation {
  const char* name;
  std::vector<bytes> frames;
  const char* verdict_part;
};

TEST_F(SimUpdate, RefusesEveryViolationWithItsReason) {
  bytes image = image_of(300);
  auto good = transfer_frames(image);  // start B1 B2 B4 B4 B7 8F
  auto without = [&](size_t index) {
    auto frames = good;
    frames.erase(frames.begin() + index);
    return frames;
  };
  auto replaced = [&](size_t index, bytes value) {
    auto frames = good;
    frames[index] = value;
    return frames;
  };
  bytes bad_length = good[1];
  bad_length[2] = 3;
  std::vector<violation> cases = {
      {"wrong start token", replaced(0, frame(0x7F, bytes(8, 0))), "wrong start token"},
      {"missing B1", without(1), "out of order: expected the 0xB1 frame"},
      {"packet before the length", without(2), "out of order: expected the length"},
      {"packet past the length", replaced(2, frame(0xB2, be32(299))), "packet past the announced"},
      {"CRC before the image", without(4), "CRC before the whole image (240 of 300 bytes)"},
      {"CRC mismatch", replaced(5, frame(0xB7, be32(jamcrc(image) ^ 1))), "CRC mismatch"},
      {"finish before the CRC", without(5), "out of order: expected a packet or the CRC"},
      {"wrong finish token", replaced(6, frame(0x8F, START_TOKEN)), "wrong finish token"},
      {"length field", replaced(1, bad_length), "length field 3 but 2 parameter bytes"},
      {"short frame", replaced(1, {0xB1, 0}), "shorter than a header"},
      {"empty packet", replaced(3, frame(0xB4, {})), "empty packet"},
      {"oversized packet", replaced(3, frame(0xB4, bytes(241, 0))), "more than 240"},
      {"unknown code", replaced(1, frame(0x55, {})), "unknown update command"},
  };
  open();
  for (const auto& test : cases) {
    std::vector<int> statuses = device.send_all(test.frames);
    EXPECT_EQ(statuses.back(), 5) << test.name;
    WarbleSimUpdateRecord record = update_record();
    EXPECT_EQ(record.accepted, 0) << test.name;
    EXPECT_NE(std::string(record.verdict).find(test.verdict_part), std::string::npos)
        << test.name << ": " << record.verdict;
  }
}

TEST_F(SimUpdate, EverythingAfterARefusalIsRefusedAndCounted) {
  open();
  auto frames = transfer_frames(image_of(500));
  frames.insert(frames.begin() + 1, frame(0xB2, be32(1)));  // out of order
  for (const auto& value : frames) device.send(value);
  WarbleSimUpdateRecord record = update_record();
  EXPECT_EQ(record.first_failed_frame, 2);
  EXPECT_EQ(record.frames_after_failure, static_cast<int32_t>(frames.size()) - 2);
  EXPECT_EQ(record.accepted, 0);
  EXPECT_NE(std::string(record.verdict).find("frame 2 (0xB2) refused"), std::string::npos);
}

TEST_F(SimUpdate, RefusesTheConfiguredFrameAndCode) {
  open("refuse_frame = 3\n");
  EXPECT_EQ(device.send_all(transfer_frames(image_of(10))), (std::vector<int>{0, 0, 5}));
  EXPECT_EQ(update_record().first_failed_frame, 3);

  session other;
  ASSERT_TRUE(other.open("refuse_code = 0xB7\n", {STATUS_UUID}));
  EXPECT_EQ(other.device.send_all(transfer_frames(image_of(10))),
            (std::vector<int>{0, 0, 0, 0, 5}));
  EXPECT_NE(std::string(update_record().verdict).find("(0xB7) refused"), std::string::npos);
}

TEST_F(SimUpdate, NeverRepliesToTheConfiguredFrame) {
  open("no_reply_frame = 2\n");
  auto frames = transfer_frames(image_of(10));
  EXPECT_EQ(device.send(frames[0]), 0);
  EXPECT_EQ(device.send(frames[1], 100ms), -1);
  EXPECT_EQ(device.send(frames[2]), 0);  // the device took frame 2 all the same
  WarbleSimUpdateRecord record = update_record();
  EXPECT_EQ(record.first_failed_frame, 2);
  EXPECT_EQ(record.frames_after_failure, 1);
}

TEST_F(SimUpdate, RepliesLate) {
  open("late_reply_frame = 2:120\nreply_delay_ms = 30\n");
  auto frames = transfer_frames(image_of(10));
  auto timed = [&](const bytes& value) {
    auto start = clock::now();
    EXPECT_EQ(device.send(value), 0);
    return clock::now() - start;
  };
  EXPECT_GE(timed(frames[0]), 30ms);
  EXPECT_GE(timed(frames[1]), 120ms);
}

TEST_F(SimUpdate, DropsTheLinkAtTheConfiguredFrame) {
  open("drop_link_frame = 4\n");
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  auto frames = transfer_frames(image_of(10));
  for (size_t i = 0; i < 3; ++i) ASSERT_EQ(device.send(frames[i]), 0);
  EXPECT_EQ(device.send(frames[3], 200ms), -1);
  ASSERT_TRUE(down.wait().arrived);
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
  EXPECT_EQ(link.find(UPDATE_UUID), nullptr);
  WarbleSimUpdateRecord record = update_record();
  EXPECT_STREQ(record.verdict, "link dropped at frame 4 (0xB4)");
  EXPECT_EQ(record.accepted, 0);
}

TEST_F(SimUpdate, ADisconnectMidTransferLeavesItUnacceptedUntilANewOne) {
  open();
  auto frames = transfer_frames(image_of(500));
  for (size_t i = 0; i < 4; ++i) ASSERT_EQ(device.send(frames[i]), 0);
  warble_gatt_disconnect(link.gatt);
  WarbleSimUpdateRecord record = update_record();
  EXPECT_STREQ(record.verdict, "link down before the finish");
  EXPECT_EQ(record.accepted, 0);
  ASSERT_FALSE(link.connect().error);
  ASSERT_TRUE(link.subscribe(log, {STATUS_UUID}));
  EXPECT_EQ(device.send(frames[4]), 5);  // the old transfer is over
  EXPECT_EQ(device.send_all(frames), std::vector<int>(frames.size(), 0));
  EXPECT_STREQ(update_record().verdict, "accepted");
}

TEST_F(SimUpdate, StaysBusyRefusesFrames) {
  open("status_stays_busy_ms = -1\n");
  ASSERT_EQ(log.wait_for(1).size(), 1u);
  EXPECT_EQ(device.send(transfer_frames({})[0]), 5);
  EXPECT_NE(std::string(update_record().verdict).find("busy"), std::string::npos);
}

TEST_F(SimUpdate, NoiseAndDuplicatesComeBeforeAndWithTheReplies) {
  open("noise_notifications = yes\nduplicate_notifications = yes\n");
  ASSERT_EQ(device.send(transfer_frames({})[0]), 0);
  auto seen = log.wait_for(6);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].uuid, RESPONSE_UUID);
  EXPECT_EQ(seen[0].value, seen[1].value);
  EXPECT_EQ(seen[2].uuid, UPDATE_UUID);
  EXPECT_EQ(seen[4].uuid, STATUS_UUID);
  EXPECT_EQ(seen[5].value, (bytes{0, 0x7F}));
}

TEST_F(SimUpdate, StatusRepliesOfFixedSizes) {
  open("notification_size = 255\n");
  ASSERT_EQ(device.send(transfer_frames({})[0]), 0);
  bytes padded = log.of(STATUS_UUID).back().value;
  ASSERT_EQ(padded.size(), 255u);
  EXPECT_EQ(padded[0], 0);
  EXPECT_EQ(padded[254], 0xA5);

  session other;
  ASSERT_TRUE(other.open("notification_size = 0\n", {STATUS_UUID}));
  EXPECT_EQ(other.device.send(transfer_frames({})[0]), -2);  // an empty reply
}

// A refusal before the finish's reply is not one after the finish; the one
// after it is, and becomes what a read of the status returns.
TEST_F(SimUpdate, SendsUnpromptedStatusesAroundTheReplies) {
  open(
      "unprompted_status = 1:before:1\n"
      "unprompted_status = 6:before:5\n"
      "unprompted_status = 6:after:5:40\n");
  auto frames = transfer_frames(image_of(10));  // the finish is frame 6
  for (size_t i = 0; i + 1 < frames.size(); ++i) ASSERT_EQ(device.answer(frames[i]), 0);
  const auto finish_written = clock::now();
  ASSERT_EQ(device.answer(frames.back()), 0);
  log.wait_for(9);
  auto seen = log.of(STATUS_UUID);
  std::vector<bytes> statuses;
  for (const auto& entry : seen) statuses.push_back(entry.value);
  const std::vector<bytes> expected = {{1, 0},    {0, 0x7F}, {0, 0xB1}, {0, 0xB2}, {0, 0xB4},
                                       {0, 0xB7}, {5, 0},    {0, 0x8F}, {5, 0}};
  ASSERT_EQ(statuses, expected);
  // 40 ms after the reply was due, which is after the finish was written;
  // how late each of the two is delivered is the machine's business.
  EXPECT_GE(seen[8].when - finish_written, 40ms);
  EXPECT_EQ(read(link.find(STATUS_UUID)).value, (bytes{5, 0}));
  WarbleSimUpdateRecord record = update_record();
  EXPECT_STREQ(record.verdict, "accepted");
  EXPECT_EQ(record.refusals_after_finish, 1);
  EXPECT_TRUE(eventually([] { return update_record().status_notifications == 9; }));
}

TEST_F(SimUpdate, LateDuplicatesComeJustAfterTheNextFrame) {
  open("late_duplicate_replies = yes\n");
  auto frames = transfer_frames({});  // 7F B1 B2 B7 8F
  ASSERT_EQ(device.answer(frames[0]), 0);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(log.of(STATUS_UUID).size(), 1u);
  ASSERT_EQ(device.answer(frames[1]), 0);
  auto seen = log.of(STATUS_UUID);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].value, (bytes{0, 0x7F}));
  EXPECT_EQ(seen[2].value, (bytes{0, 0xB1}));
  for (size_t i = 2; i < frames.size(); ++i) ASSERT_EQ(device.answer(frames[i]), 0);
  // The finish's reply has no next frame: never a second time.
  std::this_thread::sleep_for(30ms);
  seen = log.of(STATUS_UUID);
  ASSERT_EQ(seen.size(), 2 * frames.size() - 1);
  EXPECT_EQ(seen[7].value, (bytes{0, 0xB7}));
  EXPECT_EQ(seen[8].value, (bytes{0, 0x8F}));
  EXPECT_TRUE(update_record().accepted);
}

// A status handler that holds up its refusals until told to let them go.
struct held_refusals {
  std::mutex lock;
  std::condition_variable changed;
  bool released = false;
  int refusals = 0;

  static void on_status(void* context, WarbleGattChar*, const uint8_t* value, uint8_t length) {
    auto* self = static_cast<held_refusals*>(context);
    if (length == 0 || value[0] != sim::UPD_STATUS_REJECTED) return;
    std::unique_lock<std::mutex> held(self->lock);
    ++self->refusals;
    self->changed.notify_all();
    self->changed.wait_for(held, 10s, [&] { return self->released; });
  }
};

TEST(SimUpdateRecord, CountsFramesWrittenOnceARefusalHadReachedTheProgram) {
  session program;
  ASSERT_TRUE(program.open("refuse_frame = 2\n"));
  static held_refusals gate;
  WarbleGattChar* status = program.link.find(STATUS_UUID);
  pending enabled;
  warble_gattchar_enable_notifications_async(status, &enabled, pending::on_done);
  ASSERT_FALSE(enabled.wait().error);
  warble_gattchar_on_notification_received(status, &gate, held_refusals::on_status);
  auto frames = transfer_frames(image_of(10));
  auto send = [&](size_t index) {
    EXPECT_FALSE(write(program.link.find(UPDATE_UUID), frames[index], false).error);
  };
  auto status_notifications = [](int32_t count) {
    return eventually([=] { return update_record().status_notifications >= count; });
  };
  send(0);
  ASSERT_TRUE(status_notifications(1));
  send(1);  // refused; its handler call does not return yet
  ASSERT_TRUE(eventually([] {
    std::lock_guard<std::mutex> guard(gate.lock);
    return gate.refusals == 1;
  }));
  send(2);  // written while the refusal was still on its way to the program
  // A program that tells of its looks is judged by them: this one began
  // while the refusal was on its way, however late its write comes.
  warble_sim_program_looks(program.link.gatt);
  {
    std::lock_guard<std::mutex> guard(gate.lock);
    gate.released = true;
  }
  gate.changed.notify_all();
  ASSERT_TRUE(status_notifications(2));
  send(3);
  send(4);  // told of no look: its write call is when it was decided
  warble_sim_program_looks(program.link.gatt);
  send(5);
  ASSERT_TRUE(status_notifications(6));
  WarbleSimUpdateRecord record = update_record();
  EXPECT_EQ(record.frames_after_failure, 4);
  EXPECT_EQ(record.frames_after_refusal_seen, 2);
  EXPECT_EQ(record.refusals_after_finish, 0);
  EXPECT_EQ(record.status_notifications, 6);

  std::string path = ::testing::TempDir() + "sim_refusal_record.txt";
  ASSERT_EQ(warble_sim_write_record(path.c_str()), 0);
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  for (const char* line : {"frames_after_refusal_seen = 2\n", "refusals_after_finish = 0\n",
                           "status_notifications = 6\n"})
    EXPECT_NE(text.str().find(line), std::string::npos) << line;
  std::remove(path.c_str());
  std::remove((path + ".image").c_str());
}

TEST_F(SimUpdate, WritesTheRecordFile) {
  open();
  device.send_all(transfer_frames(image_of(20)));
  std::string path = ::testing::TempDir() + "sim_record.txt";
  ASSERT_EQ(warble_sim_write_record(path.c_str()), 0);
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("verdict = accepted\n"), std::string::npos);
  EXPECT_NE(text.str().find("image_size = 20\n"), std::string::npos);
  EXPECT_NE(text.str().find("control_frame = B1 00 02 00 00\n"), std::string::npos);
  std::ifstream image_file(path + ".image", std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(image_file)),
                                   std::istreambuf_iterator<char>());
  EXPECT_EQ(image, image_of(20));
  std::remove(path.c_str());
  std::remove((path + ".image").c_str());
}

}  // namespace
}  // namespace simtest
