// Scenario text, scanning and connection options.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <unistd.h>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

TEST(SimScenario, RejectsUnknownKeysAndBadValuesNamingTheLine) {
  EXPECT_EQ(warble_sim_configure("seed = 3\n\n[device]\ncolour = red\n"), -1);
  EXPECT_STREQ(warble_sim_error(), "line 4: unknown key 'colour'");
  EXPECT_EQ(warble_sim_configure("[device]\nmac = C4:7C:8D:6A:3E\n"), -1);
  EXPECT_NE(std::string(warble_sim_error()).find("line 2: bad value for mac"), std::string::npos);
  EXPECT_EQ(warble_sim_configure("[device]\nseed = 4\n"), -1);  // global key in a device
  EXPECT_EQ(warble_sim_configure("[device]\n[device]\nmac = C4:7C:8D:6A:3E:01\n"), -1);
  EXPECT_EQ(warble_sim_configure("notification_size = 256\n"), -1);
  for (const char* bad :
       {"callback_thread = two\n", "drop_link_at = write:1\n", "drop_link_at = read\n",
        "unprompted_status = 1:during:5\n", "unprompted_status = 1:before:5:10\n",
        "unprompted_status = 1:after:256\n", "late_status_command = 0:10\n"})
    EXPECT_EQ(warble_sim_configure(bad), -1) << bad;
  EXPECT_EQ(warble_sim_configure("callback_thread = many\n[device]\ndrop_link_at = frame:3\n"
                                 "drop_link_at = Read:1\nunprompted_status = 2:after:0x05:10\n"
                                 "late_duplicate_replies = yes\nlate_status_command = 1:5\n"
                                 "response_after_status_ms = 0\n"),
            0);
  EXPECT_EQ(warble_sim_configure("# comment only\n  rssi = -40  # trailing\n"), 0);
  EXPECT_STREQ(warble_sim_error(), "");
  EXPECT_EQ(warble_sim_configure_file("/nonexistent/scenario.txt"), -1);
}

TEST(SimScenario, LoadsAFile) {
  char path[] = "/tmp/sim_scenario_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char text[] = "[device]\nmac = 11:22:33:44:55:66\nfirmware_revision = 7.0\n";
  ASSERT_EQ(::write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  ::close(fd);
  ASSERT_EQ(warble_sim_configure_file(path), 0);
  std::remove(path);
  connection link("11:22:33:44:55:66");
  ASSERT_FALSE(link.connect().error);
  EXPECT_EQ(text_of(read(link.find(FIRMWARE_REVISION_UUID)).value), "7.0");
}

struct scan_seen {
  std::mutex lock;
  std::map<std::string, int> reports;
  std::map<std::string, std::string> names;
  std::map<std::string, int32_t> rssi;
  std::set<std::string> null_names;
  std::set<std::thread::id> threads;
  std::atomic<int> total{0};

  static void on_result(void* context, const WarbleScanResult* result) {
    auto* seen = static_cast<scan_seen*>(context);
    std::lock_guard<std::mutex> guard(seen->lock);
    std::string mac = result->mac;
    ++seen->reports[mac];
    if (result->name) {
      seen->names[mac] = result->name;
    } else {
      seen->null_names.insert(mac);
    }
    seen->rssi[mac] = result->rssi;
    seen->threads.insert(std::this_thread::get_id());
    ++seen->total;
  }
  int reports_of(const std::string& mac) {
    std::lock_guard<std::mutex> guard(lock);
    return reports.count(mac) ? reports[mac] : 0;
  }
};

class SimScan : public ::testing::Test {
 protected:
  void TearDown() override { warble_scanner_stop(); }
  void scan(const char* scenario) {
    ASSERT_EQ(warble_sim_configure(scenario), 0) << warble_sim_error();
    warble_scanner_set_handler(&seen, scan_seen::on_result);
    warble_scanner_start(0, nullptr);
  }
  scan_seen seen;
};

TEST_F(SimScan, ReportsEveryDeviceAgainAndAgainFromItsOwnThread) {
  scan(
      "advertise_interval_ms = 10\n"
      "[device]\nname = First\nrssi = -50\n"
      "[device]\nmac = 01:02:03:04:05:06\nname = <null>\nrssi = -80\n"
      "[device]\nmac = 01:02:03:04:05:07\nname = <empty>\n"
      "[device]\nmac = 01:02:03:04:05:08\nname = <long>\n");
  ASSERT_TRUE(eventually([&] {
    return seen.reports_of(DEFAULT_MAC) >= 3 && seen.reports_of("01:02:03:04:05:08") >= 3;
  }));
  warble_scanner_stop();
  std::lock_guard<std::mutex> guard(seen.lock);
  EXPECT_EQ(seen.names[DEFAULT_MAC], "First");
  EXPECT_EQ(seen.rssi[DEFAULT_MAC], -50);
  EXPECT_EQ(seen.rssi["01:02:03:04:05:06"], -80);
  EXPECT_EQ(seen.null_names, std::set<std::string>{"01:02:03:04:05:06"});
  EXPECT_EQ(seen.names["01:02:03:04:05:07"], "");
  EXPECT_EQ(seen.names["01:02:03:04:05:08"].size(), 300u);
  EXPECT_EQ(seen.threads.size(), 1u);
  EXPECT_EQ(seen.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(warble_sim_counter("scan_starts"), 1);
}

TEST_F(SimScan, NothingArrivesAfterStopReturns) {
  scan("advertise_interval_ms = 1\nflood = 20\n");
  ASSERT_TRUE(eventually([&] { return seen.total.load() > 100; }));
  warble_scanner_stop();
  int at_stop = seen.total.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(seen.total.load(), at_stop);
  EXPECT_EQ(warble_sim_counter("scan_results"), at_stop);
  EXPECT_EQ(warble_sim_counter("results_after_stop"), 0);
  // And a new scan starts reporting again.
  warble_scanner_start(0, nullptr);
  EXPECT_TRUE(eventually([&] { return seen.total.load() > at_stop; }));
}

TEST_F(SimScan, StopFromTheResultHandlerEndsTheScan) {
  ASSERT_EQ(warble_sim_configure("advertise_interval_ms = 1\nflood = 5\n"), 0);
  static std::atomic<int> calls{0};
  calls = 0;
  warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult*) {
    if (++calls == 3) warble_scanner_stop();
  });
  warble_scanner_start(0, nullptr);
  ASSERT_TRUE(eventually([] { return calls.load() >= 3; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls.load(), 3);
}

TEST_F(SimScan, FloodsWithDistinctAddresses) {
  scan("advertise_interval_ms = 5\nflood = 1500\n");
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> guard(seen.lock);
    return seen.reports.size() == 1501;
  }));
  std::lock_guard<std::mutex> guard(seen.lock);
  for (const auto& [mac, rssi] : seen.rssi) {
    EXPECT_EQ(mac.size(), 17u);
    EXPECT_GE(rssi, -100);
  }
}

TEST_F(SimScan, RefusesUnknownScanOptions) {
  ASSERT_EQ(warble_sim_configure(""), 0);
  warble_scanner_set_handler(&seen, scan_seen::on_result);
  WarbleOption bad[] = {{"scan-type", "loud"}};
  warble_scanner_start(1, bad);
  EXPECT_EQ(warble_sim_counter("scan_starts"), 0);
  WarbleOption passive[] = {{"scan-type", "passive"}};
  warble_scanner_start(1, passive);
  EXPECT_TRUE(eventually([&] { return seen.total.load() > 0; }));
}

TEST(SimScanResult, CarriesManufacturerDataAndServicesDuringTheCall) {
  ASSERT_EQ(warble_sim_configure("manufacturer_data = 0x004C:0102FF\n"
                                 "advertised_services = fabbe000-4910-473c-be46-960948c2f59c\n"),
            0);
  static std::atomic<bool> checked{false};
  static std::atomic<bool> good{false};
  checked = false;
  warble_scanner_set_handler(nullptr, [](void*, const WarbleScanResult* result) {
    if (checked) return;
    const WarbleScanMftData* data = warble_scan_result_get_manufacturer_data(result, 0x004C);
    good = data && data->value_size == 3 && data->value[2] == 0xFF &&
           !warble_scan_result_get_manufacturer_data(result, 0x0001) &&
           warble_scan_result_has_service_uuid(result, PROPRIETARY_SERVICE_UUID) &&
           !warble_scan_result_has_service_uuid(result, sim::DEVICE_INFORMATION_SERVICE_UUID);
    checked = true;
  });
  warble_scanner_start(0, nullptr);
  ASSERT_TRUE(eventually([] { return checked.load(); }));
  warble_scanner_stop();
  EXPECT_TRUE(good);
}

TEST(SimOptions, CreateChecksKeysAndValues) {
  ASSERT_EQ(warble_sim_configure(""), 0);
  auto create = [](std::vector<WarbleOption> options) {
    WarbleGatt* gatt =
        warble_gatt_create_with_options(static_cast<int32_t>(options.size()), options.data());
    bool created = gatt != nullptr;
    if (gatt) warble_gatt_delete(gatt);
    return created;
  };
  for (const char* type : {"public", "random", "unspecified"})
    EXPECT_TRUE(create({{"mac", DEFAULT_MAC}, {"address-type", type}})) << type;
  EXPECT_TRUE(create({{"mac", "c4:7c:8d:6a:3e:01"}}));
  EXPECT_FALSE(create({{"mac", DEFAULT_MAC}, {"address-type", "static"}}));
  EXPECT_FALSE(create({{"mac", DEFAULT_MAC}, {"colour", "red"}}));
  EXPECT_FALSE(create({{"mac", "C4-7C-8D-6A-3E-01"}}));
  EXPECT_FALSE(create({{"mac", "C4:7C:8D:6A:3E:0G"}}));
  EXPECT_FALSE(create({{"address-type", "public"}}));
  EXPECT_FALSE(create({{"mac", nullptr}}));
  EXPECT_FALSE(create({}));
  EXPECT_EQ(warble_gatt_create_with_options(1, nullptr), nullptr);
  WarbleGatt* plain = warble_gatt_create(DEFAULT_MAC);
  ASSERT_NE(plain, nullptr);
  warble_gatt_delete(plain);
  EXPECT_EQ(warble_gatt_create("nonsense"), nullptr);
  EXPECT_EQ(warble_sim_counter("open_connections"), 0);
  EXPECT_EQ(warble_sim_counter("no such counter"), -1);
}

TEST(SimLibrary, ReportsVersionAndConfig) {
  EXPECT_NE(std::strlen(warble_lib_version()), 0u);
  WarbleOption options[] = {{"hci", "hci0"}};
  warble_lib_init(1, options);
  EXPECT_STREQ(warble_lib_config(), "hci=hci0");
}

}  // namespace
}  // namespace simtest
