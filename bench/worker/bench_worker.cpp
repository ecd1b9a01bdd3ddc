// Prints how fast requests go through the ring, and how long the worker
// takes from a post to the start of the posted request.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "device/command_channel.h"
#include "device/connection.h"
#include "device/firmware_update.h"
#include "device/scan.h"
#include "worker/request_queue.h"
#include "worker/worker.h"

namespace {

using steady = std::chrono::steady_clock;

std::atomic<int64_t> scan_started_ns{0};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch())
      .count();
}

void measure_throughput() {
  constexpr int ROUNDS = 2'000'000;
  queue_init();
  const auto start = steady::now();
  for (int i = 0; i < ROUNDS; ++i) {
    post_request_u16x2(REQ_UPDATE_FROM_FILE, static_cast<uint16_t>(i), 7);
    queue_pop();
  }
  const double seconds = std::chrono::duration<double>(steady::now() - start).count();
  printf("post+pop (4 data bytes): %.0f requests/s over %d requests\n", ROUNDS / seconds, ROUNDS);
}

void measure_wake_up() {
  constexpr int SAMPLES = 1000;
  start_worker();
  // Let the worker reach its first wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::vector<double> micros;
  int missed = 0;
  for (int i = 0; i < SAMPLES; ++i) {
    scan_started_ns = 0;
    const int64_t posted = now_ns();
    post_request(REQ_SCAN);
    while (scan_started_ns.load() == 0) std::this_thread::yield();
    const double latency = (scan_started_ns.load() - posted) / 1000.0;
    // A post that falls into the worker's 1 ms pause after a request is
    // found on the 400 ms time-out: counted apart, not a wake-up.
    if (latency > 100'000) {
      ++missed;
    } else {
      micros.push_back(latency);
    }
    // Give the worker time to finish its pause and wait again.
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  post_quit();
  join_worker_for_tests();
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  printf(
      "wake-up after a post: median %.1f us, p99 %.1f us, max %.1f us (%zu samples, %d posts "
      "missed a wait)\n",
      at(0.5), at(0.99), micros.back(), micros.size(), missed);
}

}  // namespace

// The worker's operations, reduced to a timestamp: the figures are the
// queue's and the worker's, not the device's.
scan_end scan_for_devices() {
  scan_started_ns = now_ns();
  return scan_end::ran_full_time;
}
connect_result connect_device() {
  return connect_result::ready;
}
void close_device() {}
void update_from_file() {}
int get_version(fw_version*) {
  return 0;
}
int get_fw_date(uint8_t*, uint8_t) {
  return 0;
}
int get_fw_time(uint8_t*, uint8_t) {
  return 0;
}

int main() {
  measure_throughput();
  measure_wake_up();
  return 0;
}
