// A production line on the stand-in: devices that come into range and go
// while the world runs, and a station that keeps scanning while its links
// carry transfers on the shared radio. Times are checked from below only (a
// device never turns up or goes early); a late library thread only makes
// things happen later, which no case here counts on.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

constexpr const char* SECOND_MAC = "C4:7C:8D:6A:3E:02";
constexpr const char* THIRD_MAC = "C4:7C:8D:6A:3E:03";
constexpr uint8_t LINK_DROP_STATUS = 0x08;

std::string not_found(const std::string& mac) {
  return "No device found with address " + mac;
}

bytes pattern(size_t size, uint8_t seed) {
  bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * seed + (i >> 8));
  return image;
}

// The address of the index-th [device] of a scenario that names none.
std::string mac_of(int index) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "C4:7C:8D:6A:3E:%02X", index + 1);
  return mac;
}

std::chrono::milliseconds since(clock::time_point from, clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from);
}

// What the scanner reported: how often each address, and when and in which
// order each was first seen. New addresses also queue for a station.
class sightings {
 public:
  struct first_sight {
    clock::time_point when;
    size_t order;
  };

  static void on_result(void* context, const WarbleScanResult* result) {
    auto* self = static_cast<sightings*>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    const std::string mac = result->mac;
    if (self->reports_[mac]++ == 0) {
      self->first_[mac] = {clock::now(), self->first_.size()};
      self->fresh_.push_back(mac);
      self->arrived_.notify_all();
    }
  }
  int of(const std::string& mac) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = reports_.find(mac);
    return found == reports_.end() ? 0 : found->second;
  }
  std::optional<first_sight> first(const std::string& mac) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = first_.find(mac);
    if (found == first_.end()) return std::nullopt;
    return found->second;
  }
  // The next address not seen before, in the order they were seen.
  std::optional<std::string> next_fresh(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> held(lock_);
    if (!arrived_.wait_for(held, limit, [&] { return !fresh_.empty(); })) return std::nullopt;
    std::string mac = fresh_.front();
    fresh_.pop_front();
    return mac;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    reports_.clear();
    first_.clear();
    fresh_.clear();
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::map<std::string, int> reports_;
  std::map<std::string, first_sight> first_;
  std::deque<std::string> fresh_;
};

// Scans into `seen` for as long as it lives.
class scanning {
 public:
  explicit scanning(sightings& seen) {
    warble_scanner_set_handler(&seen, sightings::on_result);
    warble_scanner_start(0, nullptr);
  }
  ~scanning() { warble_scanner_stop(); }
  scanning(const scanning&) = delete;
  scanning& operator=(const scanning&) = delete;
};

// Configures `scenario`, noting a moment no later than the configure.
testing::AssertionResult configure(const std::string& scenario, clock::time_point& before) {
  before = clock::now();
  if (warble_sim_configure(scenario.c_str()) != 0)
    return testing::AssertionFailure() << "scenario refused: " << warble_sim_error();
  return testing::AssertionSuccess();
}

TEST(SimPresence, ScenarioKeysAndTheDevicesInRangeAtTheConfigure) {
  for (const char* bad :
       {"appears_after_ms = -1\n", "appears_after_ms = soon\n", "present_for_ms = -2\n",
        "arrivals_every_ms = -5\n", "[device]\narrivals_every_ms = 10\n"})
    EXPECT_EQ(warble_sim_configure(bad), -1) << bad;
  // The defaults: every device in range from the start and for ever.
  ASSERT_EQ(warble_sim_configure("flood = 5\n[device]\n[device]\n"), 0);
  EXPECT_EQ(warble_sim_counter("arrivals"), 2);  // the flood is not counted
  EXPECT_EQ(warble_sim_counter("departures"), 0);
  // The first of the world's arrivals is there at once; a device's own
  // appears_after_ms wins over its place; the others come far later.
  ASSERT_EQ(warble_sim_configure("arrivals_every_ms = 600000\npresent_for_ms = 600000\n"
                                 "[device]\n[device]\n[device]\nappears_after_ms = 0\n"),
            0);
  EXPECT_EQ(warble_sim_counter("arrivals"), 2);
  connection second(SECOND_MAC), third(THIRD_MAC), first;
  EXPECT_EQ(second.connect().error.value_or(""), not_found(SECOND_MAC));
  EXPECT_FALSE(third.connect().error);
  EXPECT_FALSE(first.connect().error);
  // Defaults before the first [device] hold for every device.
  ASSERT_EQ(warble_sim_configure("appears_after_ms = 600000\n[device]\n[device]\n"), 0);
  EXPECT_EQ(warble_sim_counter("arrivals"), 0);
}

// A device comes into range late: not reported, not connectable before;
// then it goes for good, its link dropped as out of range. One that comes
// far later is never seen meanwhile; the one always there goes on.
TEST(SimPresence, ADeviceComesIntoRangeThenGoesForGood) {
  constexpr auto APPEARS = 300ms, PRESENT = 2000ms;
  clock::time_point before;
  ASSERT_TRUE(
      configure("advertise_interval_ms = 5\n[device]\n"
                "[device]\nmac = C4:7C:8D:6A:3E:02\nappears_after_ms = 300\n"
                "present_for_ms = 2000\n"
                "[device]\nmac = C4:7C:8D:6A:3E:03\nappears_after_ms = 600000\n",
                before));
  connection later(THIRD_MAC);
  EXPECT_EQ(later.connect().error.value_or(""), not_found(THIRD_MAC));
  sightings seen;
  auto scan = std::make_unique<scanning>(seen);
  ASSERT_TRUE(eventually([&] { return seen.of(SECOND_MAC) > 0; }));
  EXPECT_GE(since(before, seen.first(SECOND_MAC)->when), APPEARS);
  EXPECT_EQ(warble_sim_counter("arrivals"), 2);

  // Connected while the scanner runs.
  connection link(SECOND_MAC);
  ASSERT_FALSE(link.connect().error);
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  const outcome dropped = down.wait(APPEARS + PRESENT + 5s);
  ASSERT_TRUE(dropped.arrived);
  EXPECT_EQ(dropped.status, LINK_DROP_STATUS);
  EXPECT_GE(since(before, dropped.when), APPEARS + PRESENT);
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
  EXPECT_EQ(warble_sim_counter("departures"), 1);
  EXPECT_EQ(warble_sim_counter("link_drops"), 1);
  EXPECT_EQ(link.connect().error.value_or(""), not_found(SECOND_MAC));

  seen.clear();
  ASSERT_TRUE(eventually([&] { return seen.of(DEFAULT_MAC) >= 20; }));
  scan.reset();
  EXPECT_EQ(seen.of(SECOND_MAC), 0);
  EXPECT_EQ(seen.of(THIRD_MAC), 0);
  EXPECT_EQ(warble_sim_counter("arrivals"), 2);
}

// arrivals_every_ms: the devices turn up in the order of the scenario, each
// no earlier than its turn; a device with a time of its own keeps it.
TEST(SimPresence, DevicesTurnUpOneAfterAnotherInTheirOrder) {
  constexpr int DEVICES = 7;
  constexpr int OWN_TIME = 3;  // far later than its turn
  constexpr auto EVERY = 120ms;
  std::string scenario = "advertise_interval_ms = 5\narrivals_every_ms = 120\n";
  for (int i = 0; i < DEVICES; ++i)
    scenario += i == OWN_TIME ? "[device]\nappears_after_ms = 600000\n" : "[device]\n";
  clock::time_point before;
  ASSERT_TRUE(configure(scenario, before));
  sightings seen;
  scanning scan(seen);
  ASSERT_TRUE(eventually([] { return warble_sim_counter("arrivals") == DEVICES - 1; }));
  ASSERT_TRUE(eventually([&] { return seen.of(mac_of(DEVICES - 1)) > 0; }));
  std::optional<size_t> previous;
  for (int i = 0; i < DEVICES; ++i) {
    SCOPED_TRACE(mac_of(i));
    if (i == OWN_TIME) {
      EXPECT_EQ(seen.of(mac_of(i)), 0);
      continue;
    }
    const auto sight = seen.first(mac_of(i));
    ASSERT_TRUE(sight);
    EXPECT_GE(since(before, sight->when), i * EVERY);
    if (previous) {
      EXPECT_GT(sight->order, *previous);
    }
    previous = sight->order;
  }
  EXPECT_EQ(warble_sim_counter("departures"), 0);
}

// A restart after an accepted update is no departure: the device is away a
// while, comes back as the same arrival, and still goes when its time in
// range is over.
TEST(SimPresence, ADeviceBackFromARestartIsStillInRangeUntilItGoes) {
  constexpr auto PRESENT = 4000ms;
  session device_under_update;
  clock::time_point before = clock::now();
  ASSERT_TRUE(
      device_under_update.open("[device]\nrestart_after_finish = yes\nrestart_absent_ms = 300\n"
                               "revision_after_restart = 1.06\npresent_for_ms = 4000\n"
                               "[device]\nmac = C4:7C:8D:6A:3E:02\n",
                               {STATUS_UUID}));
  connection& link = device_under_update.link;
  pending restarted;
  warble_gatt_on_disconnect(link.gatt, &restarted, pending::on_disconnect);
  const auto frames = transfer_frames(pattern(600, 3));
  ASSERT_EQ(device_under_update.device.send_all(frames), std::vector<int>(frames.size(), 0));
  ASSERT_TRUE(restarted.wait().arrived);
  EXPECT_EQ(warble_sim_counter("restarts"), 1);
  EXPECT_TRUE(eventually([&] { return !link.connect().error; }));
  EXPECT_EQ(text_of(read(link.find(FIRMWARE_REVISION_UUID)).value), "1.06");
  EXPECT_EQ(warble_sim_counter("arrivals"), 2);
  EXPECT_EQ(warble_sim_counter("departures"), 0);

  pending gone;
  warble_gatt_on_disconnect(link.gatt, &gone, pending::on_disconnect);
  const outcome dropped = gone.wait(PRESENT + 5s);
  ASSERT_TRUE(dropped.arrived);
  EXPECT_EQ(dropped.status, LINK_DROP_STATUS);
  EXPECT_GE(since(before, dropped.when), PRESENT);
  EXPECT_EQ(warble_sim_counter("departures"), 1);
  EXPECT_EQ(warble_sim_counter("restarts"), 1);
  EXPECT_EQ(warble_sim_counter("link_drops"), 2);
  EXPECT_EQ(link.connect().error.value_or(""), not_found(DEFAULT_MAC));
}

// A device that goes while it is away restarting drops nothing more and
// never comes back, though its restart is over.
TEST(SimPresence, ADeviceThatGoesWhileRestartingNeverComesBack) {
  constexpr auto ABSENT = 3000ms;
  session device_under_update;
  ASSERT_TRUE(device_under_update.open(
      "advertise_interval_ms = 5\n"
      "[device]\nrestart_after_finish = yes\nrestart_absent_ms = 3000\npresent_for_ms = 2000\n"
      "[device]\nmac = C4:7C:8D:6A:3E:02\n",
      {STATUS_UUID}));
  connection& link = device_under_update.link;
  pending restarted;
  warble_gatt_on_disconnect(link.gatt, &restarted, pending::on_disconnect);
  const auto frames = transfer_frames(pattern(600, 5));
  ASSERT_EQ(device_under_update.device.send_all(frames), std::vector<int>(frames.size(), 0));
  // Its link dropped as it restarted, so it is back no later than this.
  const outcome dropped = restarted.wait();
  ASSERT_TRUE(dropped.arrived);
  const clock::time_point back_by = dropped.when + ABSENT;
  ASSERT_TRUE(eventually([] { return warble_sim_counter("departures") == 1; }, 5s));
  EXPECT_EQ(warble_sim_counter("link_drops"), 1);  // the restart's alone

  std::this_thread::sleep_until(back_by + 100ms);
  EXPECT_EQ(link.connect().error.value_or(""), not_found(DEFAULT_MAC));
  sightings seen;
  {
    scanning scan(seen);
    ASSERT_TRUE(eventually([&] { return seen.of(SECOND_MAC) >= 20; }));
  }
  EXPECT_EQ(seen.of(DEFAULT_MAC), 0);
}

// A device that goes in the middle of a transfer cuts it short: the link
// drops as out of range and the device's record says so.
TEST(SimPresence, ADepartureCutsATransferShort) {
  session device_under_update;
  ASSERT_TRUE(device_under_update.open("[device]\npresent_for_ms = 1500\n", {STATUS_UUID}));
  pending down;
  warble_gatt_on_disconnect(device_under_update.link.gatt, &down, pending::on_disconnect);
  const uint32_t length = 1u << 30;  // longer than it stays
  for (const bytes& control :
       {frame(0x7F, START_TOKEN), frame(0xB1, {0, 0}), frame(0xB2, be32(length))})
    ASSERT_EQ(device_under_update.device.send(control), 0);
  const bytes packet = frame(0xB4, bytes(240, 0x5A));
  const auto deadline = clock::now() + 20s;
  int packets = 0;
  while (clock::now() < deadline && device_under_update.device.send(packet, 2000ms) == 0) ++packets;
  const outcome dropped = down.wait();
  ASSERT_TRUE(dropped.arrived);
  EXPECT_EQ(dropped.status, LINK_DROP_STATUS);
  EXPECT_GT(packets, 0);
  const WarbleSimUpdateRecord record = update_record();
  EXPECT_STREQ(record.verdict, "link down before the finish");
  EXPECT_EQ(record.accepted, 0);
  EXPECT_EQ(warble_sim_counter("departures"), 1);
  EXPECT_TRUE(write(device_under_update.link.find(UPDATE_UUID), packet, false).error);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Links that carry transfers while the scanner runs give way to its
// windows: at 7.5 ms every window covers at least one event of each link,
// so the events skipped for windows are at least the windows times the
// links up through them; the radio is never held twice at once. A
// connection is set up while the scanner runs, one at a time.
TEST(SimScanAirtime, ScanWindowsTakeTheirShareWhileLinksCarryTransfers) {
  constexpr int LINKS = 2;
  session sessions[LINKS] = {session(DEFAULT_MAC), session(SECOND_MAC)};
  ASSERT_TRUE(
      sessions[0].open("connection_interval_ms = 7.5\nadvertise_interval_ms = 20\n"
                       "[device]\n[device]\n[device]\n[device]\n",
                       {STATUS_UUID}));
  ASSERT_TRUE(sessions[1].connect({STATUS_UUID}));
  std::vector<bytes> images = {pattern(4800, 3), pattern(4320, 11)};
  std::vector<std::vector<int>> statuses(LINKS);
  sightings seen;
  {
    scanning scan(seen);
    std::vector<std::thread> transfers;
    for (int i = 0; i < LINKS; ++i)
      transfers.emplace_back(
          [&, i] { statuses[i] = sessions[i].device.send_all(transfer_frames(images[i])); });
    for (auto& transfer : transfers) transfer.join();
    EXPECT_TRUE(eventually([] { return warble_sim_counter("scan_windows") >= 3; }));

    // A connection set up while scanning; a second one meanwhile is refused.
    connection third(THIRD_MAC), fourth("C4:7C:8D:6A:3E:04");
    pending third_up, fourth_up;
    warble_gatt_connect_async(third.gatt, &third_up, pending::on_connect);
    warble_gatt_connect_async(fourth.gatt, &fourth_up, pending::on_connect);
    EXPECT_FALSE(third_up.wait().error);
    EXPECT_EQ(fourth_up.wait().error.value_or(""), "Another connection is being set up");
    EXPECT_FALSE(fourth.connect().error);
  }
  for (int i = 0; i < LINKS; ++i) {
    EXPECT_EQ(statuses[i], std::vector<int>(transfer_frames(images[i]).size(), 0));
    WarbleSimUpdateRecord record{};
    ASSERT_EQ(warble_sim_update_record_of(mac_of(i).c_str(), &record), 0);
    EXPECT_STREQ(record.verdict, "accepted");
  }
  // Windows taken while the two later links came up had fewer links to
  // push aside than four; every one had the first two.
  const int32_t windows = warble_sim_counter("scan_windows");
  EXPECT_TRUE(
      eventually([&] { return warble_sim_counter("scan_skipped_events") >= LINKS * windows; }, 2s))
      << warble_sim_counter("scan_skipped_events") << " events skipped for " << windows
      << " windows";
  EXPECT_GE(warble_sim_counter("skipped_events"), warble_sim_counter("scan_skipped_events"));
  EXPECT_EQ(warble_sim_counter("overlaps"), 0);
  EXPECT_EQ(warble_sim_counter("concurrent_setups"), 1);
  // The radio's airtime counts the links' events; the windows are the
  // scanner's.
  int64_t links_airtime = 0;
  for (int i = 0; i < 4; ++i)
    links_airtime += warble_sim_counter(("airtime_us." + mac_of(i)).c_str());
  EXPECT_EQ(links_airtime, warble_sim_counter("airtime_us"));
}

// A scan goes on across a new world, and takes its windows there only if
// that world's radio is shared, whatever the old one's was.
TEST(SimScanAirtime, AScanUnderWayTakesWindowsOnlyOnASharedRadio) {
  ASSERT_EQ(warble_sim_configure("radio = ideal\nconnection_interval_ms = 7.5\n"), 0);
  sightings seen;
  scanning scan(seen);
  ASSERT_EQ(warble_sim_configure("connection_interval_ms = 7.5\n"), 0);
  EXPECT_TRUE(eventually([] { return warble_sim_counter("scan_windows") >= 3; }));
  ASSERT_EQ(warble_sim_configure("radio = ideal\nconnection_interval_ms = 7.5\n"), 0);
  seen.clear();
  ASSERT_TRUE(eventually([&] { return seen.of(DEFAULT_MAC) > 0; }));  // the scan goes on
  std::this_thread::sleep_for(300ms);                                 // three windows' time
  EXPECT_EQ(warble_sim_counter("scan_windows"), 0);
}

// One device of a station: its session, and the transfer a thread of its
// own runs once the station connected it.
struct station_device {
  explicit station_device(std::string address) : mac(std::move(address)) {}
  ~station_device() {
    if (transfer.joinable()) transfer.join();
  }
  station_device(const station_device&) = delete;
  station_device& operator=(const station_device&) = delete;
  std::string mac;
  session client{mac.c_str()};
  pending restarted;
  bytes image;
  std::vector<int> statuses;
  std::thread transfer;
};

// A station keeps scanning while devices turn up over time; it connects
// each new one as it is seen, one setup at a time, and updates it on a
// thread of its own while the scanner and the other links go on sharing the
// radio. Every device takes its own image and restarts on it; once back,
// each is still in range and reads its new revision.
TEST(SimLine, AStationThatKeepsScanningUpdatesEachDeviceAsItTurnsUp) {
  constexpr int DEVICES = 6;
  constexpr auto EVERY = 150ms;
  std::string scenario =
      "connection_interval_ms = 7.5\nadvertise_interval_ms = 10\narrivals_every_ms = 150\n"
      "restart_after_finish = yes\nrestart_delay_ms = 200\nrestart_absent_ms = 200\n"
      "revision_after_restart = 1.06\n";
  for (int i = 0; i < DEVICES; ++i) scenario += "[device]\n";
  clock::time_point before;
  ASSERT_TRUE(configure(scenario, before));

  std::vector<std::unique_ptr<station_device>> station;
  sightings seen;
  {
    scanning scan(seen);
    while (static_cast<int>(station.size()) < DEVICES) {
      const auto mac = seen.next_fresh(10s);
      ASSERT_TRUE(mac) << station.size() << " devices turned up";
      station.push_back(std::make_unique<station_device>(*mac));
      station_device& device = *station.back();
      ASSERT_TRUE(device.client.connect({STATUS_UUID})) << device.mac;
      warble_gatt_on_disconnect(device.client.link.gatt, &device.restarted, pending::on_disconnect);
      device.image = pattern(2400 + 240 * station.size(), static_cast<uint8_t>(station.size()));
      device.transfer = std::thread([&device] {
        device.statuses = device.client.device.send_all(transfer_frames(device.image));
      });
    }
    for (auto& device : station) {
      device->transfer.join();
      EXPECT_TRUE(device->restarted.wait().arrived) << device->mac;
    }
  }
  EXPECT_EQ(warble_sim_counter("overlaps"), 0);
  EXPECT_EQ(warble_sim_counter("concurrent_setups"), 0);
  EXPECT_GT(warble_sim_counter("scan_windows"), 0);
  EXPECT_GT(warble_sim_counter("scan_skipped_events"), 0);
  EXPECT_EQ(warble_sim_counter("restarts"), DEVICES);
  for (int i = 0; i < DEVICES; ++i) {
    station_device& device = *station[i];
    SCOPED_TRACE(device.mac);
    // Seen in the order they turned up, none before its turn.
    EXPECT_EQ(device.mac, mac_of(i));
    EXPECT_GE(since(before, seen.first(device.mac)->when), i * EVERY);
    EXPECT_EQ(device.statuses, std::vector<int>(transfer_frames(device.image).size(), 0));
    WarbleSimUpdateRecord record{};
    ASSERT_EQ(warble_sim_update_record_of(device.mac.c_str(), &record), 0);
    EXPECT_STREQ(record.verdict, "accepted");
    EXPECT_EQ(record.transfers, 1);
    bytes received(warble_sim_image_of(device.mac.c_str(), nullptr, 0));
    warble_sim_image_of(device.mac.c_str(), received.data(),
                        static_cast<uint32_t>(received.size()));
    EXPECT_EQ(received, device.image);
  }

  // Back from their restarts, still in range: each reads its new revision.
  for (auto& device : station) {
    connection& link = device->client.link;
    ASSERT_TRUE(eventually([&] { return !link.connect().error; })) << device->mac;
    EXPECT_EQ(text_of(read(link.find(FIRMWARE_REVISION_UUID)).value), "1.06") << device->mac;
    // Its restart was heard; this disconnect needs no handler.
    warble_gatt_on_disconnect(link.gatt, nullptr, nullptr);
    warble_gatt_disconnect(link.gatt);
  }
  EXPECT_EQ(warble_sim_counter("arrivals"), DEVICES);
  EXPECT_EQ(warble_sim_counter("departures"), 0);
}

}  // namespace
}  // namespace simtest
