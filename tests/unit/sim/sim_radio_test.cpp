// The shared radio: links that update at once share its airtime as the
// model says, never two events on the air together, and the adapter's
// limits on connections.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "sim/radio_model.h"
#include "sim_client.h"
#include "tests/support/eventually.h"
#include "tests/support/radio_fleet.h"

namespace simtest {
namespace {

// How far measured frames per second may be from the model. A sanitizer
// slows every library thread and handler several times over on a two-core
// machine, so a status may reach the program, or its next write the
// library, an event later than the model has it; at 7.5 ms eight program
// threads then miss most of their 4.6 ms of slack, so that point is left
// to the plain build.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double TOLERANCE = 0.25;
constexpr bool SLOW_THREADS = true;
#else
constexpr double TOLERANCE = 0.10;
constexpr bool SLOW_THREADS = false;
#endif
// The machine is shared with other builds: a program thread woken a few ms
// late misses its link's event and loses a whole interval, which only ever
// slows a fleet down. A case is measured again, at most this many times in
// all, until a run comes within the tolerance; one faster than the model
// is never passed over.
constexpr int ATTEMPTS = 3;
constexpr auto WARM_UP = 400ms;
constexpr auto MEASURED = 2500ms;

using radio_fleet::mac_of;

struct fleet_case {
  int links;
  double interval_ms;
  int data_length;
  bool scanning = false;
};

// Frames per second of 1, 2, 4 and 8 links against the model, at 15 ms with
// data length extension, and 8 links at 7.5 ms without it, where write
// events of 6.5 ms push most events of the other links out. With a scanner
// running beside 4 links its windows take their share (the model's figure
// is a tenth lower than without); slowed threads on a loaded machine make
// a fleet's figure vary by more than that tenth, so that point too is the
// plain build's (the sanitizers' builds check the windows' share by the
// events they skip, in sim_line_test).
TEST(SimRadio, AFleetOfLinksSharesTheRadioAsTheModelSays) {
  std::vector<fleet_case> cases = {{1, 15, 251}, {2, 15, 251}, {4, 15, 251}, {8, 15, 251}};
  if (!SLOW_THREADS) {
    cases.push_back({8, 7.5, 27});
    cases.push_back({4, 15, 251, true});
  }
  for (const fleet_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.links) + " links, " + std::to_string(c.interval_ms) +
                 " ms, data length " + std::to_string(c.data_length) +
                 (c.scanning ? ", scanning" : ""));
    const double expected =
        sim::radio::model_frames_per_second(c.links, c.interval_ms, c.data_length, 20, c.scanning);
    std::vector<double> runs;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
      const radio_fleet::measurement measured =
          radio_fleet::run(c.links, c.interval_ms, c.data_length, WARM_UP, MEASURED, c.scanning);
      ASSERT_EQ(measured.error, "");
      runs.push_back(measured.frames_per_second);
      if (measured.frames_per_second >= expected * (1 - TOLERANCE)) break;
    }
    EXPECT_NEAR(runs.back(), expected, expected * TOLERANCE)
        << "frames per second, one run after another: " << testing::PrintToString(runs);
    EXPECT_EQ(warble_sim_counter("overlaps"), 0);
    EXPECT_EQ(warble_sim_counter("peak_links"), c.links);
    // Every link's airtime is part of the radio's, and nothing else is
    // (a scanner's windows are its own).
    EXPECT_EQ(warble_sim_counter("scan_windows") > 0, c.scanning);
    EXPECT_EQ(warble_sim_counter("scan_skipped_events") > 0, c.scanning);
    int64_t links_airtime = 0;
    for (int i = 0; i < c.links; ++i) {
      const int32_t own = warble_sim_counter(("airtime_us." + mac_of(i)).c_str());
      EXPECT_GT(own, 0);
      links_airtime += own;
    }
    EXPECT_EQ(links_airtime, warble_sim_counter("airtime_us"));
    if (c.links == 1) {
      EXPECT_EQ(warble_sim_counter("skipped_events"), 0);
    } else if (c.links == 8) {
      EXPECT_GT(warble_sim_counter("skipped_events"), 0);
    }
  }
}

// Deliveries land at the end of their packets: a frame's write reaches the
// device 2080 us (one packet of 250 bytes) after its event began, and 6220
// us (ten packets of at most 27 bytes, each answered) without data length
// extension; events fall on the link's own interval.
TEST(SimRadio, AWriteLandsAtTheEndOfItsPackets) {
  session fast, slow("C4:7C:8D:6A:3E:02");
  ASSERT_TRUE(
      fast.open("connection_interval_ms = 15\n[device]\n[device]\nmac = C4:7C:8D:6A:3E:02\n"
                "data_length = 27\nconnection_interval_ms = 30\n",
                {STATUS_UUID}));
  ASSERT_TRUE(slow.connect({STATUS_UUID}));
  const bytes packet_frame = frame(0xB4, bytes(240, 1));
  ASSERT_EQ(fast.device.send(packet_frame), 5);  // out of order, but on the air all the same
  ASSERT_EQ(slow.device.send(packet_frame), 5);
  ASSERT_EQ(warble_sim_write_count(UPDATE_UUID), 2);
  const int64_t fast_arrival = warble_sim_write_arrival_us(UPDATE_UUID, 0);
  const int64_t slow_arrival = warble_sim_write_arrival_us(UPDATE_UUID, 1);
  EXPECT_EQ(fast_arrival % 15000, 0);
  EXPECT_EQ(slow_arrival % 30000, 0);
  EXPECT_EQ(warble_sim_write_landed_us(UPDATE_UUID, 0) - fast_arrival, 2080);
  EXPECT_EQ(warble_sim_write_landed_us(UPDATE_UUID, 1) - slow_arrival, 6220);
}

// One connection is set up at a time and the adapter holds max_links; a
// scanner takes airtime that links' events give way to. With radio = ideal
// none of that holds.
TEST(SimRadio, TheAdapterSetsUpOneConnectionAtATimeUpToItsLimit) {
  for (const char* bad :
       {"radio = loud\n", "max_links = 0\n", "data_length = 26\n", "data_length = 252\n",
        "[device]\nradio = ideal\n", "restart_absent_ms = -2\n"})
    EXPECT_EQ(warble_sim_configure(bad), -1) << bad;
  // The interval is the world's before the first [device], the device's in one.
  EXPECT_EQ(warble_sim_configure("connection_interval_ms = 15\n[device]\n"
                                 "connection_interval_ms = 7.5\nmax_links = 3\n"),
            -1);
  EXPECT_EQ(warble_sim_configure("connection_interval_ms = 15\n[device]\n"
                                 "connection_interval_ms = 7.5\n"),
            0);
  ASSERT_EQ(warble_sim_configure(radio_fleet::world(3, 7.5, 251, "max_links = 2\n").c_str()), 0);
  const std::string macs[] = {mac_of(0), mac_of(1), mac_of(2)};
  connection first(macs[0].c_str()), second(macs[1].c_str()), third(macs[2].c_str());
  pending first_up, second_up;
  warble_gatt_connect_async(first.gatt, &first_up, pending::on_connect);
  warble_gatt_connect_async(second.gatt, &second_up, pending::on_connect);
  EXPECT_FALSE(first_up.wait().error);
  EXPECT_EQ(second_up.wait().error.value_or(""), "Another connection is being set up");
  EXPECT_EQ(warble_sim_counter("concurrent_setups"), 1);
  ASSERT_FALSE(second.connect().error);
  EXPECT_EQ(third.connect().error.value_or(""), "Too many connections");
  EXPECT_EQ(warble_sim_counter("peak_links"), 2);
  warble_gatt_disconnect(second.gatt);
  EXPECT_FALSE(third.connect().error);

  // Idle links skip nothing until a scanner runs.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(warble_sim_counter("skipped_events"), 0);
  warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult*) {});
  warble_scanner_start(0, nullptr);
  EXPECT_TRUE(eventually([] { return warble_sim_counter("skipped_events") >= 4; }));
  warble_scanner_stop();
  EXPECT_EQ(warble_sim_counter("overlaps"), 0);

  ASSERT_EQ(warble_sim_configure(
                radio_fleet::world(3, 7.5, 251, "radio = ideal\nmax_links = 2\n").c_str()),
            0);
  connection alone[] = {connection(macs[0].c_str()), connection(macs[1].c_str()),
                        connection(macs[2].c_str())};
  pending up[3];
  for (int i = 0; i < 3; ++i) warble_gatt_connect_async(alone[i].gatt, &up[i], pending::on_connect);
  for (auto& done : up) EXPECT_FALSE(done.wait().error);
  EXPECT_EQ(warble_sim_counter("live_links"), 3);
  EXPECT_EQ(warble_sim_counter("airtime_us"), 0);
}

}  // namespace
}  // namespace simtest
