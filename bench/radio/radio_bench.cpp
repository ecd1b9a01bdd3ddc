// The update's throughput on the shared radio: for each connection interval
// (7.5, 15, 30 ms) and data length (27, 251), 1, 2, 4 and 8 links each doing
// what the program does per frame, in real time on the stand-in library.
// Prints frames per second, the speed-up over one link, and the model's
// figures beside them. With --scanning a scanner runs beside the links, as
// on a station that keeps looking for devices, and the model's figures are
// those with its scan windows.
//
//   radio_bench [--seconds S] [--scanning]   (S: measured seconds per point,
//                                             default 3)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/radio_model.h"
#include "tests/support/radio_fleet.h"

int main(int argc, char** argv) {
  double seconds = 3;
  bool scanning = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--scanning") == 0) scanning = true;
  }
  const auto measured = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  const auto warm_up = std::chrono::milliseconds(400);
  std::printf("%8s %6s %3s %10s %8s %10s %8s %8s %9s %8s\n", "interval", "length", "N", "frames/s",
              "speed-up", "model f/s", "model x", "off", "airtime", "skipped");
  for (double interval : {7.5, 15.0, 30.0}) {
    for (int data_length : {27, 251}) {
      double one = 0, model_one = 0;
      for (int links : {1, 2, 4, 8}) {
        radio_fleet::measurement m =
            radio_fleet::run(links, interval, data_length, warm_up, measured, scanning);
        if (!m.error.empty()) {
          std::fprintf(stderr, "radio_bench: %g ms, %d, %d links: %s\n", interval, data_length,
                       links, m.error.c_str());
          return 1;
        }
        double model =
            sim::radio::model_frames_per_second(links, interval, data_length, 20, scanning);
        if (links == 1) {
          one = m.frames_per_second;
          model_one = model;
        }
        // The radio's share taken by the links over the whole run.
        double total_s = std::chrono::duration<double>(warm_up + measured).count();
        double airtime = warble_sim_counter("airtime_us") / 1e6 / total_s;
        std::printf("%6.1fms %6d %3d %10.1f %7.2fx %10.1f %7.2fx %+7.1f%% %8.0f%% %8d\n", interval,
                    data_length, links, m.frames_per_second, m.frames_per_second / one, model,
                    model / model_one, 100 * (m.frames_per_second / model - 1), 100 * airtime,
                    warble_sim_counter("skipped_events"));
        if (warble_sim_counter("overlaps") != 0) {
          std::fprintf(stderr, "radio_bench: %d overlaps\n", warble_sim_counter("overlaps"));
          return 1;
        }
      }
    }
  }
  return 0;
}
