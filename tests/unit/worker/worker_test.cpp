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
// this factor, which bounds how precisely an interval can be read. A
// loaded machine only makes the worker late: what comes at a time-out is
// told from what comes at a wake-up by the idle step that follows a
// time-out at once, and by the lower bounds of the waits.
constexpr uint32_t COMPRESSION = 4;
constexpr uint32_t TICK_SLACK_MS = 3 * COMPRESSION;
// Posts that fall between two waits, so that a time-out runs them, before
// one wakes the worker.
constexpr int ATTEMPTS = 10;

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
    script_ = script;
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

  // Posts `request` while the worker waits (a while after an idle step),
  // with the device calls so far forgotten; the program tick of the post.
  uint32_t post_while_waiting(uint8_t request) {
    const size_t idles = display.status_calls_of("Idle");
    EXPECT_TRUE(eventually([&] { return display.status_calls_of("Idle") > idles; }));
    std::this_thread::sleep_for(20ms);
    reset_device_doubles(script_);
    const uint32_t posted = tick_count_ms();
    EXPECT_EQ(post_request(request), 0);
    return posted;
  }

  // Whether a request posted at `posted` ran at `ran` at the post's
  // wake-up. Otherwise the worker ran it at the time-out (the post still
  // fell between two waits, and its pulse was lost), which only costs a
  // retry: a request run at the time-out comes most of a wait after its
  // post, never sooner, however loaded the machine.
  static bool at_the_wake_up(uint32_t posted, uint32_t ran) {
    return ran - posted < WORKER_WAIT_MS / 2;
  }

  // post_while_waiting, then waits for the request's first device call:
  // whether it came at the post's wake-up.
  bool posted_at_a_wake_up(uint8_t request) {
    const uint32_t posted = post_while_waiting(request);
    return calls_reach(1) && at_the_wake_up(posted, device_calls()[0].tick_ms);
  }

  // Inside a display call, the first time only: notes the tick and the idle
  // steps so far, posts a scan.
  void post_scan_once() {
    if (hook_fired.exchange(true)) return;
    hook_tick = tick_count_ms();
    idles_at_hook = display.status_calls_of("Idle");
    idles_at_scan = NOT_NOTED;
    post_request(REQ_SCAN);
  }

  // Starts the worker noting the idle steps so far at its first scan.
  void start_noting_idles_at_scan() {
    device_script script;
    script.during = [this](const std::string& name) {
      if (name == "scan") idles_at_scan = display.status_calls_of("Idle");
    };
    start(script);
  }

  // The first device call came one worker wait after post_scan_once, at the
  // first time-out after it: no idle step came between.
  void expect_first_call_a_wait_after_the_hook() {
    ASSERT_TRUE(calls_reach(1));
    const uint32_t waited = device_calls()[0].tick_ms - hook_tick;
    EXPECT_GE(waited, WORKER_WAIT_MS - TICK_SLACK_MS);
    // The call is on record before the scan's own hook has noted anything.
    ASSERT_TRUE(eventually([this] { return idles_at_scan.load() != NOT_NOTED; }));
    EXPECT_EQ(idles_at_scan.load(), idles_at_hook.load());
  }

  stamped_display display;
  trace_capture trace;
  device_script script_;
  std::atomic<bool> hook_fired{false};
  std::atomic<uint32_t> hook_tick{0};
  std::atomic<size_t> idles_at_hook{0};
  static constexpr size_t NOT_NOTED = SIZE_MAX;
  std::atomic<size_t> idles_at_scan{NOT_NOTED};
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

// A request run at a wake-up is followed by no idle step until a whole wait
// later (one run at a time-out is followed by one at once).
TEST_F(WorkerTest, PostWakesAWaitingWorkerAndNoIdleFollowsThatWakeUp) {
  start();
  int prompt_wakes = 0;
  for (int attempt = 0; attempt < ATTEMPTS && prompt_wakes == 0; ++attempt) {
    if (!posted_at_a_wake_up(REQ_SCAN)) continue;
    ++prompt_wakes;
    const uint32_t scanned = device_calls()[0].tick_ms;
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
  start_noting_idles_at_scan();
  display.on_status([this](const std::string& text) {
    if (text == "Idle") post_scan_once();
  });
  expect_first_call_a_wait_after_the_hook();
}

// The connect posted during the scan runs in the same wake-up, once the
// worker is free, not at the time-out after it: the first idle step after
// it comes a whole wait later.
TEST_F(WorkerTest, PostDuringALongRequestRunsWhenTheWorkerIsFree) {
  constexpr uint32_t SCAN_MS = 1000;
  device_script script;
  script.during = [](const std::string& name) {
    if (name != "scan") return;
    post_request(REQ_CONNECT);
    sleep_ms(SCAN_MS);
  };
  start(script);
  int prompt_wakes = 0;
  for (int attempt = 0; attempt < ATTEMPTS && prompt_wakes == 0; ++attempt) {
    if (!posted_at_a_wake_up(REQ_SCAN)) continue;
    ++prompt_wakes;
    ASSERT_TRUE(calls_reach(2));
    const auto calls = device_calls();
    EXPECT_EQ(calls[1].name, "connect");
    EXPECT_GE(calls[1].tick_ms - calls[0].tick_ms, SCAN_MS - TICK_SLACK_MS);
    uint32_t idle_tick = 0;
    ASSERT_TRUE(
        eventually([&] { return (idle_tick = status_tick_after("Connecting BT...", "Idle")); }));
    EXPECT_GE(idle_tick - calls[1].tick_ms, WORKER_WAIT_MS - TICK_SLACK_MS);
  }
  EXPECT_EQ(prompt_wakes, 1);
}

// The request that fails ran at a wake-up (were it run at a time-out, the
// idle step of that time-out would come between it and the scan).
TEST_F(WorkerTest, UnsupportedRequestFailsAndTheNextRunsAtTheNextWakeUp) {
  start_noting_idles_at_scan();
  display.record.on_message_box([this](const recorded_box&) { post_scan_once(); });
  int prompt_wakes = 0;
  size_t failures = 0;
  for (int attempt = 0; attempt < ATTEMPTS && prompt_wakes == 0; ++attempt) {
    hook_fired = false;
    const uint32_t posted = post_while_waiting(4);
    ++failures;
    ASSERT_TRUE(eventually([this] { return hook_fired.load(); }));
    if (!at_the_wake_up(posted, hook_tick)) {
      ASSERT_TRUE(calls_reach(1));  // its scan ran all the same
      continue;
    }
    ++prompt_wakes;
    ASSERT_NO_FATAL_FAILURE(expect_first_call_a_wait_after_the_hook());
  }
  EXPECT_EQ(prompt_wakes, 1);
  EXPECT_EQ(trace.count("Message 4 failed\n"), failures);
  ASSERT_EQ(display.record.boxes().size(), failures);
  for (const auto& box : display.record.boxes())
    EXPECT_EQ(box.text, "INTERNAL Message not supported");
}

}  // namespace
