// Figures for the BlueZ backend, not a pass/fail test: an update of the
// same image to the same simulated device, once through the loaded library
// (the stand-in, in this process) and once through the backend (D-Bus to a
// fake bluetoothd serving that device), in real time:
//  - the packet phase's ratio to the stop-and-wait bound at connection
//    intervals of 7.5, 15 and 30 ms, one cycle being (1 + ceil(10 / CI)) x CI
//    per packet (the frame, its reply, the 10 ms pause);
//  - at interval 0 (the device answers at once), the time per packet beyond
//    the 10 ms pause: the path's own cost per frame, of which the backend's
//    D-Bus round trips (the frame's write, the PropertiesChanged of the
//    reply) are the difference between the two.
// The backend runs twice: with the write socket BlueZ offers (AcquireWrite:
// the frames skip the bus) and with WriteValue a frame, as where BlueZ
// offers none.
// Usage: bluez_bench [--image-kib N] (default 48).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "sim/warble_sim.h"
#include "tests/bluez/private_bus.h"

namespace {

constexpr const char* MAC = "C4:7C:8D:6A:3E:01";
constexpr const char* UPDATE_UUID = "fabbe008-4910-473c-be46-960948c2f59c";
constexpr uint32_t PACKET_BYTES = 240;
constexpr double PACKET_PAUSE_MS = 10;

struct figures {
  bool ok = false;
  uint32_t packets = 0;
  double phase_s = 0;  // first packet to last packet
};

std::string scenario(double interval_ms) {
  char text[256];
  snprintf(text, sizeof text,
           "radio = ideal\nconnection_interval_ms = %.1f\n[device]\nmac = %s\nname = TAVREN "
           "RD\ncommand_busy_ms = 5\n",
           interval_ms, MAC);
  return text;
}

int run_cli(std::vector<std::string> words) {
  words.insert(words.begin(), "tavren-update");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  return cli_main(static_cast<int>(argv.size() - 1), argv.data(),
                  cli_streams{out, err, false, false});
}

// The stand-in keeps when each write reached the device.
figures library_path(const std::string& image, double interval_ms) {
  figures f;
  if (warble_sim_configure(scenario(interval_ms).c_str()) != 0) return f;
  f.ok = run_cli({"--ble-library", WARBLE_LIBRARY_FILE, "--quiet", "update", MAC, image}) == 0;
  int64_t first = -1, last = -1;
  const int32_t writes = warble_sim_write_count(UPDATE_UUID);
  for (int32_t i = 0; i < writes; ++i) {
    uint8_t head[4] = {};
    if (warble_sim_write_at(UPDATE_UUID, i, head, sizeof head) < 1 || head[0] != 0xB4) continue;
    const int64_t at = warble_sim_write_arrival_us(UPDATE_UUID, i);
    if (first < 0) first = at;
    last = at;
    f.packets += 1;
  }
  f.phase_s = (last - first) / 1e6;
  return f;
}

// The fake keeps when the first and the last packet reached it.
figures backend_path(const std::string& image, double interval_ms, uint32_t packets,
                     bool acquire_write) {
  figures f;
  std::vector<std::string> flags;
  if (!acquire_write) flags.emplace_back("--no-acquire-write");
  private_bus bus(fake_bluez_options{scenario(interval_ms), flags, true, false});
  if (!bus.ok()) {
    fprintf(stderr, "%s\n", bus.problem().c_str());
    return f;
  }
  f.ok = run_cli({"--ble-library", "bluez", "--quiet", "update", MAC, image}) == 0;
  for (const transfer_window& w : bus.transfers())
    if (w.mac == MAC) f.phase_s = (w.last_us - w.first_us) / 1e6;
  f.packets = packets;
  return f;
}

void print(const char* path, double interval_ms, const figures& f) {
  const double gaps = f.packets > 1 ? f.packets - 1 : 1;
  const double per_packet_ms = f.phase_s * 1000 / gaps;
  if (interval_ms == 0) {
    printf("%-11s CI  0   : %7.2f ms a packet, %6.2f ms beyond the 10 ms pause%s\n", path,
           per_packet_ms, per_packet_ms - PACKET_PAUSE_MS, f.ok ? "" : "  (FAILED)");
    return;
  }
  const double cycle_ms = (1 + std::ceil(PACKET_PAUSE_MS / interval_ms)) * interval_ms;
  printf("%-11s CI %4.1f : %7.2f ms a packet, bound %5.1f ms: %5.1f %% of the bound, %6.0f B/s%s\n",
         path, interval_ms, per_packet_ms, cycle_ms, 100.0 * cycle_ms / per_packet_ms,
         PACKET_BYTES * 1000.0 / per_packet_ms, f.ok ? "" : "  (FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t kib = 48;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--image-kib") == 0) kib = static_cast<uint32_t>(atoi(argv[i + 1]));
  char folder[] = "/tmp/bluez-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string image = std::string(folder) + "/image.bin";
  std::vector<char> bytes(kib * 1024);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 7);
  std::ofstream(image, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  printf("image %u KiB; the packet phase (first to last 0xB4 frame at the device), real time\n",
         kib);
  double cost[3] = {0, 0, 0};
  for (double interval_ms : {0.0, 7.5, 15.0, 30.0}) {
    const figures library = library_path(image, interval_ms);
    const figures by_socket = backend_path(image, interval_ms, library.packets, true);
    const figures by_bus = backend_path(image, interval_ms, library.packets, false);
    print("library", interval_ms, library);
    print("bluez", interval_ms, by_socket);
    print("bluez-dbus", interval_ms, by_bus);
    if (interval_ms == 0 && library.packets > 1) {
      cost[0] = library.phase_s * 1000 / (library.packets - 1);
      cost[1] = by_socket.phase_s * 1000 / (library.packets - 1);
      cost[2] = by_bus.phase_s * 1000 / (library.packets - 1);
    }
    fflush(stdout);
  }
  printf(
      "the backend's own cost a frame beyond the loaded library's: %.2f ms writing through "
      "the socket (AcquireWrite), %.2f ms with WriteValue (D-Bus through dbus-daemon and "
      "bluetoothd; the reply's PropertiesChanged in both)\n",
      cost[1] - cost[0], cost[2] - cost[0]);
  const std::string remove = std::string("rm -rf '") + folder + "'";
  return system(remove.c_str()) == 0 ? 0 : 1;
}
