// Several devices at once, each judging its own transfer, and a device that
// restarts after an accepted update.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

constexpr const char* SECOND_MAC = "C4:7C:8D:6A:3E:02";

bytes pattern(size_t size, uint8_t seed) {
  bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * seed + (i >> 8));
  return image;
}

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bytes image_of_device(const char* mac) {
  bytes image(warble_sim_image_of(mac, nullptr, 0));
  warble_sim_image_of(mac, image.data(), static_cast<uint32_t>(image.size()));
  return image;
}

// Two transfers at once on two links, with images of other sizes and
// contents: the second device takes its image whole but refuses its
// checksum; the first accepts its own.
TEST(SimFleet, EachDeviceKeepsTheRecordAndImageOfItsOwnTransfer) {
  session first, second(SECOND_MAC);
  ASSERT_TRUE(first.open("[device]\n[device]\nmac = C4:7C:8D:6A:3E:02\nrefuse_code = 0xB7\n",
                         {STATUS_UUID}));
  ASSERT_TRUE(second.connect({STATUS_UUID}));
  const bytes first_image = pattern(2000, 7), second_image = pattern(1500, 13);
  const auto first_frames = transfer_frames(first_image);
  const auto second_frames = transfer_frames(second_image);

  ASSERT_EQ(first.device.send(first_frames[0]), 0);
  std::vector<int> second_statuses;
  // Started once the first device's transfer is under way: the latest start
  // frame is the second device's.
  std::thread other([&] {
    for (const auto& value : second_frames) second_statuses.push_back(second.device.send(value));
  });
  std::vector<int> first_statuses;
  for (size_t i = 1; i < first_frames.size(); ++i)
    first_statuses.push_back(first.device.send(first_frames[i]));
  other.join();
  EXPECT_EQ(first_statuses, std::vector<int>(first_frames.size() - 1, 0));
  std::vector<int> refused_at_the_checksum(second_frames.size(), 0);
  refused_at_the_checksum[second_frames.size() - 2] = refused_at_the_checksum.back() = 5;
  EXPECT_EQ(second_statuses, refused_at_the_checksum);

  WarbleSimUpdateRecord one{}, two{}, latest{};
  ASSERT_EQ(warble_sim_update_record_of(DEFAULT_MAC, &one), 0);
  ASSERT_EQ(warble_sim_update_record_of("c4:7c:8d:6a:3e:02", &two), 0);
  EXPECT_STREQ(one.verdict, "accepted");
  EXPECT_EQ(one.transfers, 1);
  EXPECT_EQ(one.frames, static_cast<int32_t>(first_frames.size()));
  EXPECT_EQ(one.packets, 9);
  EXPECT_EQ(one.computed_crc, jamcrc(first_image));
  EXPECT_EQ(one.frames_after_failure, 0);
  EXPECT_EQ(image_of_device(DEFAULT_MAC), first_image);
  EXPECT_EQ(two.accepted, 0);
  EXPECT_NE(std::string(two.verdict).find("(0xB7) refused: code refused"), std::string::npos)
      << two.verdict;
  EXPECT_EQ(two.frames, static_cast<int32_t>(second_frames.size()));
  EXPECT_EQ(two.packets, 7);
  EXPECT_EQ(two.computed_crc, jamcrc(second_image));
  EXPECT_EQ(two.frames_after_failure, 1);
  EXPECT_EQ(image_of_device(SECOND_MAC), second_image);
  // Each device's status replies are counted in its own record.
  EXPECT_TRUE(eventually([&] {
    warble_sim_update_record_of(DEFAULT_MAC, &one);
    warble_sim_update_record_of(SECOND_MAC, &two);
    return one.status_notifications == static_cast<int32_t>(first_frames.size()) &&
           two.status_notifications == static_cast<int32_t>(second_frames.size());
  }));

  // The latest transfer is the second device's; transfers counts both.
  ASSERT_EQ(warble_sim_update_record(&latest), 0);
  EXPECT_STREQ(latest.verdict, two.verdict);
  EXPECT_EQ(latest.transfers, 2);
  EXPECT_EQ(warble_sim_image(nullptr, 0), second_image.size());
  EXPECT_EQ(warble_sim_update_record_of("C4:7C:8D:6A:3E:09", &one), -1);
  EXPECT_EQ(warble_sim_update_record_of("nonsense", &one), -1);
  EXPECT_EQ(warble_sim_image_of("C4:7C:8D:6A:3E:09", nullptr, 0), 0u);

  const std::string path = ::testing::TempDir() + "sim_fleet_record.txt";
  ASSERT_EQ(warble_sim_write_record(path.c_str()), 0);
  const std::string text = file_text(path);
  char first_crc[64];
  std::snprintf(first_crc, sizeof first_crc, "device.%s.image_crc = 0x%08X\n", DEFAULT_MAC,
                jamcrc(first_image));
  for (const std::string& expected :
       {std::string("transfers = 2\n"),
        std::string("device.C4:7C:8D:6A:3E:01.verdict = accepted\n"),
        std::string("device.C4:7C:8D:6A:3E:01.packets = 9\n"), std::string(first_crc),
        std::string("device.C4:7C:8D:6A:3E:02.accepted = 0\n"),
        std::string("device.C4:7C:8D:6A:3E:02.frames_after_failure = 1\n")})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
  std::remove(path.c_str());
  std::remove((path + ".image").c_str());
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Addresses the scanner reported, and how often.
struct sightings {
  std::mutex lock;
  std::map<std::string, int> reports;
  static void on_result(void* context, const WarbleScanResult* result) {
    auto* self = static_cast<sightings*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    ++self->reports[result->mac];
  }
  int of(const std::string& mac) {
    std::lock_guard<std::mutex> guard(lock);
    return reports.count(mac) ? reports[mac] : 0;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock);
    reports.clear();
  }
};

std::string revision_of(connection& link) {
  return text_of(read(link.find(FIRMWARE_REVISION_UUID)).value);
}

// A device that accepted an image restarts: it drops the link, is gone
// from scans and refuses connections for a while, then comes back on its
// old revision, then on the new one; a second update restarts it again.
TEST(SimRestart, AnAcceptedUpdateRestartsTheDeviceOnItsNewRevision) {
  session device_under_update;
  ASSERT_TRUE(device_under_update.open(
      "advertise_interval_ms = 5\n"
      "[device]\nrestart_after_finish = yes\nrestart_delay_ms = 30\nrestart_absent_ms = 1500\n"
      "revision_after_restart = 1.06\nold_revision_for_ms = 1000\n"
      "[device]\nmac = C4:7C:8D:6A:3E:02\n",
      {STATUS_UUID}));
  connection& link = device_under_update.link;
  pending down;
  warble_gatt_on_disconnect(link.gatt, &down, pending::on_disconnect);
  const auto frames = transfer_frames(bytes(300, 9));
  ASSERT_EQ(device_under_update.device.send_all(frames), std::vector<int>(frames.size(), 0));
  outcome dropped = down.wait();
  ASSERT_TRUE(dropped.arrived);
  EXPECT_EQ(dropped.status, 0x08);
  EXPECT_EQ(warble_gatt_is_connected(link.gatt), 0);
  EXPECT_EQ(warble_sim_counter("restarts"), 1);

  static sightings seen;
  seen.clear();
  warble_scanner_set_handler(&seen, sightings::on_result);
  warble_scanner_start(0, nullptr);
  // The other device goes on advertising meanwhile.
  ASSERT_TRUE(eventually([] { return seen.of(SECOND_MAC) >= 10; }));
  EXPECT_EQ(seen.of(DEFAULT_MAC), 0);
  EXPECT_EQ(link.connect().error.value_or(""),
            std::string("No device found with address ") + DEFAULT_MAC);

  ASSERT_TRUE(eventually([] { return seen.of(DEFAULT_MAC) > 0; }));
  warble_scanner_stop();
  ASSERT_FALSE(link.connect().error);
  EXPECT_EQ(revision_of(link), "1.05");  // still installing
  EXPECT_TRUE(eventually([&] { return revision_of(link) == "1.06"; }));

  ASSERT_TRUE(link.subscribe(device_under_update.log, {STATUS_UUID}));
  pending down_again;
  warble_gatt_on_disconnect(link.gatt, &down_again, pending::on_disconnect);
  ASSERT_EQ(device_under_update.device.send_all(frames), std::vector<int>(frames.size(), 0));
  ASSERT_TRUE(down_again.wait().arrived);
  EXPECT_EQ(warble_sim_counter("restarts"), 2);
  EXPECT_TRUE(link.connect().error);
  EXPECT_TRUE(eventually([&] { return !link.connect().error; }));
  EXPECT_EQ(revision_of(link), "1.06");
}

TEST(SimRestart, ADeviceThatNeverComesBack) {
  session gone;
  ASSERT_TRUE(gone.open(
      "advertise_interval_ms = 5\n"
      "[device]\nrestart_after_finish = yes\nrestart_delay_ms = 0\nrestart_absent_ms = -1\n"
      "[device]\nmac = C4:7C:8D:6A:3E:02\n",
      {STATUS_UUID}));
  pending down;
  warble_gatt_on_disconnect(gone.link.gatt, &down, pending::on_disconnect);
  const auto frames = transfer_frames(bytes(10, 1));
  for (const auto& value : frames) gone.device.answer(value, 500ms);
  ASSERT_TRUE(down.wait().arrived);
  EXPECT_TRUE(update_record().accepted);
  static sightings seen;
  seen.clear();
  warble_scanner_set_handler(&seen, sightings::on_result);
  warble_scanner_start(0, nullptr);
  // Until past the default time away (3 s).
  for (int look = 0; look < 3; ++look) {
    if (look > 0) std::this_thread::sleep_for(1600ms);
    EXPECT_EQ(gone.link.connect().error.value_or(""),
              std::string("No device found with address ") + DEFAULT_MAC);
  }
  // The scanner still reports the other device once the time away is
  // over, and never this one.
  const int others = seen.of(SECOND_MAC);
  EXPECT_GT(others, 0);
  EXPECT_TRUE(eventually([&] { return seen.of(SECOND_MAC) > others; }));
  warble_scanner_stop();
  EXPECT_EQ(seen.of(DEFAULT_MAC), 0);
  EXPECT_EQ(warble_sim_counter("restarts"), 1);
}

}  // namespace
}  // namespace simtest
