// The command channel, link timing and determinism under a seed.
#include <gtest/gtest.h>

#include <cmath>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

class SimCommand : public listening_session {
 protected:
  // Writes a command and waits for the idle status after it.
  std::vector<notification> command(const bytes& frame, size_t expected_notifications) {
    log.clear();
    outcome written = write(link.find(COMMAND_UUID), frame);
    EXPECT_TRUE(written.arrived);
    EXPECT_FALSE(written.error);
    return log.wait_for(expected_notifications);
  }
};

TEST_F(SimCommand, AnswersBusyThenResponseThenIdle) {
  open("command_busy_ms = 40\n");
  auto start = clock::now();
  auto seen = command({0x00, 0x00}, 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].uuid, STATUS_UUID);
  EXPECT_EQ(seen[0].value[0], 0x01);
  EXPECT_EQ(seen[1].uuid, RESPONSE_UUID);
  EXPECT_EQ(seen[1].value, (bytes{0x01, 0x05, 0x00, 0x2A}));
  EXPECT_EQ(seen[2].uuid, STATUS_UUID);
  EXPECT_EQ(seen[2].value[0], 0x00);
  EXPECT_GE(seen[1].when - start, 40ms);
  EXPECT_EQ(read(link.find(RESPONSE_UUID)).value, (bytes{0x01, 0x05, 0x00, 0x2A}));
  bytes written(2);
  ASSERT_EQ(warble_sim_write_count(COMMAND_UUID), 1);
  EXPECT_EQ(warble_sim_write_at(COMMAND_UUID, 0, written.data(), 2), 2);
  EXPECT_EQ(written, (bytes{0, 0}));
}

TEST_F(SimCommand, AnswersDateTimeAndConfiguredValues) {
  open("version = 02 00\nfw_date = 2023-01-02\nfw_time = 03:04:05\ncommand_busy_ms = 0\n");
  EXPECT_EQ(command({0x00, 0x00}, 3)[1].value, (bytes{0x02, 0x00}));
  EXPECT_EQ(text_of(command({0x00, 0x01}, 3)[1].value), "2023-01-02");
  EXPECT_EQ(text_of(command({0x00, 0x02, 0xAA}, 3)[1].value), "03:04:05");
}

TEST_F(SimCommand, UnknownCodesAndFailuresEndWithStatusFour) {
  open("command_busy_ms = 0\n");
  auto unknown = command({0x12, 0x34}, 2);
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_EQ(unknown[1].uuid, STATUS_UUID);
  EXPECT_EQ(unknown[1].value[0], 4);
  EXPECT_EQ(command({0x00}, 2)[1].value[0], 4);  // not even a code

  session other;
  ASSERT_TRUE(other.open("command_status = 4\ncommand_busy_ms = 0\n", {STATUS_UUID}));
  ASSERT_FALSE(write(other.link.find(COMMAND_UUID), {0, 0}).error);
  auto seen = other.log.wait_for(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].value[0], 4);
}

TEST_F(SimCommand, StatusStaysBusyThenAnnouncesIdle) {
  open("status_stays_busy_ms = 150\n");
  // The busy status goes out once the program listens.
  auto seen = log.wait_for(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value[0], 1);
  EXPECT_EQ(read(link.find(STATUS_UUID)).value[0], 1);
  seen = log.wait_for(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].value[0], 0);
  EXPECT_EQ(read(link.find(STATUS_UUID)).value[0], 0);
}

TEST_F(SimCommand, NonZeroInitialStatusIsAnnounced) {
  open("initial_status = 4\n");
  auto seen = log.wait_for(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value[0], 4);
}

// Only the second command is late: the first, due at once, ends long
// before the second's second, however loaded the machine.
TEST_F(SimCommand, TheConfiguredCommandKeepsTheDeviceBusyLonger) {
  open("command_busy_ms = 0\nlate_status_command = 2:1000\n");
  auto timed = [&](const bytes& frame) {
    auto start = clock::now();
    auto seen = command(frame, 3);
    EXPECT_EQ(seen.size(), 3u);
    return seen.empty() ? 0ms : seen.back().when - start;
  };
  EXPECT_LT(timed({0x00, 0x01}), 500ms);
  EXPECT_GE(timed({0x00, 0x02}), 1000ms);
}

TEST_F(SimCommand, ResponseAfterTheStatusComesLaterFromAnotherThread) {
  open("command_busy_ms = 0\nresponse_after_status_ms = 40\n");
  const auto start = clock::now();
  auto seen = command({0x00, 0x00}, 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].uuid, STATUS_UUID);
  EXPECT_EQ(seen[1].value[0], 0);
  EXPECT_EQ(seen[2].uuid, RESPONSE_UUID);
  EXPECT_EQ(seen[2].value, (bytes{0x01, 0x05, 0x00, 0x2A}));
  // 40 ms after the status was due, which is after the command was
  // written; how late each of the two is delivered is the machine's
  // business.
  EXPECT_GE(seen[2].when - start, 40ms);
  EXPECT_NE(seen[2].thread, seen[1].thread);
}

TEST(SimLinkTiming, WritesLandOnConnectionEventsAndRepliesOneIntervalLater) {
  session timed;
  ASSERT_TRUE(timed.open("connection_interval_ms = 7.5\n", {STATUS_UUID}));
  auto frames = transfer_frames(bytes(240 * 6, 0x5A));
  auto start = clock::now();
  for (const auto& value : frames) {
    ASSERT_EQ(timed.device.send(value), 0);
    std::this_thread::sleep_for(10ms);  // the program's pause after a packet
  }
  auto elapsed = clock::now() - start;
  for (int32_t i = 0; i < warble_sim_write_count(UPDATE_UUID); ++i)
    EXPECT_EQ(warble_sim_write_arrival_us(UPDATE_UUID, i) % 7500, 0) << i;
  // Each cycle: the write waits for the next event, the reply one more
  // interval, and the 10 ms pause spans ceil(10 / 7.5) events:
  // (1 + 2) x 7.5 = 22.5 ms at the least between arrivals; after the last
  // one, its reply and the pause.
  EXPECT_GE(elapsed, (frames.size() - 1) * std::chrono::microseconds(22500) + 17500us);
  for (int32_t i = 1; i < warble_sim_write_count(UPDATE_UUID); ++i)
    EXPECT_GE(warble_sim_write_arrival_us(UPDATE_UUID, i) -
                  warble_sim_write_arrival_us(UPDATE_UUID, i - 1),
              22500);
  EXPECT_TRUE(update_record().accepted);
}

TEST(SimLinkTiming, ZeroIntervalIsImmediateButAsynchronous) {
  session quick_link;
  ASSERT_TRUE(quick_link.open(""));
  pending done;
  warble_gattchar_write_async(quick_link.link.find(COMMAND_UUID), bytes{0, 0}.data(), 2, &done,
                              pending::on_done);
  outcome result = done.wait();
  ASSERT_TRUE(result.arrived);
  EXPECT_NE(result.thread, std::this_thread::get_id());
  // A write without response completes before the call returns.
  pending quick;
  warble_gattchar_write_without_resp_async(quick_link.link.find(UPDATE_UUID), bytes{0x7F}.data(), 1,
                                           &quick, pending::on_done);
  EXPECT_EQ(quick.calls(), 1);
  EXPECT_EQ(quick.wait().thread, std::this_thread::get_id());
}

std::vector<bytes> noise_of_a_run(const char* scenario) {
  session run;
  EXPECT_TRUE(run.open(scenario, {STATUS_UUID, RESPONSE_UUID, UPDATE_UUID}));
  EXPECT_EQ(run.device.send_all(transfer_frames(bytes(500, 1))), std::vector<int>(8, 0));
  std::vector<bytes> noise;
  for (const auto& entry : run.log.wait_for(24))
    if (entry.uuid != STATUS_UUID) noise.push_back(entry.value);
  return noise;
}

TEST(SimDeterminism, TheSameSeedGivesTheSameRun) {
  auto first = noise_of_a_run("seed = 11\nnoise_notifications = yes\n");
  auto second = noise_of_a_run("seed = 11\nnoise_notifications = yes\n");
  auto other = noise_of_a_run("seed = 12\nnoise_notifications = yes\n");
  EXPECT_EQ(first.size(), 16u);  // one on each of the two other channels per frame
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
}

}  // namespace
}  // namespace simtest
