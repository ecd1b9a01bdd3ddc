#include "ble/gatt_sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <numeric>
#include <regex>
#include <vector>

#include "platform/clock.h"
#include "tests/support/trace_capture.h"
#include "tests/unit/ble/fake_warble.h"

using fake_warble::call;
using fake_warble::call_record;
using fake_warble::fire_done;
using fake_warble::fire_notification;
using fake_warble::fire_read;
using fake_warble::last;
using fake_warble::on_next;
using bytes = std::vector<uint8_t>;

namespace {

constexpr const char* STATUS_UUID = "fabbe004-4910-473c-be46-960948c2f59c";
constexpr const char* RESPONSE_UUID = "fabbe006-4910-473c-be46-960948c2f59c";
constexpr const char* UPDATE_UUID = "fabbe008-4910-473c-be46-960948c2f59c";
constexpr const char* INFO_UUID = "00002a26-0000-1000-8000-00805f9b34fb";
constexpr const char* ABSENT_UUID = "00002a29-0000-1000-8000-00805f9b34fb";

// In the time-out cases the 10 s operation time-out passes in 10 ms.
constexpr uint32_t FAST = 1000;

WarbleGatt* const CONNECTION = fake_warble::connection();
WarbleGattChar* const STATUS_CHAR = fake_warble::characteristic(0);

class GattSync : public ::testing::Test {
 protected:
  void SetUp() override {
    set_time_compression_for_tests(1);
    fake_warble::install();
    gatt_reset_for_tests();
    fake_warble::add_characteristic(STATUS_UUID, STATUS_CHAR);
    fake_warble::add_characteristic(RESPONSE_UUID, fake_warble::characteristic(1));
    fake_warble::add_characteristic(UPDATE_UUID, fake_warble::characteristic(2));
    fake_warble::add_characteristic(INFO_UUID, fake_warble::characteristic(3));
  }
  void TearDown() override { set_time_compression_for_tests(1); }

  trace_capture trace;
};

void complete_at_once(call kind, const char* error = nullptr) {
  on_next(kind, [error](const call_record& r) { fire_done(r, error); });
}

// Runs an operation on its own thread, as the worker does, while the test
// plays the library.
template <typename Operation>
auto start(Operation operation) {
  return std::async(std::launch::async, operation);
}

template <typename T>
T finish(std::future<T>& result, std::chrono::seconds limit = std::chrono::seconds(30)) {
  EXPECT_EQ(result.wait_for(limit), std::future_status::ready) << "still blocked";
  return result.get();
}

call_record subscribe(notify_channel& channel, const char* uuid) {
  complete_at_once(call::enable);
  EXPECT_EQ(notify_enable(CONNECTION, uuid, &channel), 0);
  return last(call::on_notification);
}

void unsubscribe(notify_channel& channel) {
  complete_at_once(call::disable);
  EXPECT_EQ(notify_disable(&channel), 0);
}

bool matches(const std::string& text, const char* pattern) {
  return std::regex_match(text, std::regex(pattern));
}

TEST_F(GattSync, ConnectResults) {
  complete_at_once(call::connect);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 0);
  EXPECT_EQ(last(call::connect).gatt, CONNECTION);

  fake_warble::set_connected(false);  // completed without error, yet not connected
  complete_at_once(call::connect);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 1);

  auto result = start([] { return gatt_connect_sync(CONNECTION); });
  ASSERT_TRUE(fake_warble::await_calls(call::connect, 3));
  fire_done(last(call::connect), "link refused");
  EXPECT_EQ(finish(result), 1);
  EXPECT_EQ(trace.text(), "Error: link refused\n");

  set_time_compression_for_tests(FAST);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 2);
  // Its completion, turning up during the next attempt, is not that attempt's.
  const call_record late = last(call::connect);
  fake_warble::set_connected(true);
  on_next(call::connect, [late](const call_record&) { fire_done(late); });
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 2);
}

TEST_F(GattSync, DisconnectWithNothingToDoCallsNothing) {
  EXPECT_EQ(gatt_disconnect_sync(nullptr), 0);
  fake_warble::set_connected(false);
  EXPECT_EQ(gatt_disconnect_sync(CONNECTION), 0);
  EXPECT_EQ(fake_warble::count(call::on_disconnect), 0u);
  EXPECT_EQ(fake_warble::count(call::disconnect), 0u);
}

TEST_F(GattSync, DisconnectWaitsForTheLinkToGo) {
  // As on Windows: the handler runs before warble_gatt_disconnect returns.
  on_next(call::disconnect,
          [](const call_record&) { fake_warble::fire_link_down(last(call::on_disconnect)); });
  EXPECT_EQ(gatt_disconnect_sync(CONNECTION), 0);
  EXPECT_EQ(trace.text(), "GATT disconnected\n");
  EXPECT_EQ(fake_warble::count(call::disconnect), 1u);

  // Reported down already: nothing more to ask the library.
  EXPECT_EQ(gatt_disconnect_sync(CONNECTION), 0);
  EXPECT_EQ(fake_warble::count(call::disconnect), 1u);

  // A link the library never reports down.
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  set_time_compression_for_tests(FAST);
  EXPECT_EQ(gatt_disconnect_sync(CONNECTION), 2);
}

// Handles die with their link: once the library said the link is down, a
// wait on it ends at once and no call is made on its characteristics.
TEST_F(GattSync, ALinkThatDropsEndsTheWaitAndNoCallIsMadeOnItAfterwards) {
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  const call_record watch = last(call::on_disconnect);
  EXPECT_EQ(watch.gatt, CONNECTION);
  subscribe(status_channel, STATUS_UUID);
  const uint32_t since = notify_snapshot(status_channel).sequence;

  uint8_t value[4];
  auto read = start([&value] { return gatt_read_sync(CONNECTION, INFO_UUID, value, 4); });
  auto reply = start([since] { return notify_wait_for_new(&status_channel, since, 60000); });
  ASSERT_TRUE(fake_warble::await_calls(call::read, 1));
  fake_warble::fire_link_down(watch);
  EXPECT_EQ(finish(read, std::chrono::seconds(5)), -1) << "waited for the time-out";
  EXPECT_EQ(finish(reply, std::chrono::seconds(5)), GATT_LINK_LOST);
  EXPECT_TRUE(gatt_link_lost(CONNECTION));

  const size_t calls = fake_warble::count(call::read) + fake_warble::count(call::write) +
                       fake_warble::count(call::write_no_resp) + fake_warble::count(call::enable) +
                       fake_warble::count(call::disable);
  const uint8_t frame[] = {0x7F};
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, 4), -1);
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, 1), 1);
  EXPECT_EQ(gatt_write_no_resp(CONNECTION, UPDATE_UUID, frame, 1), 1);
  EXPECT_EQ(notify_enable(CONNECTION, RESPONSE_UUID, &response_channel), 1);
  EXPECT_EQ(notify_disable(&status_channel), 1);
  EXPECT_EQ(gatt_disconnect_sync(CONNECTION), 0);
  EXPECT_EQ(fake_warble::count(call::read) + fake_warble::count(call::write) +
                fake_warble::count(call::write_no_resp) + fake_warble::count(call::enable) +
                fake_warble::count(call::disable) + fake_warble::count(call::disconnect),
            calls);

  // A later connection starts with a link of its own; the old handler,
  // turning up late, says nothing about it.
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  fake_warble::fire_link_down(watch);
  EXPECT_FALSE(gatt_link_lost(CONNECTION));
}

TEST_F(GattSync, AFailedCallAfterWhichTheLibrarySaysTheLinkIsDownStopsLaterCalls) {
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  on_next(call::read, [](const call_record& r) {
    fake_warble::set_connected(false);
    fire_read(r, {}, "Connection lost");
  });
  uint8_t value[4];
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
  EXPECT_TRUE(gatt_link_lost(CONNECTION));
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
  EXPECT_EQ(fake_warble::count(call::read), 1u);
}

// The completion handler asks the library nothing about its connection:
// by the time it runs, the wait may have expired and the worker deleted it.
// Two connection objects, as when one is being released while another is
// made: each link is watched on its own, and a deleted one is forgotten.
TEST_F(GattSync, EachConnectionsLinkIsWatchedOnItsOwn) {
  WarbleGatt* const other = reinterpret_cast<WarbleGatt*>(fake_warble::characteristic(9));
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  const call_record first_watch = last(call::on_disconnect);
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(other), 0);
  const call_record second_watch = last(call::on_disconnect);

  fake_warble::fire_link_down(first_watch);
  EXPECT_TRUE(gatt_link_lost(CONNECTION)) << "the first link's disconnect went unheard";
  EXPECT_FALSE(gatt_link_lost(other));
  fake_warble::fire_link_down(second_watch);
  EXPECT_TRUE(gatt_link_lost(other));

  // Deleted, the object may come back for a new connection: nothing of the
  // old link's state carries over, and the old handler says nothing.
  gatt_delete_if_set(CONNECTION);
  EXPECT_FALSE(gatt_link_lost(CONNECTION));
  complete_at_once(call::connect);
  ASSERT_EQ(gatt_connect_sync(CONNECTION), 0);
  fake_warble::fire_link_down(first_watch);
  EXPECT_FALSE(gatt_link_lost(CONNECTION));
}

// A connect that went unanswered may still bring a link up later: the
// attempt is called off with a disconnect, whatever the library says of
// the link, and a link that did come up is waited for until it is down.
TEST_F(GattSync, AnUnansweredConnectIsCalledOffBeforeTheObjectGoes) {
  set_time_compression_for_tests(FAST);
  fake_warble::set_connected(false);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 2);
  EXPECT_EQ(gatt_cancel_connect_sync(CONNECTION), 0);
  EXPECT_EQ(fake_warble::count(call::disconnect), 1u);

  fake_warble::set_connected(true);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 2);
  on_next(call::disconnect,
          [](const call_record&) { fake_warble::fire_link_down(last(call::on_disconnect)); });
  EXPECT_EQ(gatt_cancel_connect_sync(CONNECTION), 0);
  EXPECT_EQ(fake_warble::count(call::disconnect), 2u);
  EXPECT_EQ(gatt_connect_sync(CONNECTION), 2);
  EXPECT_EQ(gatt_cancel_connect_sync(CONNECTION), 2) << "the link was never reported down";
}

TEST_F(GattSync, TheConnectCompletionLeavesTheLinkQuestionToTheWaitingOperation) {
  auto connected = start([] { return gatt_connect_sync(CONNECTION); });
  ASSERT_TRUE(fake_warble::await_calls(call::connect, 1));
  fire_done(last(call::connect));  // on this thread, as a library thread would
  EXPECT_EQ(finish(connected), 0);
  ASSERT_GE(fake_warble::count(call::is_connected), 1u);
  for (size_t i = 0; i < fake_warble::count(call::is_connected); ++i)
    EXPECT_NE(fake_warble::nth(call::is_connected, i).thread, std::this_thread::get_id());
}

TEST_F(GattSync, DeleteOnlyASetConnection) {
  gatt_delete_if_set(nullptr);
  EXPECT_EQ(fake_warble::count(call::delete_gatt), 0u);
  gatt_delete_if_set(CONNECTION);
  EXPECT_EQ(last(call::delete_gatt).gatt, CONNECTION);
}

TEST_F(GattSync, ReadCopiesAtMostTheMaximumAndReturnsTheFullLength) {
  on_next(call::read, [](const call_record& r) { fire_read(r, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}); });
  uint8_t value[6];
  memset(value, 0xEE, sizeof value);
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, 4), 10);
  EXPECT_EQ(bytes(value, value + 6), bytes({1, 2, 3, 4, 0xEE, 0xEE}));
  EXPECT_EQ(trace.text(), "\nReceived read answer 10 bytes:");

  on_next(call::read, [](const call_record& r) { fire_read(r, {}); });
  memset(value, 0xEE, sizeof value);
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), 0);
  EXPECT_EQ(bytes(value, value + 6), bytes(6, 0xEE));

  bytes full(255);
  std::iota(full.begin(), full.end(), 0);
  uint8_t big[255];
  auto result = start([&big] { return gatt_read_sync(CONNECTION, INFO_UUID, big, sizeof big); });
  ASSERT_TRUE(fake_warble::await_calls(call::read, 3));
  fire_read(last(call::read), full);
  EXPECT_EQ(finish(result), 255);
  EXPECT_EQ(bytes(big, big + 255), full);
}

TEST_F(GattSync, ReadFailures) {
  uint8_t value[4];
  EXPECT_EQ(gatt_read_sync(CONNECTION, ABSENT_UUID, value, sizeof value), -1);
  EXPECT_EQ(trace.text(), "Characteristic not found\n");
  EXPECT_EQ(fake_warble::count(call::read), 0u);

  trace.clear();
  on_next(call::read, [](const call_record& r) { fire_read(r, {1}, "gatt error 5"); });
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
  EXPECT_EQ(trace.text(), "Error: gatt error 5\n");

  set_time_compression_for_tests(FAST);
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
}

TEST_F(GattSync, ADoubleCompletionKeepsTheFirstAnswerAndLeaksIntoNoLaterCall) {
  on_next(call::read, [](const call_record& r) {
    fire_read(r, {7, 8, 9});
    fire_read(r, {}, "duplicate");
  });
  uint8_t value[4] = {};
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), 3);
  EXPECT_EQ(bytes(value, value + 3), bytes({7, 8, 9}));
  EXPECT_TRUE(trace.contains("Error: duplicate\n"));

  const call_record finished = last(call::read);
  set_time_compression_for_tests(FAST);
  on_next(call::read, [finished](const call_record&) { fire_read(finished, {1}); });
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
}

TEST_F(GattSync, WriteResultsAndTimeStamps) {
  const uint8_t frame[] = {0xB4, 0x01, 0x02};
  complete_at_once(call::write);
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, sizeof frame), 0);
  EXPECT_EQ(last(call::write).bytes, bytes({0xB4, 0x01, 0x02}));
  EXPECT_EQ(last(call::write).chr, STATUS_CHAR);
  EXPECT_TRUE(matches(trace.text(), "TIME 11: \\d+\nTIME 12: \\d+\nTIME 13: \\d+\n"))
      << trace.text();

  trace.clear();
  complete_at_once(call::write, "write refused");
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, sizeof frame), 1);
  EXPECT_TRUE(
      matches(trace.text(), "TIME 11: \\d+\nError: write refused\nTIME 12: \\d+\nTIME 13: \\d+\n"))
      << trace.text();

  auto result = start([&frame] { return gatt_write_sync(CONNECTION, STATUS_UUID, frame, 1); });
  ASSERT_TRUE(fake_warble::await_calls(call::write, 3));
  fire_done(last(call::write));
  EXPECT_EQ(finish(result), 0);

  trace.clear();
  EXPECT_EQ(gatt_write_sync(CONNECTION, ABSENT_UUID, frame, sizeof frame), 1);
  EXPECT_EQ(trace.text(), "Characteristic not found\n");
  EXPECT_EQ(fake_warble::count(call::write), 3u);

  set_time_compression_for_tests(FAST);
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, sizeof frame), 2);
  EXPECT_TRUE(matches(trace.text(), "Characteristic not found\nTIME 11: \\d+\nTIME 12: \\d+\n"))
      << trace.text();
}

TEST_F(GattSync, ALateWriteCompletionAnswersOnlyItsOwnWrite) {
  const uint8_t frame[] = {0x7F};
  set_time_compression_for_tests(FAST);
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, 1), 2);
  const call_record late = last(call::write);

  // Arriving inside the next write's call: that write still times out.
  on_next(call::write, [late](const call_record&) { fire_done(late); });
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, frame, 1), 2);

  // Arriving from another thread while the next write waits: that write
  // gets its own answer, not the late success.
  set_time_compression_for_tests(1);
  auto result = start([&frame] { return gatt_write_sync(CONNECTION, STATUS_UUID, frame, 1); });
  ASSERT_TRUE(fake_warble::await_calls(call::write, 3));
  fire_done(late);
  fire_done(last(call::write), "busy");
  EXPECT_EQ(finish(result), 1);
}

TEST_F(GattSync, WriteWithoutResponseWaitsForNothingAndWakesNothing) {
  const uint8_t packet[] = {0xB4, 0x00, 0x10};
  auto handed = start([&packet] { return gatt_write_no_resp(CONNECTION, UPDATE_UUID, packet, 3); });
  EXPECT_EQ(finish(handed, std::chrono::seconds(5)), 0);  // well before the 10 s time-out
  EXPECT_EQ(last(call::write_no_resp).bytes, bytes({0xB4, 0x00, 0x10}));
  EXPECT_EQ(gatt_write_no_resp(CONNECTION, ABSENT_UUID, packet, 3), 1);
  EXPECT_EQ(fake_warble::count(call::write_no_resp), 1u);

  const call_record unawaited = last(call::write_no_resp);
  set_time_compression_for_tests(FAST);
  on_next(call::write, [unawaited](const call_record&) { fire_done(unawaited); });
  EXPECT_EQ(gatt_write_sync(CONNECTION, STATUS_UUID, packet, 3), 2);
  on_next(call::read, [unawaited](const call_record&) { fire_done(unawaited, "no ack"); });
  uint8_t value[4];
  EXPECT_EQ(gatt_read_sync(CONNECTION, INFO_UUID, value, sizeof value), -1);
  EXPECT_TRUE(trace.contains("Error: no ack\n"));
}

// The library may already call the link down, and find none of its
// characteristics, before its disconnect handler has run: the failed
// write is then told as a lost link, not as a frame the library refused.
TEST_F(GattSync, ACharacteristicGoneWithTheLinkIsALostLink) {
  const uint8_t packet[] = {0xB4, 0x00, 0x10};
  fake_warble::set_connected(CONNECTION, false);
  EXPECT_EQ(gatt_write_no_resp(CONNECTION, ABSENT_UUID, packet, 3), 1);
  EXPECT_TRUE(gatt_link_lost(CONNECTION));
}

TEST_F(GattSync, EnableSubscribesTheChannel) {
  const call_record registration = subscribe(status_channel, STATUS_UUID);
  EXPECT_EQ(status_channel.gatt, CONNECTION);
  EXPECT_EQ(status_channel.gattchar, STATUS_CHAR);
  EXPECT_NE(status_channel.event, nullptr);
  EXPECT_EQ(registration.chr, STATUS_CHAR);
  EXPECT_EQ(registration.context, &status_channel);
  EXPECT_NE(registration.notified, nullptr);
}

TEST_F(GattSync, EnableFailures) {
  EXPECT_EQ(notify_enable(CONNECTION, STATUS_UUID, nullptr), 1);
  EXPECT_EQ(fake_warble::find_count(), 0u);

  EXPECT_EQ(notify_enable(CONNECTION, ABSENT_UUID, &status_channel), 1);
  EXPECT_EQ(trace.text(), "Characteristic not found\n");
  EXPECT_EQ(fake_warble::count(call::enable), 0u);

  complete_at_once(call::enable, "denied");
  EXPECT_EQ(notify_enable(CONNECTION, STATUS_UUID, &status_channel), 1);
  EXPECT_TRUE(trace.contains("Error: denied\n"));

  set_time_compression_for_tests(FAST);
  EXPECT_EQ(notify_enable(CONNECTION, STATUS_UUID, &status_channel), 2);
  EXPECT_EQ(fake_warble::count(call::on_notification), 0u);
}

TEST_F(GattSync, ADisableThatFailsStillClosesTheEvent) {
  subscribe(status_channel, STATUS_UUID);
  trace.clear();
  complete_at_once(call::disable, "not subscribed");
  EXPECT_EQ(notify_disable(&status_channel), 1);
  EXPECT_EQ(trace.text(), "Error: not subscribed\nGATT disconnected\n");
  EXPECT_EQ(status_channel.event, nullptr);
  EXPECT_EQ(status_channel.gattchar, STATUS_CHAR);

  auto waited = start([] { return notify_wait(&status_channel, OP_TIMEOUT_MS); });
  EXPECT_EQ(finish(waited, std::chrono::seconds(5)), 2);
  EXPECT_EQ(notify_reset(&status_channel), 1);
}

TEST_F(GattSync, DisableTimeOutKeepsTheEvent) {
  EXPECT_EQ(notify_disable(&status_channel), 1);  // never subscribed: nothing to hand over
  EXPECT_EQ(fake_warble::count(call::disable), 0u);

  subscribe(status_channel, STATUS_UUID);
  set_time_compression_for_tests(FAST);
  EXPECT_EQ(notify_disable(&status_channel), 2);
  EXPECT_NE(status_channel.event, nullptr);
  EXPECT_EQ(notify_reset(&status_channel), 0);
}

TEST_F(GattSync, NotificationsAreTracedAndStoredWhole) {
  const call_record status = subscribe(status_channel, STATUS_UUID);
  fire_notification(status, {0x01, 0xA0});
  EXPECT_EQ(trace.text(), "NOTIF Char UUID fabbe004-4910-473c-be46-960948c2f59c 01 A0]\n");
  notify_value value = notify_snapshot(status_channel);
  EXPECT_EQ(value.length, 2);
  EXPECT_EQ(bytes(value.data, value.data + 2), bytes({0x01, 0xA0}));
  EXPECT_EQ(notify_wait(&status_channel, 0), 0);

  bytes full(255);
  std::iota(full.begin(), full.end(), 1);
  fire_notification(status, full);
  value = notify_snapshot(status_channel);
  EXPECT_EQ(value.length, 255);
  EXPECT_EQ(bytes(value.data, value.data + 255), full);

  trace.clear();
  EXPECT_EQ(notify_reset(&status_channel), 0);
  fire_notification(status, {});
  EXPECT_EQ(trace.text(), "NOTIF Char UUID fabbe004-4910-473c-be46-960948c2f59c ]\n");
  value = notify_snapshot(status_channel);
  EXPECT_EQ(value.length, 0);
  EXPECT_EQ(value.data[0], 1);  // bytes past the length keep older content
  EXPECT_EQ(value.sequence, 3u);
  EXPECT_EQ(notify_wait(&status_channel, 0), 0);
}

TEST_F(GattSync, TheThreeChannelsShareOneEvent) {
  subscribe(status_channel, STATUS_UUID);
  const call_record response = subscribe(response_channel, RESPONSE_UUID);
  subscribe(update_channel, UPDATE_UUID);

  auto waited = start([] { return notify_wait(&status_channel, OP_TIMEOUT_MS); });
  fire_notification(response, {0x42});
  EXPECT_EQ(finish(waited), 0);
  EXPECT_EQ(notify_snapshot(status_channel).length, 0);
  EXPECT_EQ(notify_snapshot(response_channel).data[0], 0x42);

  EXPECT_EQ(notify_reset(&update_channel), 0);
  EXPECT_EQ(notify_wait(&status_channel, 0), 2);
  EXPECT_EQ(notify_wait(&response_channel, 0), 2);
}

TEST_F(GattSync, AFreshEventOnlyOnceEveryChannelLetGo) {
  const call_record status = subscribe(status_channel, STATUS_UUID);
  subscribe(response_channel, RESPONSE_UUID);
  subscribe(update_channel, UPDATE_UUID);
  fire_notification(status, {0});
  unsubscribe(status_channel);
  unsubscribe(response_channel);

  // The update channel still holds the event: it comes back as it was, set.
  subscribe(status_channel, STATUS_UUID);
  EXPECT_EQ(status_channel.event, update_channel.event);
  EXPECT_EQ(notify_wait(&status_channel, 0), 0);

  unsubscribe(status_channel);
  unsubscribe(update_channel);
  subscribe(response_channel, RESPONSE_UUID);
  EXPECT_EQ(notify_wait(&response_channel, 0), 2);
}

TEST_F(GattSync, WaitsOnAChannelWithoutAnEvent) {
  EXPECT_EQ(notify_wait(nullptr, 0), 1);
  EXPECT_EQ(notify_reset(nullptr), 1);
  EXPECT_EQ(notify_wait_for_new(nullptr, 0, 0), 1);

  // Nothing could ever end these waits early: they end at once, and a wait
  // for a reply says why, so that a caller waiting in slices stops too.
  auto waited = start([] {
    return std::make_pair(notify_wait(&status_channel, OP_TIMEOUT_MS),
                          notify_wait_for_new(&status_channel, 0, OP_TIMEOUT_MS));
  });
  EXPECT_EQ(finish(waited, std::chrono::seconds(5)),
            std::make_pair(GATT_TIMED_OUT, GATT_NOT_LISTENING));
  EXPECT_EQ(notify_reset(&status_channel), 1);
}

TEST_F(GattSync, WaitForNewPassesOverOtherChannels) {
  const call_record status = subscribe(status_channel, STATUS_UUID);
  const call_record response = subscribe(response_channel, RESPONSE_UUID);
  const uint32_t since = notify_snapshot(status_channel).sequence;

  fire_notification(response, {1});  // sets the shared event before the wait
  EXPECT_EQ(notify_wait_for_new(&status_channel, since, 50), 2);

  // Noise all through the wait: it still times out.
  auto noisy = start([since] { return notify_wait_for_new(&status_channel, since, 200); });
  while (noisy.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
    fire_notification(response, {1});
  EXPECT_EQ(noisy.get(), 2);

  auto waited =
      start([since] { return notify_wait_for_new(&status_channel, since, OP_TIMEOUT_MS); });
  fire_notification(response, {2});
  fire_notification(status, {0});
  EXPECT_EQ(finish(waited), 0);
  EXPECT_EQ(notify_wait_for_new(&status_channel, since, 0), 0);
}

// A library that runs every callback on one thread delivers a notification
// while an operation waits for its completion, on the thread that must then
// deliver that completion: the notification must not wait for the operation.
TEST_F(GattSync, ANotificationDuringAnOperationIsStoredWithoutWaitingForIt) {
  const call_record status = subscribe(status_channel, STATUS_UUID);
  const uint8_t frame[] = {0x00, 0x01};
  auto write = start([&frame] { return gatt_write_sync(CONNECTION, STATUS_UUID, frame, 2); });
  ASSERT_TRUE(fake_warble::await_calls(call::write, 1));
  auto notified = start([status] {
    fire_notification(status, {0x01, 0x42});
    return 0;
  });
  EXPECT_EQ(finish(notified, std::chrono::seconds(2)), 0) << "the notification waited";
  EXPECT_EQ(notify_snapshot(status_channel).data[1], 0x42);
  EXPECT_EQ(notify_latest_with_first_byte(status_channel, 0x01), 1u);
  fire_done(last(call::write));
  EXPECT_EQ(finish(write), 0);
}

class GattSyncForget : public GattSync {};

TEST_F(GattSyncForget, ANotificationOfAReleasedOrReplacedCharacteristicFeedsNoChannel) {
  complete_at_once(call::enable);
  ASSERT_EQ(notify_enable(CONNECTION, STATUS_UUID, &status_channel), 0);
  const call_record old_subscription = last(call::on_notification);

  notify_forget(&status_channel);
  EXPECT_EQ(status_channel.gattchar, nullptr);
  fire_notification(old_subscription, {0x05});
  EXPECT_EQ(notify_snapshot(status_channel).sequence, 0u);
  EXPECT_EQ(notify_wait(&status_channel, 0), 2) << "a forgotten channel has no event";

  // The next connection's characteristic takes the channel over; the old
  // one's late notification must not judge it.
  WarbleGattChar* const next_status = fake_warble::characteristic(7);
  fake_warble::add_characteristic(STATUS_UUID, next_status);
  complete_at_once(call::enable);
  ASSERT_EQ(notify_enable(CONNECTION, STATUS_UUID, &status_channel), 0);
  fire_notification(old_subscription, {0x05});
  EXPECT_EQ(notify_snapshot(status_channel).sequence, 0u);
  fire_notification(last(call::on_notification), {0x00});
  EXPECT_EQ(notify_snapshot(status_channel).sequence, 1u);
  EXPECT_EQ(notify_snapshot(status_channel).data[0], 0x00);
}

}  // namespace
