// Figures for a batch, not a pass/fail test: simulated devices updated with
// one image, in real time, through the command line's batch itself.
//
//   batch_bench [--devices N] [--image-kib K] [--interval-ms CI]
//               [--data-length L] [--parallel P]
//       One batch: its total time against the sum of its transfers and of
//       the transfers' bounds, and what each device costs besides its
//       transfer (finding, connecting, reading, releasing).
//   batch_bench --compare [--devices 8] [--parallel 8] [--image-kib K] ...
//       The same world one device after another, then P at once, in one
//       process, on the shared radio (15 ms, data length extension unless
//       told otherwise): fleet kB/s, the wall-clock and the transfer-phase
//       ratios, the radio's use; ends with the fleet speed-up line.
//   batch_bench --matrix [--image-kib K]
//       For each connection interval (7.5, 15, 30 ms) x data length (27,
//       251) x N (1, 2, 4, 8): the transfer phase of N devices at once
//       against N transfers one after another, beside the radio model's
//       figure. (The transfer phase also holds what the radio does not pace:
//       the pause before the finish handshake, the settle after it, and the
//       one-at-a-time connection set-ups; an image of 64 KiB keeps them
//       small beside the packets.)
//   batch_bench --listed [--parallel P]
//       What a long device list costs: for 100, 1000 and 10 000 listed
//       devices of which one is present (a search of 2 s finds it), the time
//       from the start to its transfer and the process's CPU time per listed
//       device, with a report; then a resume of 3000 carried rows and 300
//       absent devices, without a report.
// Per packet one device's cycle is (1 + ceil(10 / CI)) x CI: the write
// waits for a connection event, the reply for the next one, the 10 ms
// pause for the one after it.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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
#include "cli/console_display.h"
#include "device/firmware_update.h"
#include "fleet/batch.h"
#include "fleet/image_file.h"
#include "fleet/report.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "sim/radio_model.h"
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
  int data_length = 251;
  int parallel = 1;
  bool compare = false;
  bool matrix = false;
  bool listed = false;
};

bool parse(int argc, char** argv, settings& s) {
  bool devices_given = false, interval_given = false, parallel_given = false;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!strcmp(argv[i], "--compare")) {
      s.compare = true;
    } else if (!strcmp(argv[i], "--matrix")) {
      s.matrix = true;
    } else if (!strcmp(argv[i], "--listed")) {
      s.listed = true;
    } else if (!strcmp(argv[i], "--devices") && has_value) {
      s.devices = atoi(argv[++i]);
      devices_given = true;
    } else if (!strcmp(argv[i], "--image-kib") && has_value) {
      s.image_bytes = static_cast<size_t>(atoi(argv[++i])) * 1024;
    } else if (!strcmp(argv[i], "--interval-ms") && has_value) {
      s.interval_ms = atof(argv[++i]);
      interval_given = true;
    } else if (!strcmp(argv[i], "--data-length") && has_value) {
      s.data_length = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--parallel") && has_value) {
      s.parallel = atoi(argv[++i]);
      parallel_given = true;
    } else {
      return false;
    }
  }
  if (s.listed && !parallel_given) s.parallel = 2;
  if (s.compare) {
    if (!devices_given) s.devices = 8;
    if (!parallel_given) s.parallel = 8;
    if (!interval_given) s.interval_ms = 15;
  }
  return s.devices > 0 && s.devices < 256 && s.interval_ms >= 0 && s.parallel >= 1 &&
         s.parallel <= PARALLEL_MAX && s.data_length >= 27 && s.data_length <= 251;
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

// A folder with the image and a device list, and the stand-in's world of
// devices on one shared radio.
struct bench_world {
  std::string folder;
  std::string image;
  std::string devices;

  bool make(const settings& s) {
    char dir[] = "/tmp/batch-bench-XXXXXX";
    if (!mkdtemp(dir)) return false;
    folder = dir;
    image = folder + "/image.bin";
    devices = folder + "/devices.txt";
    std::string bytes(s.image_bytes, '\0');
    std::mt19937 random(7);
    for (char& byte : bytes) byte = static_cast<char>(random());
    std::ofstream(image, std::ios::binary) << bytes;
    return true;
  }

  bool configure(const settings& s) const {
    std::string world =
        "seed = 11\nradio = shared\nconnection_interval_ms = " + std::to_string(s.interval_ms) +
        "\n";
    std::ofstream list(devices);
    for (int i = 0; i < s.devices; ++i) {
      world += "[device]\nmac = " + mac_of(i) +
               "\nname = TAVREN RD\ndata_length = " + std::to_string(s.data_length) + "\n";
      list << mac_of(i) << '\n';
    }
    if (warble_sim_configure(world.c_str()) != 0) {
      fprintf(stderr, "batch_bench: %s\n", warble_sim_error());
      return false;
    }
    return true;
  }

  ~bench_world() {
    if (folder.empty()) return;
    const std::string command = "rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "batch_bench: %s stays\n", folder.c_str());
  }
};

struct batch_figures {
  double total_s = 0;
  int updated = 0;
  phase_times sum;
  double transfer_phase_s = 0;  // first transfer's start to the last one's end
  // The packets, which the radio paces: first packet of any device to the
  // last of any, and each device's own summed.
  double packet_phase_s = 0;
  double packets_sum_s = 0;
  size_t devices = 0;
  double airtime_share = 0;  // of the radio, over the whole batch
  int skipped_events = 0;
};

bool run_batch(const bench_world& world, const settings& s, console_display& display,
               batch_figures& figures) {
  if (!world.configure(s)) return false;
  batch_options options;
  options.image = world.image;
  options.devices_file = world.devices;
  options.report_path = world.folder + "/report.json";
  options.parallel = s.parallel;
  batch_run batch(options);
  command_failure failure;
  if (!batch.prepare(failure) || !batch.open_report(failure)) {
    fprintf(stderr, "batch_bench: %s\n", failure.message.c_str());
    return false;
  }
  console_fleet_output output(false);
  const steady::time_point start = steady::now();
  const batch_outcome outcome = batch.run(display, output);
  figures.total_s = std::chrono::duration<double>(steady::now() - start).count();
  // Program time wraps at 2^32 ms: spans are taken as unsigned differences
  // from the earliest start.
  uint32_t first_began = 0, last_ended = 0, first_packet = 0, last_packet = 0;
  bool any = false, any_packet = false;
  for (const device_row& row : outcome.report.rows)
    figures.updated += row.result == device_result::ok;
  for (const phase_times& t : outcome.times) {
    figures.sum.find += t.find;
    figures.sum.connect += t.connect;
    figures.sum.read += t.read;
    figures.sum.update += t.update;
    figures.sum.release += t.release;
    if (t.transfer_ended_ms != 0) {
      if (!any || static_cast<int32_t>(t.transfer_began_ms - first_began) < 0)
        first_began = t.transfer_began_ms;
      if (!any || static_cast<int32_t>(t.transfer_ended_ms - last_ended) > 0)
        last_ended = t.transfer_ended_ms;
      any = true;
    }
    if (t.last_packet_ms != 0) {
      figures.packets_sum_s += static_cast<uint32_t>(t.last_packet_ms - t.first_packet_ms) / 1000.0;
      if (!any_packet || static_cast<int32_t>(t.first_packet_ms - first_packet) < 0)
        first_packet = t.first_packet_ms;
      if (!any_packet || static_cast<int32_t>(t.last_packet_ms - last_packet) > 0)
        last_packet = t.last_packet_ms;
      any_packet = true;
    }
  }
  figures.devices = outcome.times.size();
  figures.transfer_phase_s = any ? static_cast<uint32_t>(last_ended - first_began) / 1000.0 : 0;
  figures.packet_phase_s =
      any_packet ? static_cast<uint32_t>(last_packet - first_packet) / 1000.0 : 0;
  figures.airtime_share = warble_sim_counter("airtime_us") / 1e6 / figures.total_s;
  figures.skipped_events = warble_sim_counter("skipped_events");
  if (warble_sim_counter("overlaps") != 0) {
    fprintf(stderr, "batch_bench: the radio carried two events at once\n");
    return false;
  }
  return true;
}

double fleet_kb_per_s(const settings& s, const batch_figures& f) {
  return s.devices * static_cast<double>(s.image_bytes) / f.total_s / 1000.0;
}

int one_batch(const bench_world& world, const settings& s, console_display& display) {
  printf(
      "batch of %d devices, %zu-byte image, connection interval %.1f ms, %d at once "
      "(real time)\n",
      s.devices, s.image_bytes, s.interval_ms, s.parallel);
  fflush(stdout);
  batch_figures f;
  if (!run_batch(world, s, display, f)) return 1;
  const double n = static_cast<double>(f.devices);
  const double bound_s = transfer_bound_s(s.image_bytes, s.interval_ms);
  const double bounds_s = bound_s * n;
  const double besides_s = f.sum.find + f.sum.connect + f.sum.read + f.sum.release;
  printf("updated:                    %d of %d\n", f.updated, s.devices);
  printf("total:                      %8.2f s  (fleet %.1f kB/s)\n", f.total_s,
         fleet_kb_per_s(s, f));
  printf("transfers, sum:             %8.2f s  (%.3f s each)\n", f.sum.update, f.sum.update / n);
  printf("transfers' bounds, sum:     %8.2f s  (%.3f s each)\n", bounds_s, bound_s);
  printf("total / sum of transfers:   %8.3f\n", f.total_s / f.sum.update);
  printf("total / sum of bounds:      %8.3f\n", f.total_s / bounds_s);
  printf("transfers / their bounds:   %8.3f\n", f.sum.update / bounds_s);
  printf("per device, besides its transfer:\n");
  printf("  finding                   %8.3f s\n", f.sum.find / n);
  printf("  connecting                %8.3f s\n", f.sum.connect / n);
  printf("  reading                   %8.3f s\n", f.sum.read / n);
  printf("  releasing                 %8.3f s\n", f.sum.release / n);
  printf("  together                  %8.3f s  (%.1f %% of the total)\n", besides_s / n,
         100.0 * besides_s / f.total_s);
  return f.updated == s.devices ? 0 : 1;
}

// The transfer phase of N devices at once against the same transfers one
// after another, in multiples: the fleet's transfer speed-up; whole (with
// the pause before the finish handshake and the settle after it, which
// overlap freely), and its packets alone, which the radio paces and the
// model describes.
double transfer_ratio(const batch_figures& in_turn, const batch_figures& at_once) {
  return at_once.transfer_phase_s > 0 ? in_turn.sum.update / at_once.transfer_phase_s : 0;
}

double packet_ratio(double one_device_packets_s, const batch_figures& at_once) {
  return at_once.packet_phase_s > 0 ? one_device_packets_s / at_once.packet_phase_s : 0;
}

double model_ratio(const settings& s) {
  return sim::radio::model_frames_per_second(s.parallel, s.interval_ms, s.data_length) /
         sim::radio::model_frames_per_second(1, s.interval_ms, s.data_length);
}

int compare(const bench_world& world, const settings& s, console_display& display) {
  settings sequential = s;
  sequential.parallel = 1;
  printf(
      "%d devices, %zu-byte image, connection interval %.1f ms, data length %d, radio "
      "shared: one after another, then %d at once (real time)\n",
      s.devices, s.image_bytes, s.interval_ms, s.data_length, s.parallel);
  fflush(stdout);
  batch_figures in_turn, at_once;
  if (!run_batch(world, sequential, display, in_turn) || !run_batch(world, s, display, at_once))
    return 1;
  for (const auto& [name, f] : {std::pair<const char*, const batch_figures&>{"in turn", in_turn},
                                std::pair<const char*, const batch_figures&>{"at once", at_once}}) {
    printf(
        "%-8s total %7.2f s, fleet %6.1f kB/s, transfer phase %7.2f s, radio %4.1f %% busy, "
        "%d events skipped, %d of %d updated\n",
        name, f.total_s, fleet_kb_per_s(s, f), &f == &in_turn ? f.sum.update : f.transfer_phase_s,
        100 * f.airtime_share, f.skipped_events, f.updated, s.devices);
  }
  const double transfers = transfer_ratio(in_turn, at_once);
  const double packets = packet_ratio(in_turn.packets_sum_s, at_once);
  const double model = model_ratio(s);
  printf("wall-clock ratio      %5.2f\n", in_turn.total_s / at_once.total_s);
  printf("transfer-phase ratio  %5.2f  (whole transfers)\n", transfers);
  printf("packet-phase ratio    %5.2f  (model %.2f, %+.1f %%)\n", packets, model,
         100 * (packets / model - 1));
  printf(
      "fleet speed-up %.2f (sequential %.1f s, parallel %.1f s, %d devices, CI %g ms, radio "
      "shared)\n",
      in_turn.total_s / at_once.total_s, in_turn.total_s, at_once.total_s, s.devices,
      s.interval_ms);
  return in_turn.updated == s.devices && at_once.updated == s.devices ? 0 : 1;
}

int matrix(const bench_world& world, const settings& base, console_display& display) {
  printf(
      "%zu-byte image, transfer phase of N devices at once against N one after another, "
      "whole and its packets alone (real time)\n",
      base.image_bytes);
  printf("%8s %6s %3s %10s %10s %8s %10s %10s %8s %8s %8s\n", "interval", "length", "N", "one (s)",
         "N (s)", "ratio", "packets 1", "packets N", "ratio", "model", "off");
  for (double interval : {7.5, 15.0, 30.0}) {
    for (int data_length : {27, 251}) {
      double one_s = 0, one_packets_s = 0;
      for (int n : {1, 2, 4, 8}) {
        settings s = base;
        s.interval_ms = interval;
        s.data_length = data_length;
        s.devices = n;
        s.parallel = n;
        batch_figures f;
        if (!run_batch(world, s, display, f) || f.updated != n) return 1;
        if (n == 1) {
          one_s = f.sum.update;
          one_packets_s = f.packets_sum_s;
        }
        const double ratio = n * one_s / f.transfer_phase_s;
        const double packets = packet_ratio(n * one_packets_s, f);
        const double model = model_ratio(s);
        printf("%6.1fms %6d %3d %10.2f %10.2f %7.2fx %10.2f %10.2f %7.2fx %7.2fx %+7.1f%%\n",
               interval, data_length, n, one_s, f.transfer_phase_s, ratio, one_packets_s,
               f.packet_phase_s, packets, model, 100 * (packets / model - 1));
        fflush(stdout);
      }
    }
  }
  return 0;
}

// The process's CPU time so far, user and system, in seconds.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string listed_mac(int index) {
  char mac[24];
  snprintf(mac, sizeof mac, "C4:7C:%02X:%02X:%02X:%02X", (index >> 24) & 0xFF, (index >> 16) & 0xFF,
           (index >> 8) & 0xFF, index & 0xFF);
  return mac;
}

struct list_figures {
  double first_transfer_s = -1;  // from the start of the batch
  double cpu_s = 0;
  int updated = 0;
};

// `listed` devices in the list, the first of them the only one present;
// `carried` more rows of an earlier report of this image before them.
bool run_listed(const bench_world& world, const settings& s, int listed, int carried,
                bool with_report, console_display& display, list_figures& figures) {
  const std::string present = listed_mac(0);
  if (warble_sim_configure(("seed = 11\nradio = shared\nconnection_interval_ms = 7.5\n"
                            "[device]\nmac = " +
                            present + "\nname = TAVREN RD\n")
                               .c_str()) != 0)
    return false;
  std::ofstream list(world.devices);
  for (int i = 0; i < listed; ++i) list << listed_mac(i) << '\n';
  list.close();
  batch_options options;
  options.image = world.image;
  options.devices_file = world.devices;
  options.parallel = s.parallel;
  options.seconds = 2;
  if (with_report) options.report_path = world.folder + "/report.json";
  if (carried > 0) {
    image_facts image;
    std::string code, reason;
    if (!inspect_image(world.image, image, code, reason)) return false;
    batch_report earlier;
    earlier.image = report_image{world.image, "image.bin", image.bytes, image.crc32, true};
    for (int i = 0; i < carried; ++i) {
      device_row row;
      row.mac = listed_mac(1000000 + i);
      row.result = device_result::ok;
      row.attempts = 1;
      earlier.rows.push_back(row);
    }
    options.resume_path = world.folder + "/earlier.json";
    std::ofstream(options.resume_path) << json_text(report_json(earlier));
  }
  batch_run batch(options);
  command_failure failure;
  if (!batch.prepare(failure) || !batch.open_report(failure)) {
    fprintf(stderr, "batch_bench: %s\n", failure.message.c_str());
    return false;
  }
  console_fleet_output output(false);
  const double cpu_before = cpu_seconds();
  const uint32_t start_ms = tick_count_ms();
  const batch_outcome outcome = batch.run(display, output);
  figures.cpu_s = cpu_seconds() - cpu_before;
  for (const phase_times& t : outcome.times) {
    if (t.transfer_began_ms != 0)
      figures.first_transfer_s = static_cast<uint32_t>(t.transfer_began_ms - start_ms) / 1000.0;
  }
  for (const device_row& row : outcome.report.rows)
    figures.updated += row.result == device_result::ok;
  return true;
}

int long_lists(const bench_world& world, const settings& s, console_display& display) {
  printf("long device lists, one device present, %d at once, a search of 2 s (real time)\n",
         s.parallel);
  printf("%8s %8s %10s %14s %16s\n", "listed", "carried", "report", "first transfer",
         "CPU per device");
  struct run_kind {
    int listed, carried;
    bool report;
  };
  for (const run_kind& kind : {run_kind{100, 0, true}, run_kind{1000, 0, true},
                               run_kind{10000, 0, true}, run_kind{300, 3000, false}}) {
    list_figures f;
    if (!run_listed(world, s, kind.listed, kind.carried, kind.report, display, f) || f.updated < 1)
      return 1;
    printf("%8d %8d %10s %12.2f s %13.1f us\n", kind.listed, kind.carried,
           kind.report ? "yes" : "no", f.first_transfer_s,
           1e6 * f.cpu_s / (kind.listed + kind.carried));
    fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  settings s;
  if (!parse(argc, argv, s)) {
    fprintf(stderr,
            "usage: batch_bench [--compare | --matrix | --listed] [--devices N] [--image-kib K] "
            "[--interval-ms CI] [--data-length L] [--parallel P]\n");
    return 2;
  }
  bench_world world;
  if (!world.make(s)) return 1;

  trace_set_stream(nullptr);
  std::string error;
  if (!ble_api_load(nullptr, error)) {
    fprintf(stderr, "batch_bench: %s\n", error.c_str());
    return 1;
  }
  std::ostream nowhere(nullptr);
  console_display& display = console_display::instance();
  display.attach(nowhere, progress_style::none, true);
  const int status = s.matrix    ? matrix(world, s, display)
                     : s.compare ? compare(world, s, display)
                     : s.listed  ? long_lists(world, s, display)
                                 : one_batch(world, s, display);
  display.detach();
  return status;
}
