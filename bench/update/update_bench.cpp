// Figures for the firmware update, not a pass/fail test:
//  - the program's overhead per frame for a 1 MiB image (wall time minus the
//    mandated pauses and the simulated link time, over the frame count);
//  - throughput against the protocol's bound at connection intervals of
//    7.5, 15 and 30 ms, one cycle being (1 + ceil(10 / CI)) x CI per packet;
//  - the packet pause at its length against one quantised to the Windows
//    timer tick (15.625 ms), by the same cycle model;
//  - CPU time over wall time during a paced transfer;
//  - peak RSS for a 100 KiB and a 10 MiB image, each in its own process.
// Usage: update_bench [--image-kib N] [--overhead-only]; update_bench --rss BYTES runs one
// RSS measurement (the parent starts it). The program's trace goes to a
// file next to the image; the figures go to standard output.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bench/update/null_device.h"
#include "bench/update/quiet_display.h"
#include "ble/ble_api.h"
#include "device/connection.h"
#include "device/device_state.h"
#include "device/firmware_update.h"
#include "device/uuids.h"
#include "platform/clock.h"
#include "sim/warble_sim.h"

namespace {

using seconds = std::chrono::duration<double>;
using steady = std::chrono::steady_clock;

constexpr const char* BENCH_MAC = "C4:7C:8D:6A:3E:01";
constexpr double PACKET_PAUSE_S = UPD_PACKET_PAUSE_MS / 1000.0;
constexpr double FINISH_PAUSE_S = UPD_FINISH_PAUSE_MS / 1000.0;
// At CI 0 every reply is fast: the settle after the finish is its minimum.
constexpr double SETTLE_S = UPD_SETTLE_MIN_MS / 1000.0;

FILE* report = stdout;

struct transfer_figures {
  double wall_s = 0;
  double packet_phase_s = 0;
  double process_cpu_s = 0;
  double thread_cpu_s = 0;
  uint32_t packets = 0;
  bool accepted = false;
};

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string write_image(const std::string& path, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    perror(path.c_str());
    exit(1);
  }
  uint32_t state = 12345;
  std::vector<uint8_t> block(65536);
  for (size_t done = 0; done < size;) {
    for (auto& byte : block)
      byte = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
    const size_t n = std::min(block.size(), size - done);
    fwrite(block.data(), 1, n, file);
    done += n;
  }
  fclose(file);
  return path;
}

// Sends the image to the stand-in at connection interval `interval_ms`,
// from this thread as the worker would.
transfer_figures run_transfer(const std::string& image, size_t size, double interval_ms) {
  char scenario[160];
  snprintf(scenario, sizeof scenario, "connection_interval_ms = %g\n[device]\nmac = %s\n",
           interval_ms, BENCH_MAC);
  if (warble_sim_configure(scenario) != 0) {
    fprintf(stderr, "stand-in refused the scenario: %s\n", warble_sim_error());
    exit(1);
  }
  quiet_display display(image);
  set_device_address(BENCH_MAC);
  if (connect_device() != connect_result::ready) {
    fprintf(stderr, "no connection to the stand-in\n");
    exit(1);
  }
  transfer_figures figures;
  const double process_before = cpu_seconds(RUSAGE_SELF);
  const double thread_before = cpu_seconds(RUSAGE_THREAD);
  const auto started = steady::now();
  update_from_file();
  figures.wall_s = seconds(steady::now() - started).count();
  figures.process_cpu_s = cpu_seconds(RUSAGE_SELF) - process_before;
  figures.thread_cpu_s = cpu_seconds(RUSAGE_THREAD) - thread_before;
  figures.packet_phase_s = seconds(display.packet_phase()).count();
  figures.packets = static_cast<uint32_t>((size + UPD_MAX_PARAMS - 1) / UPD_MAX_PARAMS);
  WarbleSimUpdateRecord record{};
  warble_sim_update_record(&record);
  figures.accepted = display.last_caption() == "Success" && record.accepted == 1;
  release_device();
  set_display_sink(nullptr);
  return figures;
}

// How much longer than asked a 10 ms pause lasts here: the platform's
// share of the measured overhead.
double pause_overshoot_us() {
  constexpr int COUNT = 100;
  const auto started = steady::now();
  for (int i = 0; i < COUNT; ++i) sleep_ms(UPD_PACKET_PAUSE_MS);
  return (seconds(steady::now() - started).count() / COUNT - PACKET_PAUSE_S) * 1e6;
}

// The stand-in's own round trip for one update frame at connection interval
// 0: the write crosses to its device thread, the reply to its notification
// thread, and a waiting thread is woken. Measured on the library alone, with
// none of the program's code, as the simulated link time of a frame. Each
// round follows a packet pause, as in a transfer: threads that have slept
// 10 ms wake much more slowly than busy ones, and that cost belongs to the
// simulated link, not to the program.
struct link_probe {
  std::mutex lock;
  std::condition_variable changed;
  uint64_t notifications = 0;
  bool done = false;
};

void probe_notified(void* context, WarbleGattChar*, const uint8_t*, uint8_t) {
  auto* probe = static_cast<link_probe*>(context);
  {
    std::lock_guard<std::mutex> hold(probe->lock);
    ++probe->notifications;
  }
  probe->changed.notify_one();
}

void probe_completed(link_probe* probe) {
  {
    std::lock_guard<std::mutex> hold(probe->lock);
    probe->done = true;
  }
  probe->changed.notify_one();
}

void probe_connected(void* context, WarbleGatt*, const char*) {
  probe_completed(static_cast<link_probe*>(context));
}

void probe_char_done(void* context, WarbleGattChar*, const char*) {
  if (context) probe_completed(static_cast<link_probe*>(context));
}

template <typename Condition>
void probe_wait(link_probe& probe, Condition condition) {
  std::unique_lock<std::mutex> hold(probe.lock);
  if (!probe.changed.wait_for(hold, std::chrono::seconds(10), condition)) {
    fprintf(stderr, "the stand-in did not answer the link probe\n");
    exit(1);
  }
}

double link_round_trip_us() {
  char scenario[96];
  snprintf(scenario, sizeof scenario, "[device]\nmac = %s\n", BENCH_MAC);
  warble_sim_configure(scenario);
  link_probe probe;
  const WarbleOption options[] = {{"mac", BENCH_MAC}, {"address-type", "unspecified"}};
  WarbleGatt* link = ble_api.warble_gatt_create_with_options(2, options);
  ble_api.warble_gatt_connect_async(link, &probe, probe_connected);
  probe_wait(probe, [&] { return probe.done; });
  WarbleGattChar* status = ble_api.warble_gatt_find_characteristic(link, STATUS_CHAR_UUID);
  WarbleGattChar* update = ble_api.warble_gatt_find_characteristic(link, UPDATE_CHAR_UUID);
  probe.done = false;
  ble_api.warble_gattchar_enable_notifications_async(status, &probe, probe_char_done);
  probe_wait(probe, [&] { return probe.done; });
  ble_api.warble_gattchar_on_notification_received(status, &probe, probe_notified);

  uint8_t start[3 + sizeof UPD_START_TOKEN] = {UPD_CMD_START, 0, sizeof UPD_START_TOKEN};
  memcpy(start + 3, UPD_START_TOKEN, sizeof UPD_START_TOKEN);
  constexpr int ROUNDS = 500;
  double total_s = 0;
  for (int round = 1; round <= ROUNDS; ++round) {
    sleep_ms(UPD_PACKET_PAUSE_MS);
    const auto started = steady::now();
    ble_api.warble_gattchar_write_without_resp_async(update, start, sizeof start, nullptr,
                                                     probe_char_done);
    probe_wait(probe, [&] { return probe.notifications >= static_cast<uint64_t>(round); });
    total_s += seconds(steady::now() - started).count();
  }
  const double per_round_us = total_s / ROUNDS * 1e6;
  ble_api.warble_gatt_disconnect(link);
  ble_api.warble_gatt_delete(link);
  return per_round_us;
}

void report_overhead(const std::string& image, size_t size) {
  const transfer_figures f = run_transfer(image, size, 0);
  const uint32_t frames = f.packets + 5;
  const double pauses_s = f.packets * PACKET_PAUSE_S + FINISH_PAUSE_S + SETTLE_S;
  const double link_us = link_round_trip_us();
  const double link_s = frames * link_us / 1e6;
  const double overshoot = pause_overshoot_us();
  const double per_frame_us = (f.wall_s - pauses_s - link_s) / frames * 1e6;
  fprintf(report, "image %zu bytes, %u packets, %u frames%s\n", size, f.packets, frames,
          f.accepted ? "" : "  (NOT ACCEPTED)");
  fprintf(report,
          "overhead per frame: %.1f us (wall %.3f s, mandated pauses and settle time %.3f s, "
          "simulated link "
          "%.3f s = %.1f us per frame round trip at CI 0, after a pause)\n",
          per_frame_us, f.wall_s, pauses_s, link_s, link_us);
  fprintf(report,
          "  of which the platform's pause overshoot: %.1f us per packet -> %.1f us per frame "
          "without it\n",
          overshoot, per_frame_us - overshoot * f.packets / frames);
  // What is left is waiting: for the stand-in's threads to carry the frame
  // and its reply, and for this thread to be woken.
  fprintf(report,
          "  the program's own work: %.1f us CPU per frame on the transferring thread, %.1f us "
          "per frame in the whole process (stand-in included)\n",
          f.thread_cpu_s / frames * 1e6, f.process_cpu_s / frames * 1e6);
}

void report_throughput(const std::string& image, size_t size) {
  for (double interval_ms : {7.5, 15.0, 30.0}) {
    const transfer_figures f = run_transfer(image, size, interval_ms);
    const double cycle_ms = (1 + std::ceil(10.0 / interval_ms)) * interval_ms;
    const double bound_s = f.packets * cycle_ms / 1000.0;
    const double bound_rate = UPD_MAX_PARAMS / (cycle_ms / 1000.0);
    const double rate = size / f.packet_phase_s;
    fprintf(report,
            "CI %4.1f ms: %7.0f B/s, bound %7.0f B/s (cycle %.1f ms): %.1f %% of the bound%s\n",
            interval_ms, rate, bound_rate, cycle_ms, 100.0 * bound_s / f.packet_phase_s,
            f.accepted ? "" : "  (NOT ACCEPTED)");
    if (interval_ms == 15.0)
      fprintf(report,
              "CPU over wall, paced transfer at CI 15 ms: %.2f %% for the process (stand-in "
              "included), %.2f %% for the transferring thread\n",
              100.0 * f.process_cpu_s / f.wall_s, 100.0 * f.thread_cpu_s / f.wall_s);
    fflush(report);
  }
}

// What a pause that lasts a system timer tick instead of its 10 ms costs,
// by the cycle model above: the reply waits for the connection event after
// the pause, then for the event that carries the reply back.
void report_pause_model() {
  constexpr double WINDOWS_TICK_MS = 15.625;
  for (double interval_ms : {7.5, 15.0, 30.0}) {
    const double exact_ms = (1 + std::ceil(UPD_PACKET_PAUSE_MS / interval_ms)) * interval_ms;
    const double tick_ms = (1 + std::ceil(WINDOWS_TICK_MS / interval_ms)) * interval_ms;
    fprintf(report,
            "pause model, CI %4.1f ms: cycle %.1f ms (%5.0f B/s) with the 10 ms pause, %.1f ms "
            "(%5.0f B/s) with a 15.625 ms tick: %.0f %% slower\n",
            interval_ms, exact_ms, UPD_MAX_PARAMS / (exact_ms / 1000), tick_ms,
            UPD_MAX_PARAMS / (tick_ms / 1000), 100.0 * (tick_ms - exact_ms) / exact_ms);
  }
}

// Child: one update against a device that keeps nothing; prints its RSS.
int rss_child(size_t size) {
  if (!freopen("/dev/null", "w", stdout)) return 1;
  char dir[] = "/tmp/update-rss-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string image = write_image(std::string(dir) + "/image.bin", size);
  quiet_display display(image);
  // The pauses do not change what is held in memory.
  set_time_compression_for_tests(1000);
  null_device_connect();
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  update_from_file();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  unlink(image.c_str());
  rmdir(dir);
  fprintf(stderr, "rss_before_kib=%ld peak_rss_kib=%ld result=%s\n", before.ru_maxrss,
          after.ru_maxrss, display.last_caption().c_str());
  return display.last_caption() == "Success" ? 0 : 1;
}

void report_rss(size_t size) {
  const std::string command =
      "/proc/" + std::to_string(getpid()) + "/exe --rss " + std::to_string(size) + " 2>&1";
  FILE* child = popen(command.c_str(), "r");
  char line[200] = "";
  if (!child || !fgets(line, sizeof line, child)) strcpy(line, "no answer\n");
  const int status = child ? pclose(child) : -1;
  fprintf(report, "peak RSS, %zu KiB image: %s%s", size / 1024, line,
          status == 0 ? "" : "  (transfer failed)\n");
}

}  // namespace

int main(int argc, char** argv) {
  size_t image_kib = 1024;
  bool overhead_only = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--overhead-only") == 0) overhead_only = true;
    if (i + 1 >= argc) continue;
    if (strcmp(argv[i], "--rss") == 0) return rss_child(strtoull(argv[i + 1], nullptr, 10));
    if (strcmp(argv[i], "--image-kib") == 0) image_kib = strtoull(argv[i + 1], nullptr, 10);
  }
  char dir[] = "/tmp/update-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  // The figures keep the original standard output; the trace goes to a file.
  report = fdopen(dup(fileno(stdout)), "w");
  const std::string trace_path = std::string(dir) + "/trace.txt";
  if (!report || !freopen(trace_path.c_str(), "w", stdout)) return 1;
  fprintf(report, "trace in %s\n", trace_path.c_str());

  const size_t size = image_kib * 1024;
  const std::string image = write_image(std::string(dir) + "/image.bin", size);
  std::string error;
  if (!ble_api_load(nullptr, error)) {
    fprintf(stderr, "the stand-in library cannot be loaded: %s\n", error.c_str());
    return 1;
  }
  report_overhead(image, size);
  fflush(report);
  if (overhead_only) return 0;
  report_pause_model();
  report_throughput(image, size);
  report_rss(100 * 1024);
  report_rss(10 * 1024 * 1024);
  unlink(image.c_str());
  return 0;
}
