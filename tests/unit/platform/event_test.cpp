#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

TEST(ManualEvent, SetReleasesEveryWaiterAndStaysSetUntilReset) {
  manual_event event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] { released += event.wait_ms(60000) ? 1 : 0; });
  event.set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released, 3);
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.wait_ms(0));

  event.reset();
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_ms(1));
}

TEST(ManualEvent, WaitTimesOutAfterItsDuration) {
  manual_event event;
  const auto start = steady::now();
  EXPECT_FALSE(event.wait_ms(50));
  EXPECT_GE(steady::now() - start, 50ms);
}

TEST(ManualEvent, PulseWithNobodyWaitingIsLost) {
  manual_event event;
  event.pulse();
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_ms(20));
}

TEST(ManualEvent, PulseWakesAWaiterAndLeavesTheEventClear) {
  manual_event event;
  std::atomic<bool> done{false};
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    woke = event.wait_ms(60000);
    done = true;
  });
  // The waiter's arrival in its wait cannot be observed, so pulse until it
  // has been woken; a pulse it missed simply does nothing.
  EXPECT_TRUE(eventually([&] {
    event.pulse();
    return done.load();
  }));
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_FALSE(event.is_set());
}

// A compressed sleep lasts its share of real time, never less; more only
// by what a loaded machine adds, which is far below the nominal 4 s.
TEST(Clock, CompressionShortensSleepsAndWaitsAndSpeedsTicks) {
  set_time_compression_for_tests(100);
  EXPECT_EQ(real_duration(4000), std::chrono::microseconds(40000));
  EXPECT_EQ(real_duration(0), std::chrono::microseconds(0));
  const uint32_t tick_before = tick_count_ms();
  const auto start = steady::now();
  sleep_ms(4000);
  const auto slept = steady::now() - start;
  const uint32_t ticks = tick_count_ms() - tick_before;
  EXPECT_GE(slept, 40ms);
  EXPECT_LT(slept, 2000ms);
  EXPECT_GE(ticks, 4000u - 100u);

  set_time_compression_for_tests(100000);
  EXPECT_EQ(real_duration(1), std::chrono::microseconds(1));  // still yields
  set_time_compression_for_tests(0);
  EXPECT_EQ(time_compression(), 1u);
  EXPECT_EQ(real_duration(400), std::chrono::microseconds(400000));
}

TEST(Clock, TickDifferencesSurviveTheWrap) {
  set_tick_offset_for_tests(0);
  const uint32_t base = tick_count_ms();
  set_tick_offset_for_tests(0xFFFFFFFFu - base - 5);
  const uint32_t before = tick_count_ms();
  std::this_thread::sleep_for(20ms);
  const uint32_t after = tick_count_ms();
  set_tick_offset_for_tests(0);
  EXPECT_LT(after, before);  // wrapped
  EXPECT_GE(after - before, 20u);
  EXPECT_LT(after - before, 5000u);
}

// The packet pause paces the device's flash writes: it may last longer than
// asked (a busy machine), never shorter. Nested scopes, as two transfers
// would hold, give the timer back once.
TEST(Clock, APrecisePauseNeverEndsEarly) {
  set_time_compression_for_tests(1);
  const precise_timing_scope outer;
  for (int i = 0; i < 20; ++i) {
    const precise_timing_scope inner;
    const auto start = std::chrono::steady_clock::now();
    precise_sleep_ms(10);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 10ms);
  }
}

}  // namespace
