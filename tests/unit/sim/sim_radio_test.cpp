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

using radio_fleet::mac_of;

// The fleet runs on the driven clock: every frame is written, carried and
// answered at its simulated moment, so the figure is the scheduler's own,
// the same on every run, and a loaded machine only makes the test take
// longer. Against the model it may be off by what the setup leaves (the
// links come up one after another, at anchors the adapter picks), within
// half a percent, and by the window: it counts each link's frames to
// within one.
constexpr double SETUP_TOLERANCE = 0.005;
constexpr auto WARM_UP = 500ms;
constexpr auto MEASURED = 4s;

// The clock is driven while it lives; the world it leaves is the default one
// in real time, whatever way the test ends.
struct driven_time {
  driven_time() { EXPECT_EQ(warble_sim_drive_clock(1), 0); }
  ~driven_time() {
    EXPECT_EQ(warble_sim_drive_clock(0), 0);
    EXPECT_EQ(warble_sim_configure(""), 0);
  }
};

struct fleet_case {
  int links;
  double interval_ms;
  int data_length;
  bool scanning = false;
};

// Frames per second of 1, 2, 4 and 8 links against the model at 15 ms with
// data length extension, and of 8 links at 7.5 ms, with it and without it
// (where write events of 6.5 ms push most events of the other links out),
// and at 30 ms, where they all fit; and of 4 links beside a scanner, whose
// windows take their share (the model's figure is about a tenth lower).
TEST(SimRadio, AFleetOfLinksSharesTheRadioAsTheModelSays) {
  driven_time driven;
  const std::vector<fleet_case> cases = {{1, 15, 251}, {2, 15, 251},      {4, 15, 251},
                                         {8, 15, 251}, {8, 7.5, 27},      {8, 7.5, 251},
                                         {8, 30, 251}, {4, 15, 251, true}};
  for (const fleet_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.links) + " links, " + std::to_string(c.interval_ms) +
                 " ms, data length " + std::to_string(c.data_length) +
                 (c.scanning ? ", scanning" : ""));
    const double expected =
        sim::radio::model_frames_per_second(c.links, c.interval_ms, c.data_length, 20, c.scanning);
    radio_fleet::driven_fleet fleet;
    const radio_fleet::measurement measured =
        fleet.run(c.links, c.interval_ms, c.data_length, WARM_UP, MEASURED, c.scanning);
    ASSERT_EQ(measured.error, "");
    const double window_s = std::chrono::duration<double>(MEASURED).count();
    EXPECT_NEAR(measured.frames_per_second, expected,
                expected * SETUP_TOLERANCE + c.links / window_s);
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
    // Events are skipped exactly where the model has the fleet fall short
    // of as many times one link.
    const double alone = sim::radio::model_frames_per_second(1, c.interval_ms, c.data_length);
    if (expected > c.links * alone * 0.999) {
      EXPECT_EQ(warble_sim_counter("skipped_events"), 0);
    } else {
      EXPECT_GT(warble_sim_counter("skipped_events"), 0);
    }
  }
}

// Driven time moves only in the test's steps, one moment at a time: a step
// stops at the next thing due (a link coming up one interval after the
// connect, a write's reply), runs it there and returns once its handler
// did; a step to a moment with nothing due leaves the clock there. The
// scanner, which keeps real time, waits for the clock to be real again.
TEST(SimRadio, ADrivenClockMovesOnlyInTheTestsSteps) {
  driven_time driven;
  ASSERT_EQ(warble_sim_configure("connection_interval_ms = 15\n"), 0);
  connection link;
  pending up;
  const int64_t start = warble_sim_clock_us();
  warble_gatt_connect_async(link.gatt, &up, pending::on_connect);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(warble_sim_clock_us(), start);
  EXPECT_FALSE(up.wait(0ms).arrived);
  // A step short of the link's anchor holds there; the next one reaches it.
  EXPECT_EQ(warble_sim_advance_clock(start + 14999), start + 14999);
  EXPECT_FALSE(up.wait(0ms).arrived);
  EXPECT_EQ(warble_sim_advance_clock(start + 1000000), start + 15000);
  const outcome connected = up.wait(0ms);
  ASSERT_TRUE(connected.arrived);
  EXPECT_FALSE(connected.error);

  // Subscribed, a packet frame written now goes in the link's next event
  // (at 30 ms) and its status comes one interval later, 382 us into that
  // event; nothing happens on the way there but idle events.
  pending enabled;
  warble_gattchar_enable_notifications_async(link.find(STATUS_UUID), &enabled, pending::on_done);
  while (!enabled.wait(0ms).arrived) ASSERT_GT(warble_sim_advance_clock(start + 1000000), 0);
  notification_log statuses;
  warble_gattchar_on_notification_received(link.find(STATUS_UUID), &statuses,
                                           notification_log::on_notification);
  const int64_t written = warble_sim_clock_us();
  const bytes start_frame = frame(
      sim::UPD_CMD_START, bytes(std::begin(sim::UPD_START_TOKEN), std::end(sim::UPD_START_TOKEN)));
  warble_gattchar_write_without_resp_async(link.find(UPDATE_UUID), start_frame.data(),
                                           static_cast<uint8_t>(start_frame.size()), nullptr,
                                           nullptr);
  int64_t now = written;
  while (statuses.size() == 0 && now >= 0 && now < written + 1000000)
    now = warble_sim_advance_clock(written + 1000000);
  ASSERT_EQ(statuses.size(), 1u);
  const int64_t event = written - start + 15000 - (written - start) % 15000;
  EXPECT_EQ(now - start, event + 15000 + 382);
  EXPECT_EQ(statuses.wait_for(1)[0].value, bytes({sim::UPD_STATUS_ACCEPTED, sim::UPD_CMD_START}));

  // A scanner reports nothing in driven time (its rounds follow the steady
  // clock), but its windows take the radio there.
  warble_scanner_start(0, nullptr);
  EXPECT_NE(std::string(warble_sim_error()).find("the clock is driven"), std::string::npos);
  EXPECT_EQ(warble_sim_counter("scan_starts"), 1);
  const int64_t second_later = now + 1000000;
  while (now >= 0 && now < second_later) now = warble_sim_advance_clock(second_later);
  EXPECT_GE(warble_sim_counter("scan_windows"), 9);
  warble_scanner_stop();
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
