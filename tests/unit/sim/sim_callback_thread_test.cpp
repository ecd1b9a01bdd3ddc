// The one-thread mode: every handler on one library thread, and the calls
// that wait for the handler in flight there.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

constexpr const char* ONE_THREAD = "callback_thread = one\n";

struct threads_seen {
  std::mutex lock;
  std::set<std::thread::id> ids;
  void note(std::thread::id id) {
    std::lock_guard<std::mutex> guard(lock);
    ids.insert(id);
  }
};

TEST(SimOneThread, RunsEveryKindOfHandlerOnOneLibraryThread) {
  ASSERT_EQ(warble_sim_configure("callback_thread = one\nadvertise_interval_ms = 1\n"
                                 "command_busy_ms = 0\n"),
            0);
  static threads_seen threads;
  static std::atomic<int> results{0};
  // Stopped from its own handler: on the callback thread, which must not
  // wait for itself.
  warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult*) {
    threads.note(std::this_thread::get_id());
    if (++results == 3) warble_scanner_stop();
  });
  warble_scanner_start(0, nullptr);
  ASSERT_TRUE(eventually([] { return warble_sim_counter("scan_stops") == 1; }));

  connection link;
  outcome connected = link.connect();
  ASSERT_FALSE(connected.error);
  threads.note(connected.thread);
  notification_log log;
  for (const char* uuid : {STATUS_UUID, RESPONSE_UUID}) {
    pending enabled;
    warble_gattchar_enable_notifications_async(link.find(uuid), &enabled, pending::on_done);
    threads.note(enabled.wait().thread);
    warble_gattchar_on_notification_received(link.find(uuid), &log,
                                             notification_log::on_notification);
  }
  threads.note(write(link.find(COMMAND_UUID), {0, 0}).thread);
  auto seen = log.wait_for(3);  // busy, response, idle
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& entry : seen) threads.note(entry.thread);
  threads.note(read(link.find(MODEL_NUMBER_UUID)).thread);
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  warble_gatt_disconnect(link.gatt);
  outcome disconnected = down.wait();
  ASSERT_TRUE(disconnected.arrived);
  threads.note(disconnected.thread);

  std::lock_guard<std::mutex> guard(threads.lock);
  EXPECT_EQ(threads.ids.size(), 1u);
  EXPECT_EQ(threads.ids.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(results.load(), 3);
  EXPECT_EQ(warble_sim_counter("callback_stalls"), 0);
}

TEST(SimOneThread, StopWaitsForTheResultHandlerInFlightAndNothingFollows) {
  ASSERT_EQ(warble_sim_configure("callback_thread = one\nadvertise_interval_ms = 1\n"), 0);
  static std::atomic<int> results{0};
  static std::atomic<bool> first_returned{false};
  static std::atomic<bool> release{false};
  warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult*) {
    if (++results > 1) return;
    eventually([] { return release.load(); }, 10000ms);
    first_returned = true;
  });
  warble_scanner_start(0, nullptr);
  ASSERT_TRUE(eventually([] { return results.load() == 1; }));
  // Released only once the stop is under way.
  std::thread releaser([] {
    eventually([] { return warble_sim_counter("scan_stops") == 1; });
    std::this_thread::sleep_for(20ms);
    release = true;
  });
  warble_scanner_stop();
  EXPECT_TRUE(first_returned.load());
  releaser.join();
  int at_stop = results.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(results.load(), at_stop);
  EXPECT_EQ(warble_sim_counter("results_after_stop"), 0);
  EXPECT_EQ(warble_sim_counter("callback_stalls"), 0);
}

// The program disables notifications while it holds what its notification
// handler, on the callback thread, waits for. A library that waits for
// callbacks in flight would hang there: the stand-in waits 5 s, counts the
// stall and goes on.
TEST(SimOneThread, CountsAStallWhenANotificationHandlerBlocksOnWhatTheCallerHolds) {
  session one;
  ASSERT_TRUE(one.open(ONE_THREAD, {UPDATE_UUID}));
  // What the program holds while it disables, and the handler waits for.
  static struct {
    std::mutex lock;
    std::condition_variable released;
    bool held = true;
    std::atomic<int> entered{0};
  } program;
  WarbleGattChar* update = one.link.find(UPDATE_UUID);
  warble_gattchar_on_notification_received(
      update, nullptr, [](void*, WarbleGattChar*, const uint8_t*, uint8_t) {
        ++program.entered;
        std::unique_lock<std::mutex> waiting(program.lock);
        program.released.wait_for(waiting, 10s, [] { return !program.held; });
      });
  ASSERT_EQ(warble_sim_notify(UPDATE_UUID, bytes{1}.data(), 1), 1);
  ASSERT_TRUE(eventually([] { return program.entered.load() == 1; }));
  pending disabled;
  auto start = clock::now();
  warble_gattchar_disable_notifications_async(update, &disabled, pending::on_done);
  EXPECT_GE(clock::now() - start, 4900ms);
  EXPECT_EQ(warble_sim_counter("callback_stalls"), 1);
  EXPECT_EQ(disabled.calls(), 0);  // its completion queues behind the blocked handler
  {
    std::lock_guard<std::mutex> guard(program.lock);
    program.held = false;
  }
  program.released.notify_all();
  outcome result = disabled.wait();
  ASSERT_TRUE(result.arrived);
  EXPECT_FALSE(result.error);
}

}  // namespace
}  // namespace simtest
