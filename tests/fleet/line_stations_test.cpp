// Stations of one line, each a process of the real program with a stand-in
// world of its own holding the same devices, sharing one PostgreSQL record:
// every device is updated exactly once across them, a station killed
// mid-transfer hands its device over once its lease runs out, and a
// database that goes away mid-line loses nothing and takes nothing twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/pg_store.h"
#include "tests/support/eventually.h"
#include "tests/support/pg_test_support.h"
#include "tests/support/program_run.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;

// Bounds that only a hang reaches, on a loaded machine under a sanitizer.
constexpr auto LINE_LIMIT = 240s;
// A killed station's lease runs out 30 s after its last renewal, and the
// next scan after that takes the device: well within this.
constexpr auto TAKE_OVER_LIMIT = 180s;

std::string mac_of(int i) {
  char mac[24];
  snprintf(mac, sizeof mac, "C4:7C:8D:6A:40:%02X", static_cast<unsigned>(i & 0xFF));
  return mac;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The stand-in's record of one station's world: "key = value" lines.
std::map<std::string, std::string> sim_record(const std::string& path) {
  std::map<std::string, std::string> record;
  std::istringstream lines(read_file(path));
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find(" = ");
    if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 3);
  }
  return record;
}

// Devices that turn up one after another, are updated, restart and come
// back on 1.06.
std::string world_of(int devices, int arrivals_ms, double interval_ms,
                     const std::string& first_name = "TAVREN RD") {
  std::string world =
      "connection_interval_ms = " + std::to_string(interval_ms) +
      "\nadvertise_interval_ms = 20\narrivals_every_ms = " + std::to_string(arrivals_ms) + "\n";
  for (int i = 0; i < devices; ++i) {
    world += "[device]\nmac = " + mac_of(i) + "\nname = " + (i == 0 ? first_name : "TAVREN RD") +
             "\ncommand_busy_ms = 5\nrestart_after_finish = 1\nrevision_after_restart = 1.06\n"
             "restart_absent_ms = 300\n";
  }
  return world;
}

class line_stations : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/line-stations-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write_image(size_t bytes) {
    std::string image(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) image[i] = static_cast<char>(i * 13 + i / 241);
    std::ofstream(dir_ + "/image.bin", std::ios::binary) << image;
  }

  // A station: a folder of its own (its spool), its own stand-in world and
  // the stand-in's record of what its devices received.
  std::unique_ptr<program_run> station(const std::string& name, const std::string& world,
                                       const std::string& record,
                                       const std::vector<std::string>& extra) {
    const std::string folder = dir_ + "/" + name;
    fs::create_directories(folder);
    std::ofstream(folder + "/world.txt") << world;
    std::vector<std::string> words = {"line",
                                      dir_ + "/image.bin",
                                      "--name-prefix",
                                      "TAVREN",
                                      "--expect-revision",
                                      "1.06",
                                      "--record",
                                      record,
                                      "--station",
                                      name,
                                      "--progress",
                                      "json"};
    words.insert(words.end(), extra.begin(), extra.end());
    return std::make_unique<program_run>(
        TAVREN_UPDATE_PROGRAM, words,
        std::vector<std::string>{"LD_LIBRARY_PATH=" WARBLE_LIBRARY_DIR,
                                 "WARBLE_SIM_SCENARIO=" + folder + "/world.txt",
                                 "WARBLE_SIM_RECORD=" + folder + "/sim-record.txt"},
        program_setup{false, folder, folder + "/out.json"});
  }

  // The record as `record show --json` gives it, by MAC.
  std::map<std::string, json> record_rows(const std::string& record) {
    program_run show(TAVREN_UPDATE_PROGRAM, {"record", "show", record, "--json"}, {},
                     program_setup{false, dir_, dir_ + "/show.json"});
    EXPECT_EQ(show.wait_exit(60s), 0) << show.err();
    std::map<std::string, json> rows;
    const json document = json::parse(read_file(dir_ + "/show.json"), nullptr, false);
    if (!document.is_object()) return rows;
    for (const json& row : document.at("devices")) rows[row.at("mac").get<std::string>()] = row;
    return rows;
  }

  std::string dir_;
};

TEST_F(line_stations, ThreeStationsUpdateEveryDeviceExactlyOnce) {
  std::string server, why;
  PG_TEST_REQUIRE(pg_test_server_uri(server, why), why);
  pg_test_record record;
  std::string error;
  ASSERT_TRUE(record.make(server, error)) << error;
  write_image(4000);
  constexpr int DEVICES = 12;
  // One name a stranger might give a device: it stays a name.
  const std::string name = "TAVREN '); DROP TABLE line_device; --";
  const std::string world = world_of(DEVICES, 150, 7.5, name);
  std::vector<std::unique_ptr<program_run>> stations;
  for (const char* each : {"s1", "s2", "s3"})
    stations.push_back(
        station(each, world, record.uri(), {"--parallel", "4", "--until-idle", "8"}));
  for (const auto& each : stations) EXPECT_EQ(each->wait_exit(LINE_LIMIT), 0) << each->err();

  // Each device took exactly one image, from one station, across the three
  // worlds; the record says which.
  const std::map<std::string, json> rows = record_rows(record.uri());
  ASSERT_EQ(rows.size(), static_cast<size_t>(DEVICES));
  std::map<std::string, int> per_station;
  for (int i = 0; i < DEVICES; ++i) {
    const std::string mac = mac_of(i);
    SCOPED_TRACE(mac);
    // A station may begin a transfer again within its one attempt (its own
    // retry after a failed one, which a loaded machine can cause); what
    // must never be is a second station sending to a device.
    int accepted = 0, sending_stations = 0;
    std::string transfers;
    for (const char* each : {"s1", "s2", "s3"}) {
      std::map<std::string, std::string> sim = sim_record(dir_ + "/" + each + "/sim-record.txt");
      accepted += std::atoi(sim["device." + mac + ".accepted"].c_str());
      const int sent = std::atoi(sim["device." + mac + ".transfers"].c_str());
      sending_stations += sent > 0;
      transfers += std::string(" ") + each + ":" + std::to_string(sent);
    }
    EXPECT_EQ(accepted, 1) << transfers;
    EXPECT_EQ(sending_stations, 1) << transfers;
    const json& row = rows.at(mac);
    EXPECT_EQ(row.at("result"), "ok") << row;
    EXPECT_EQ(row.at("history").size(), 1u) << row;
    ++per_station[row.at("station").get<std::string>()];
  }
  EXPECT_EQ(rows.at(mac_of(0)).at("name"), name);
  EXPECT_GE(per_station.size(), 2u) << "one station did everything: the others never shared";
}

TEST_F(line_stations, AStationKilledMidTransferHandsItsDeviceOverOnceItsLeaseRanOut) {
  std::string server, why;
  PG_TEST_REQUIRE(pg_test_server_uri(server, why), why);
  pg_test_record record;
  std::string error;
  ASSERT_TRUE(record.make(server, error)) << error;
  write_image(48000);
  const std::string world = world_of(1, 0, 7.5);
  std::unique_ptr<program_run> first = station("first", world, record.uri(), {});
  ASSERT_TRUE(
      eventually([&] { return first->err().find("\"event\":\"progress\"") != std::string::npos; },
                 LINE_LIMIT));
  ASSERT_EQ(kill(first->pid(), SIGKILL), 0);
  EXPECT_EQ(first->wait_exit(60s), -1);

  std::unique_ptr<program_run> second = station("second", world, record.uri(), {"--count", "1"});
  EXPECT_EQ(second->wait_exit(TAKE_OVER_LIMIT), 0) << second->err();
  EXPECT_NE(second->err().find("\"reason\":\"claimed_elsewhere\""), std::string::npos)
      << "the lease of the killed station did not hold: " << second->err();
  const std::map<std::string, json> rows = record_rows(record.uri());
  ASSERT_EQ(rows.size(), 1u);
  const json& row = rows.begin()->second;
  EXPECT_EQ(row.at("result"), "ok") << row;
  EXPECT_EQ(row.at("station"), "second");
  ASSERT_EQ(row.at("history").size(), 2u) << row;
  EXPECT_EQ(row.at("history")[0].at("station"), "first");
  EXPECT_EQ(row.at("history")[0].at("result"), "abandoned");
  EXPECT_EQ(row.at("history")[1].at("result"), "ok");
}

TEST_F(line_stations, TheDatabaseGoneMidLineLosesNothingAndWritesNothingTwice) {
  std::string why;
  pg_private_server database;
  PG_TEST_REQUIRE(database.up(why), why);
  write_image(4000);
  constexpr int DEVICES = 6;
  const std::string world = world_of(DEVICES, 400, 7.5);
  std::unique_ptr<program_run> line =
      station("only", world, database.uri(), {"--parallel", "2", "--until-idle", "15"});
  // The database goes while the first device is being served.
  ASSERT_TRUE(eventually(
      [&] { return line->err().find("\"event\":\"claimed\"") != std::string::npos; }, LINE_LIMIT))
      << line->err();
  ASSERT_TRUE(database.stop(why)) << why;
  ASSERT_TRUE(eventually([&] { return line->err().find("does not answer") != std::string::npos; },
                         LINE_LIMIT))
      << line->err();
  ASSERT_TRUE(database.start(why)) << why;
  EXPECT_EQ(line->wait_exit(LINE_LIMIT), 0) << line->err();
  EXPECT_NE(line->err().find("answers again"), std::string::npos) << line->err();

  const std::map<std::string, json> rows = record_rows(database.uri());
  ASSERT_EQ(rows.size(), static_cast<size_t>(DEVICES)) << line->err();
  const std::map<std::string, std::string> sim = sim_record(dir_ + "/only/sim-record.txt");
  for (const auto& [mac, row] : rows) {
    SCOPED_TRACE(mac);
    EXPECT_EQ(row.at("result"), "ok") << row;
    EXPECT_EQ(row.at("history").size(), 1u) << "taken twice: " << row;
    EXPECT_EQ(sim.at("device." + mac + ".transfers"), "1");
  }
}

}  // namespace
