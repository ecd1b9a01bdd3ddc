// A batch that serves several devices at once over the one adapter: the
// same record as one after another, each device with exactly its own image,
// and an adapter that has no room for one more connection.
#include <set>
#include <string>

#include "tests/cli/cli_fixture.h"

namespace {

using namespace cli_test;

constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";
constexpr const char* FOURTH = "C4:7C:8D:6A:3E:04";

// What a report row says of a device, less its times: the same whether the
// devices were served in turn or at once.
json outcome_of(json row) {
  row.erase("seconds");
  row.erase("bytes_per_second");
  return row;
}

TEST_F(command_line, ServedAtOnceTheFleetGetsTheReportItWouldOneAfterAnother) {
  // On a paced link, so that the transfers overlap; the second refuses every
  // checksum, the absent one is nowhere.
  const std::string fleet = "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n" +
                            device(FIRST, "RD one") +
                            device(SECOND, "RD two", "refuse_code = 0xB7\n") +
                            device(THIRD, "RD three") + device(FOURTH, "RD four");
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + ABSENT + "\n" + THIRD +
                                    "\n" + FOURTH + "\n");
  world(fleet);
  const run_result in_turn =
      run({"batch", image_path_, "--devices", list, "--seconds", "10", "--json"});
  world(fleet);
  const run_result at_once = run({"batch", image_path_, "--devices", list, "--seconds", "10",
                                  "--parallel", "3", "--json", "--progress", "json"});
  EXPECT_EQ(in_turn.status, 5) << in_turn.err;
  EXPECT_EQ(at_once.status, 5) << at_once.err;
  const json sequential = in_turn.document().at("devices");
  const json parallel = at_once.document().at("devices");
  ASSERT_EQ(parallel.size(), 5u) << at_once.out;
  ASSERT_EQ(sequential.size(), parallel.size());
  for (size_t i = 0; i < parallel.size(); ++i)
    EXPECT_EQ(outcome_of(parallel[i]), outcome_of(sequential[i])) << i;

  // Each device got exactly its own image, on links that were up at once;
  // the radio never carried two events at a time.
  for (const char* mac : {FIRST, THIRD, FOURTH}) {
    WarbleSimUpdateRecord record{};
    ASSERT_EQ(warble_sim_update_record_of(mac, &record), 0);
    EXPECT_EQ(record.accepted, 1) << mac << ": " << record.verdict;
    std::vector<uint8_t> received(image_.size() + 1);
    EXPECT_EQ(warble_sim_image_of(mac, received.data(), static_cast<uint32_t>(received.size())),
              image_.size());
    received.resize(image_.size());
    EXPECT_TRUE(received == image_) << mac;
  }
  EXPECT_GE(warble_sim_counter("peak_links"), 2);
  EXPECT_EQ(warble_sim_counter("overlaps"), 0);
  EXPECT_EQ(warble_sim_counter("concurrent_setups"), 0) << "two connections set up at once";
  EXPECT_EQ(warble_sim_counter("handle_misuse"), 0);
  EXPECT_EQ(warble_sim_counter("open_connections"), 0);

  // Every event of the stream names its device.
  std::set<std::string> progress_macs;
  std::istringstream lines(at_once.err);
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << line;
    if (event.at("event") == "progress") progress_macs.insert(event.at("mac").get<std::string>());
  }
  EXPECT_EQ(progress_macs, (std::set<std::string>{FIRST, SECOND, THIRD, FOURTH}));
}

TEST_F(command_line, AnAdapterWithoutRoomPutsTheDeviceBackAndServesFewerAtOnce) {
  world("advertise_interval_ms = 20\nconnection_interval_ms = 7.5\nmax_links = 2\n" +
        device(FIRST, "RD one") + device(SECOND, "RD two") + device(THIRD, "RD three"));
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + THIRD + "\n");
  const run_result batch =
      run({"batch", image_path_, "--devices", list, "--parallel", "3", "--json"});
  EXPECT_EQ(batch.status, 0) << batch.err;
  EXPECT_NE(batch.err.find("3 devices at once lowered to 2"), std::string::npos) << batch.err;
  const json report = batch.document();
  for (const json& row : report.at("devices")) {
    EXPECT_EQ(row.at("result"), "ok") << row;
    EXPECT_EQ(row.at("attempts"), 1) << row;
  }
  EXPECT_EQ(warble_sim_counter("peak_links"), 2);
}

}  // namespace
