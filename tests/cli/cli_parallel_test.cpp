// A batch that serves several devices at once over the one adapter: the
// same record as one after another, each device with exactly its own image,
// and an adapter that has no room for one more connection.
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "tests/cli/cli_fixture.h"
#include "tests/cli/terminal_screen.h"
#include "tests/support/eventually.h"

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

// The devices C4:7C:8D:6A:3E:01 and on, `count` of them, in a world and in
// a device list.
struct numbered_fleet {
  std::vector<std::string> macs;
  std::string world;
  std::string list;
};

numbered_fleet fleet_of(int count, const std::string& settings, const std::string& extra = "") {
  numbered_fleet fleet;
  fleet.world = settings;
  for (int i = 1; i <= count; ++i) {
    char mac[24];
    snprintf(mac, sizeof mac, "C4:7C:8D:6A:3E:%02X", static_cast<unsigned>(i & 0xFF));
    fleet.macs.push_back(mac);
    fleet.world += device(mac, "RD " + std::to_string(i), extra);
    fleet.list += std::string(mac) + "\n";
  }
  return fleet;
}

// Every line of a progress stream, each one JSON object.
std::vector<json> events_of(const std::string& stream) {
  std::vector<json> events;
  std::istringstream lines(stream);
  for (std::string line; std::getline(lines, line);) {
    events.push_back(json::parse(line, nullptr, false));
    EXPECT_TRUE(events.back().is_object()) << "not one JSON object: \"" << line << "\"";
  }
  return events;
}

// A device the adapter has no room for waits until one of our links ends,
// however often it is refused, and is never failed for room while one of
// ours is up; every device gets its "done" once, and the report's rows
// are whole.
TEST_F(command_line, AFullAdapterMakesADeviceWaitForRoomNeverFail) {
  for (const auto& [count, room] : {std::pair{8, 2}, std::pair{12, 3}}) {
    SCOPED_TRACE(std::to_string(count) + " devices, room for " + std::to_string(room));
    const numbered_fleet fleet =
        fleet_of(count, "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\nmax_links = " +
                            std::to_string(room) + "\n");
    world(fleet.world);
    const run_result batch =
        run({"batch", image_path_, "--devices", write_file("devices.txt", fleet.list), "--parallel",
             "8", "--json", "--progress", "json"});
    EXPECT_EQ(batch.status, 0) << batch.out;
    const json rows = batch.document().at("devices");
    ASSERT_EQ(rows.size(), fleet.macs.size()) << batch.out;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].at("mac"), fleet.macs[i]);
      EXPECT_EQ(rows[i].at("result"), "ok") << rows[i];
      EXPECT_EQ(rows[i].at("attempts"), 1) << rows[i];
    }
    std::multiset<std::string> done;
    for (const json& event : events_of(batch.err))
      if (event.value("event", "") == "done") done.insert(event.at("mac").get<std::string>());
    EXPECT_EQ(done, std::multiset<std::string>(fleet.macs.begin(), fleet.macs.end()));
    EXPECT_EQ(warble_sim_counter("peak_links"), room);
    EXPECT_EQ(warble_sim_counter("open_connections"), 0);
  }

  // Refused with none of ours up: the adapter is held by someone else, and
  // that is the device's failure of its own.
  world("advertise_interval_ms = 20\n" +
        device(FIRST, "RD one", "connect_error = Too many connections\n"));
  const run_result held =
      run({"batch", image_path_, "--devices", write_file("one.txt", std::string(FIRST) + "\n"),
           "--parallel", "2", "--json"});
  EXPECT_EQ(held.status, 5) << held.err;
  const json row = held.document().at("devices").at(0);
  EXPECT_EQ(row.at("result"), "failed");
  EXPECT_EQ(row.at("error_code"), "adapter_full") << row;
}

// Ctrl+C while workers queue for the one connection set up at a time: no
// connection starts after it, every queued device ends at once as not
// reached, and each attempt counted is a connection that was made.
TEST_F(command_line, AnInterruptionStartsNoConnectionAndReleasesEveryQueuedWorker) {
  // Devices that never answer a connection: each attempt lasts its bound.
  const numbered_fleet fleet = fleet_of(8, "advertise_interval_ms = 20\n", "connect_timeout = 1\n");
  world(fleet.world);
  hooked_text err;
  err.when("\"event\":\"connecting\"", [] { std::raise(SIGINT); });
  const run_result batch =
      run({"batch", image_path_, "--devices", write_file("devices.txt", fleet.list), "--parallel",
           "8", "--json", "--progress", "json"},
          &err);
  EXPECT_EQ(batch.status, 130) << batch.err;
  EXPECT_LE(warble_sim_counter("connect_attempts"), 1) << "a connection started after Ctrl+C";
  int attempts = 0;
  const json rows = batch.document().at("devices");
  for (const json& row : rows) {
    EXPECT_EQ(row.at("result"), "interrupted") << row;
    attempts += row.at("attempts").get<int>();
  }
  EXPECT_EQ(attempts, warble_sim_counter("connect_attempts"));
  int notices = 0;
  for (const json& event : events_of(batch.err))
    notices += event.value("event", "") == "interrupted";
  EXPECT_EQ(notices, 1) << batch.err;
}

// A report that can no longer be written stops the batch: no device starts
// after the stop was decided, the one in flight ends after its frame in
// flight, and every row still reaches standard output.
TEST_F(command_line, AReportThatCannotBeKeptStartsNoOtherDevice) {
  const numbered_fleet fleet =
      fleet_of(4, "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n");
  world(fleet.world);
  const std::string report = dir_ + "/report.json";
  hooked_text err;
  err.when("\"event\":\"done\"", [&] {
    std::filesystem::remove(report);
    std::filesystem::create_directory(report);
  });
  const run_result batch =
      run({"batch", image_path_, "--devices", write_file("devices.txt", fleet.list), "--parallel",
           "2", "--report", report, "--json", "--progress", "json"},
          &err);
  EXPECT_EQ(batch.status, 6) << batch.err;
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 2) << "a device started after the stop";
  const json rows = batch.document().at("devices");
  ASSERT_EQ(rows.size(), 4u) << batch.out;
  int not_started = 0;
  for (const json& row : rows) {
    if (row.at("attempts") == 0) {
      ++not_started;
      EXPECT_EQ(row.at("result"), "interrupted") << row;
    }
  }
  EXPECT_EQ(not_started, 2) << batch.out;
  EXPECT_EQ(batch.document().at("finished"), false);
}

// On a terminal: one block of a line per device in flight under a total
// that is true at every redraw, an interruption's notice above the block,
// and nothing of the block left once the batch ended. With --verbose every
// line is whole: a trace line is never cut by another device's.
TEST_F(command_line, OneWriterOwnsTheTerminalAndEveryLineIsWhole) {
  const numbered_fleet fleet =
      fleet_of(3, "advertise_interval_ms = 20\nconnection_interval_ms = 15\n");
  world(fleet.world);
  const std::string list = write_file("devices.txt", fleet.list);
  std::string big(48000, '\x5A');
  const std::string image = write_file("big.bin", big);
  screen_recorder err;
  std::thread interrupter([&] {
    const auto all_sending = [&] {
      for (const std::string& mac : fleet.macs) {
        WarbleSimUpdateRecord record{};
        if (warble_sim_update_record_of(mac.c_str(), &record) != 0 || record.packets < 10)
          return false;
      }
      return true;
    };
    if (eventually(all_sending, std::chrono::seconds(60))) std::raise(SIGINT);
  });
  const run_result batch = run({"batch", image, "--devices", list, "--parallel", "3"}, &err, true);
  interrupter.join();
  EXPECT_EQ(batch.status, 130) << batch.err;
  EXPECT_TRUE(err.totals_were_true()) << err.first_false_total();
  EXPECT_GE(err.most_rows_in_flight(), 3u) << "the three transfers were never drawn at once";
  const std::vector<std::string> screen = err.screen().lines();
  const auto notice = std::find_if(screen.begin(), screen.end(), [](const std::string& line) {
    return line.rfind("Interrupted: no frame goes after the one in flight", 0) == 0;
  });
  EXPECT_NE(notice, screen.end()) << err.screen().text();
  for (const std::string& line : screen)
    EXPECT_EQ(line.find(" %"), std::string::npos) << "a progress row was left:\n"
                                                  << err.screen().text();

  // --verbose: the trace goes through the same writer, one whole line at a
  // time, each device's lines under its own tag.
  world(fleet.world);
  const run_result verbose =
      run({"batch", image_path_, "--devices", list, "--parallel", "3", "--verbose"});
  EXPECT_EQ(verbose.status, 0) << verbose.err;
  std::map<std::string, int> tagged;
  std::istringstream lines(verbose.err);
  for (std::string line; std::getline(lines, line);) {
    const size_t tag = line.find("[C4:7C:8D:6A:3E:");
    if (tag == std::string::npos) continue;
    EXPECT_EQ(tag, 0u) << "a line cut into another: " << line;
    EXPECT_EQ(line.find("[C4:7C:8D:6A:3E:", tag + 1), std::string::npos) << line;
    ++tagged[line.substr(1, 17)];
  }
  for (const std::string& mac : fleet.macs) EXPECT_GT(tagged[mac], 10) << mac;
}

}  // namespace
