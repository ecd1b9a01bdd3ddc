#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "tests/support/eventually.h"
#include "tests/support/trace_capture.h"
#include "tests/unit/worker/device_doubles.h"
#include "tests/unit/worker/stamped_display.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

using namespace std::chrono_literals;

// The worker's 400 ms pass in 100 ms; program ticks then advance in steps of
// this factor, which bounds how precisely an interval can be read.
constexpr uint32_t COMPRESSION = 4;
constexpr uint32_t TICK_SLACK_MS = 3 * COMPRESSION;
// "About 400 ms" on a loaded machine.
constexpr uint32_t LATE_LIMIT_MS = 2 * WORKER_WAIT_MS;

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { set_time_compression_for_tests(COMPRESSION); }

  void TearDown() override {
    display.on_status(nullptr);
    display.record.on_message_box(nullptr);
    if (worker_running_for_tests()) post_quit();
    EXPECT_TRUE(eventually([] { return !worker_running_for_tests(); }));
    join_worker_for_tests();
    set_time_compression_for_tests(1);
  }

  void start(device_script script = {}) {
    reset_device_doubles(std::move(script));
    start_worker();
  }

  static bool calls_reach(size_t count) {
    return eventually([count] { return device_calls().size() >= count; });
  }

  // The tick of the first status call of `text` after the latest call of
  // `after`; 0 when there is none yet.
  uint32_t status_tick_after(const std::string& after, const std::string& text) {
    bool seen = false;
    uint32_t found = 0;
    for (const auto& call : display.status_calls()) {
      if (call.text == after) {
        seen = true;
        found = 0;
      } else if (seen && found == 0 && call.text == text) {
        found = call.tick_ms;
      }
    }
    return found;
  }

  // Inside a display call, the first time only: notes the tick, posts a scan.
  void post_scan_once() {
    if (hook_fired.exchange(true)) return;
    hook_tick = tick_count_ms();
    post_request(REQ_SCAN);
  }

  // The first device call came one worker wait after post_scan_once.
  void expect_first_call_a_wait_after_the_hook() {
    ASSERT_TRUE(calls_reach(1));
    const uint32_t waited = device_calls()[0].tick_ms - hook_tick;
    EXPECT_GE(waited, WORKER_WAIT_MS - TICK_SLACK_MS);
    EXPECT_LT(waited, LATE_LIMIT_MS);
  }

  stamped_display display;
  trace_capture trace;
  std::atomic<bool> hook_fired{false};
  std::atomic<uint32_t> hook_tick{0};
};

TEST_F(WorkerTest, QuitEndsTheWorkerAndRequestsBehindItNeverRun) {
  start();
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  ASSERT_EQ(post_quit(), 0);
  ASSERT_EQ(post_request(REQ_CONNECT), 0);
  ASSERT_TRUE(eventually([] { return !worker_running_for_tests(); }));
  EXPECT_EQ(device_call_names(), std::vector<std::string>{"scan"});
  EXPECT_EQ(queue_counters_for_tests().message_count, 1);
}

TEST_F(WorkerTest, UnpoppableRequestEndsTheWorkerSilently) {
  start();
  const uint8_t data[REQUEST_DATA_MAX + 1] = {};
  ASSERT_EQ(queue_post(REQ_SCAN, sizeof data, data), 0);
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  ASSERT_TRUE(eventually([] { return !worker_running_for_tests(); }));
  EXPECT_TRUE(device_calls().empty());
  EXPECT_TRUE(display.record.boxes().empty());
  EXPECT_FALSE(trace.contains("failed"));
}

TEST_F(WorkerTest, IdleComesAfterATimeOutAndIsSetOnlyWhenItDiffers) {
  const uint32_t started = tick_count_ms();
  start();
  ASSERT_TRUE(eventually([this] { return display.status_calls_of("Idle") >= 3; }));
  EXPECT_GE(display.status_calls()[0].tick_ms - started, WORKER_WAIT_MS - TICK_SLACK_MS);
  EXPECT_EQ(display.record.texts_set(display_window::main, IDC_STATUS_LINE),
            std::vector<std::string>{"Idle"});
}

TEST_F(WorkerTest, PostWakesAWaitingWorkerAndNoIdleFollowsThatWakeUp) {
  start();
  int prompt_wakes = 0;
  for (int attempt = 0; attempt < 5 && prompt_wakes == 0; ++attempt) {
    // Just after an idle step the worker is on its way back into the wait;
    // a pulse that still falls between two waits only costs a retry.
    const size_t idles = display.status_calls_of("Idle");
    ASSERT_TRUE(eventually([&] { return display.status_calls_of("Idle") > idles; }));
    std::this_thread::sleep_for(10ms);
    reset_device_doubles();
    const uint32_t posted = tick_count_ms();
    ASSERT_EQ(post_request(REQ_SCAN), 0);
    ASSERT_TRUE(calls_reach(1));
    const uint32_t scanned = device_calls()[0].tick_ms;
    if (scanned - posted >= WORKER_WAIT_MS / 2) continue;
    ++prompt_wakes;
    uint32_t idle_tick = 0;
    ASSERT_TRUE(eventually([&] { return (idle_tick = status_tick_after("Scanning BT", "Idle")); }));
    EXPECT_GE(idle_tick - scanned, WORKER_WAIT_MS - TICK_SLACK_MS);
  }
  EXPECT_EQ(prompt_wakes, 1);
  const auto texts = display.record.texts_set(display_window::main, IDC_STATUS_LINE);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "Scanning BT");
  EXPECT_EQ(texts.back(), "Idle");
}

TEST_F(WorkerTest, PostDuringTheIdleStepWakesNobodyButRunsAfterTheNextTimeOut) {
  start();
  display.on_status([this](const std::string& text) {
    if (text == "Idle") post_scan_once();
  });
  expect_first_call_a_wait_after_the_hook();
}

TEST_F(WorkerTest, PostDuringALongRequestRunsWhenTheWorkerIsFree) {
  constexpr uint32_t SCAN_MS = 1000;
  device_script script;
  script.during = [](const std::string& name) {
    if (name != "scan") return;
    post_request(REQ_CONNECT);
    sleep_ms(SCAN_MS);
  };
  start(script);
  ASSERT_EQ(post_request(REQ_SCAN), 0);
  ASSERT_TRUE(calls_reach(2));
  const auto calls = device_calls();
  EXPECT_EQ(calls[1].name, "connect");
  EXPECT_GE(calls[1].tick_ms - calls[0].tick_ms, SCAN_MS - TICK_SLACK_MS);
  EXPECT_LT(calls[1].tick_ms - calls[0].tick_ms, SCAN_MS + LATE_LIMIT_MS);
}

TEST_F(WorkerTest, UnsupportedRequestFailsAndTheNextRunsAtTheNextWakeUp) {
  start();
  display.record.on_message_box([this](const recorded_box&) { post_scan_once(); });
  ASSERT_EQ(post_request(4), 0);
  ASSERT_NO_FATAL_FAILURE(expect_first_call_a_wait_after_the_hook());
  EXPECT_EQ(trace.count("Message 4 failed\n"), 1u);
  ASSERT_EQ(display.record.boxes().size(), 1u);
  EXPECT_EQ(display.record.boxes()[0].text, "INTERNAL Message not supported");
}

}  // namespace
