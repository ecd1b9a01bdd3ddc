// Figures for a batch, not a pass/fail test: N simulated devices updated one
// after another with one image, in real time, through the command line's
// batch itself.
//  - the batch's total time against the sum of its transfers, and against
//    the sum of the transfers' bounds: per packet one cycle of
//    (1 + ceil(10 / CI)) x CI (the write waits for a connection event, the
//    reply for the next one, the 10 ms pause for the one after it), each
//    other frame two intervals, plus the 1000 ms pause before the finish
//    handshake and the shortest settle after it (250 ms);
//  - what each device costs besides its transfer: finding it, connecting
//    (the link and the service check), reading (subscribing and the Device
//    Information) and releasing it (with its two documented 1 s pauses).
// Usage: batch_bench [--devices N] [--image-kib K] [--interval-ms CI]
//        (defaults 20 devices, 64 KiB, 7.5 ms)
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <random>
#include <string>

#include "ble/ble_api.h"
#include "cli/batch.h"
#include "cli/console_display.h"
#include "device/firmware_update.h"
#include "platform/trace.h"
#include "sim/warble_sim.h"

namespace {

using steady = std::chrono::steady_clock;

// The settle after the finish handshake lasts at least this (five intervals
// of the slowest link such devices run at, see firmware_update.cpp).
constexpr double SETTLE_MIN_S = 0.250;
// Start, B1, length, checksum and finish.
constexpr int CONTROL_FRAMES = 5;

struct settings {
  int devices = 20;
  size_t image_bytes = 64 * 1024;
  double interval_ms = 7.5;
};

bool parse(int argc, char** argv, settings& s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--devices")) {
      s.devices = atoi(argv[i + 1]);
    } else if (!strcmp(argv[i], "--image-kib")) {
      s.image_bytes = static_cast<size_t>(atoi(argv[i + 1])) * 1024;
    } else if (!strcmp(argv[i], "--interval-ms")) {
      s.interval_ms = atof(argv[i + 1]);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && s.devices > 0 && s.devices < 256 && s.interval_ms >= 0;
}

std::string mac_of(int index) {
  char mac[24];
  snprintf(mac, sizeof mac, "C4:7C:8D:6A:40:%02X", index);
  return mac;
}

double transfer_bound_s(size_t image_bytes, double interval_ms) {
  const double packets = std::ceil(static_cast<double>(image_bytes) / UPD_MAX_PARAMS);
  const double pause_ms = UPD_PACKET_PAUSE_MS;
  const double cycle_ms =
      interval_ms > 0 ? (1 + std::ceil(pause_ms / interval_ms)) * interval_ms : pause_ms;
  return (packets * cycle_ms + CONTROL_FRAMES * 2 * interval_ms) / 1000.0 +
         UPD_FINISH_PAUSE_MS / 1000.0 + SETTLE_MIN_S;
}

}  // namespace

int main(int argc, char** argv) {
  settings s;
  if (!parse(argc, argv, s)) {
    fprintf(stderr, "usage: batch_bench [--devices N] [--image-kib K] [--interval-ms CI]\n");
    return 2;
  }
  char dir[] = "/tmp/batch-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string folder = dir;

  std::string world = "seed = 11\nconnection_interval_ms = " + std::to_string(s.interval_ms) + "\n";
  std::ofstream list(folder + "/devices.txt");
  for (int i = 0; i < s.devices; ++i) {
    world += "[device]\nmac = " + mac_of(i) + "\nname = TAVREN RD\n";
    list << mac_of(i) << '\n';
  }
  list.close();
  if (warble_sim_configure(world.c_str()) != 0) {
    fprintf(stderr, "batch_bench: %s\n", warble_sim_error());
    return 1;
  }
  std::string image(s.image_bytes, '\0');
  std::mt19937 random(7);
  for (char& byte : image) byte = static_cast<char>(random());
  std::ofstream(folder + "/image.bin", std::ios::binary) << image;

  trace_set_stream(nullptr);
  std::string error;
  if (!ble_api_load(nullptr, error)) {
    fprintf(stderr, "batch_bench: %s\n", error.c_str());
    return 1;
  }
  std::ostream nowhere(nullptr);
  console_display& display = console_display::instance();
  display.attach(nowhere, progress_style::none, true);

  batch_options options;
  options.image = folder + "/image.bin";
  options.devices_file = folder + "/devices.txt";
  options.report_path = folder + "/report.json";
  batch_run batch(options);
  command_failure failure;
  if (!batch.prepare(failure) || !batch.open_report(failure)) {
    fprintf(stderr, "batch_bench: %s\n", failure.message.c_str());
    return 1;
  }
  printf("batch of %d devices, %zu-byte image, connection interval %.1f ms (real time)\n",
         s.devices, s.image_bytes, s.interval_ms);
  fflush(stdout);
  const steady::time_point start = steady::now();
  const batch_outcome outcome = batch.run(display);
  const double total_s = std::chrono::duration<double>(steady::now() - start).count();

  int updated = 0;
  for (const device_row& row : outcome.report.rows) updated += row.result == device_result::ok;
  phase_times sum;
  for (const phase_times& t : outcome.times) {
    sum.find += t.find;
    sum.connect += t.connect;
    sum.read += t.read;
    sum.update += t.update;
    sum.release += t.release;
  }
  const double n = static_cast<double>(outcome.times.size());
  const double bound_s = transfer_bound_s(s.image_bytes, s.interval_ms);
  const double bounds_s = bound_s * n;
  const double besides_s = sum.find + sum.connect + sum.read + sum.release;

  printf("updated:                    %d of %d\n", updated, s.devices);
  printf("total:                      %8.2f s\n", total_s);
  printf("transfers, sum:             %8.2f s  (%.3f s each)\n", sum.update, sum.update / n);
  printf("transfers' bounds, sum:     %8.2f s  (%.3f s each)\n", bounds_s, bound_s);
  printf("total / sum of transfers:   %8.3f\n", total_s / sum.update);
  printf("total / sum of bounds:      %8.3f\n", total_s / bounds_s);
  printf("transfers / their bounds:   %8.3f\n", sum.update / bounds_s);
  printf("per device, besides its transfer:\n");
  printf("  finding                   %8.3f s\n", sum.find / n);
  printf("  connecting                %8.3f s\n", sum.connect / n);
  printf("  reading                   %8.3f s\n", sum.read / n);
  printf("  releasing                 %8.3f s\n", sum.release / n);
  printf("  together                  %8.3f s  (%.1f %% of the total)\n", besides_s / n,
         100.0 * besides_s / total_s);
  printf("  the batch's own work      %8.3f s  (total less every phase, per device)\n",
         (total_s - besides_s - sum.update) / n);
  display.detach();
  std::string command = "rm -rf '" + folder + "'";
  return system(command.c_str()) == 0 && updated == s.devices ? 0 : 1;
}
