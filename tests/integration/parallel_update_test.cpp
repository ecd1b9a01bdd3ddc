// Two devices updated at once through two device records, each on a thread
// of its own, against the stand-in's devices on one shared radio: each
// device receives exactly its own image.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "device/connection.h"
#include "device/firmware_update.h"
#include "tests/integration/flow_harness.h"

namespace {

constexpr const char* SECOND_MAC = "C4:7C:8D:6A:3E:02";

struct device_run {
  connect_result connected = connect_result::object_not_created;
  update_outcome update;
};

device_run connect_update_close(device_record& record, const std::string& image) {
  device_run run;
  run.connected = connect_device(record);
  if (run.connected == connect_result::ready) run.update = update_image(record, image);
  close_device(record);
  return run;
}

std::vector<uint8_t> image_received_by(const char* mac) {
  std::vector<uint8_t> image(warble_sim_image_of(mac, nullptr, 0));
  if (!image.empty()) warble_sim_image_of(mac, image.data(), static_cast<uint32_t>(image.size()));
  return image;
}

class parallel_update : public device_flow {};

TEST_F(parallel_update, TwoRecordsUpdateTwoDevicesAtOnceEachWithItsOwnImage) {
  configure(device_scenario() + "[device]\nmac = " + SECOND_MAC + "\nname = Second\n");
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> devices = {
      {SIM_MAC, pattern_image(3000, 1)}, {SECOND_MAC, pattern_image(2000, 2)}};
  std::vector<std::future<device_run>> runs;
  std::vector<device_record*> records;
  for (const auto& [mac, image] : devices) {
    device_record* record = device_record_lease(nullptr);
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(set_device_address(*record, mac), 0);
    device_record_set_tag(*record, mac);
    records.push_back(record);
    const std::string name = "image" + std::to_string(records.size()) + ".bin";
    const std::string path = write_image(image, name.c_str());
    runs.push_back(std::async(std::launch::async,
                              [record, path] { return connect_update_close(*record, path); }));
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const char* mac = devices[i].first;
    SCOPED_TRACE(mac);
    ASSERT_EQ(runs[i].wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const device_run run = runs[i].get();
    EXPECT_EQ(run.connected, connect_result::ready);
    EXPECT_EQ(run.update.result, update_result::accepted) << run.update.failed_step;
    WarbleSimUpdateRecord received{};
    ASSERT_EQ(warble_sim_update_record_of(mac, &received), 0);
    EXPECT_EQ(received.transfers, 1);
    EXPECT_EQ(received.accepted, 1) << received.verdict;
    EXPECT_EQ(image_received_by(mac), devices[i].second);
  }
  EXPECT_EQ(sim_counter("peak_links"), 2) << "the two links were never up at once";
  EXPECT_EQ(sim_counter("concurrent_setups"), 0);
  EXPECT_EQ(sim_counter("overlaps"), 0);
  EXPECT_EQ(sim_counter("open_connections"), 0);
  EXPECT_EQ(sim_counter("handle_misuse"), 0);
  for (device_record* record : records) device_record_return(record);
}

}  // namespace
