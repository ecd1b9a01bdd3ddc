// A production line's station against the stand-in, on its local record:
// every device that turns up is dealt with once, what the record shows done
// is left alone, and the record is what `record show` and the next station
// run read back.
#include <csignal>
#include <set>
#include <string>
#include <thread>

#include "tests/cli/cli_fixture.h"
#include "tests/support/eventually.h"

namespace {

using namespace cli_test;

constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";
constexpr const char* FOURTH = "C4:7C:8D:6A:3E:04";
// A name anybody may advertise, quotes and SQL included: it stays a name.
const std::string STRANGE_NAME = "RD \"one\"'); DROP TABLE devices; --";

std::map<std::string, json> rows_by_mac(const json& document) {
  std::map<std::string, json> rows;
  for (const json& row : document.at("devices")) rows[row.at("mac").get<std::string>()] = row;
  return rows;
}

// One that is updated and comes back on 1.06; one on 1.06 already; one of
// another model; one that refuses every checksum; and one of no concern.
std::string line_world() {
  return "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n" +
         device(FIRST, STRANGE_NAME,
                "restart_after_finish = 1\nrevision_after_restart = 1.06\n"
                "restart_absent_ms = 300\n") +
         device(SECOND, "RD two", "firmware_revision = 1.06\n") +
         device(THIRD, "RD three", "model_number = XX-9\n") +
         device(FOURTH, "RD four", "refuse_code = 0xB7\n") + device(ABSENT, "Speaker");
}

TEST_F(command_line, ALineDealsWithEveryDeviceOnceAndLeavesWhatIsOnRecordAlone) {
  world(line_world());
  const std::string record = dir_ + "/line.ndjson";
  const std::vector<std::string> line = {
      "line",     image_path_, "--name-prefix", "RD",      "--expect-revision", "1.06",
      "--model",  "RD-1",      "--parallel",    "2",       "--attempts",        "2",
      "--record", record,      "--station",     "bench-1", "--until-idle",      "60",
      "--json"};
  std::vector<std::string> with_stream = line;
  with_stream.insert(with_stream.end(), {"--progress", "json"});
  const run_result first = run(with_stream);
  EXPECT_EQ(first.status, 5) << first.err;
  std::map<std::string, json> rows = rows_by_mac(first.document());
  ASSERT_EQ(rows.size(), 4u) << first.out;
  EXPECT_EQ(rows[FIRST].at("result"), "ok") << rows[FIRST];
  EXPECT_EQ(rows[FIRST].at("name"), STRANGE_NAME);
  EXPECT_EQ(rows[FIRST].at("revision_after"), "1.06");
  EXPECT_EQ(rows[FIRST].at("station"), "bench-1");
  EXPECT_EQ(rows[SECOND].at("result"), "already_installed") << rows[SECOND];
  EXPECT_EQ(rows[THIRD].at("result"), "rejected") << rows[THIRD];
  EXPECT_EQ(rows[THIRD].at("error_code"), "wrong_model");
  EXPECT_EQ(rows[FOURTH].at("result"), "failed") << rows[FOURTH];
  EXPECT_EQ(rows[FOURTH].at("attempts"), 2) << "tried again when seen again, up to --attempts";

  // Only the two that were to be updated got anything, and the first got
  // exactly its image; the one of another model was never sent a frame.
  WarbleSimUpdateRecord updated{};
  ASSERT_EQ(warble_sim_update_record_of(FIRST, &updated), 0);
  EXPECT_EQ(updated.accepted, 1) << updated.verdict;
  EXPECT_EQ(updated.transfers, 1);
  for (const char* untouched : {SECOND, THIRD}) {
    WarbleSimUpdateRecord none{};
    ASSERT_EQ(warble_sim_update_record_of(untouched, &none), 0);
    EXPECT_EQ(none.transfers, 0) << untouched;
  }
  WarbleSimUpdateRecord refused{};
  ASSERT_EQ(warble_sim_update_record_of(FOURTH, &refused), 0);
  EXPECT_EQ(refused.transfers, 4) << "each attempt tries its transfer once more";

  // The stream says each claim and each device done.
  std::multiset<std::string> claimed, done;
  std::istringstream lines(first.err);
  for (std::string text; std::getline(lines, text);) {
    const json event = json::parse(text, nullptr, false);
    ASSERT_TRUE(event.is_object()) << text;
    if (event.at("event") == "claimed") claimed.insert(event.at("mac").get<std::string>());
    if (event.at("event") == "done") done.insert(event.at("mac").get<std::string>());
  }
  EXPECT_EQ(claimed, (std::multiset<std::string>{FIRST, SECOND, THIRD, FOURTH, FOURTH}));
  EXPECT_EQ(done, claimed);

  // The station starts again on the same record: nothing is done twice, and
  // the device that failed as often as the line allows stays failed.
  world(line_world());
  const run_result again = run(line);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 0) << again.err;
  for (const char* mac : {FIRST, SECOND, THIRD, FOURTH})
    EXPECT_NE(again.err.find(std::string(mac) + ": "), std::string::npos) << mac << again.err;
  EXPECT_NE(again.err.find("failed 2 times"), std::string::npos) << again.err;

  // What record show reads back is what the line wrote.
  const run_result shown = run({"record", "show", record, "--json"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(rows_by_mac(shown.document()), rows);
  const run_result csv = run({"record", "show", record, "--csv", "--image", image_path_});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_NE(csv.out.find("\"RD \"\"one\"\"'); DROP TABLE devices; --\",1.05,1.06,ok,"),
            std::string::npos)
      << csv.out;
  EXPECT_NE(csv.out.find(",bench-1,"), std::string::npos);
  // Another image is another campaign: its record is empty.
  std::string other(image_.begin(), image_.end());
  other[0] ^= 1;
  EXPECT_EQ(run({"record", "show", record, "--image", write_file("other.bin", other)}).status, 2);
}

TEST_F(command_line, ALineEndsOnItsCountOrOnCtrlCAndAnInterruptedDeviceIsTakenAgain) {
  const std::string restarts =
      "restart_after_finish = 1\nrevision_after_restart = 1.06\nrestart_absent_ms = 300\n";
  const std::string fleet = "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n" +
                            device(FIRST, "RD one", restarts) + device(SECOND, "RD two", restarts);
  world(fleet);
  const std::string record = dir_ + "/line.ndjson";
  const run_result counted =
      run({"line", image_path_, "--devices",
           write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n"),
           "--expect-revision", "1.05", "--record", record, "--count", "1", "--json"});
  EXPECT_EQ(counted.status, 0) << counted.err;
  const json rows = counted.document().at("devices");
  ASSERT_EQ(rows.size(), 1u) << counted.out;
  EXPECT_EQ(rows[0].at("result"), "already_installed");

  // Ctrl+C in the middle of a transfer: the device's attempt is on record
  // as interrupted, and the next run takes it again.
  world(fleet);
  hooked_text err;
  err.when("   30 %", [] { std::raise(SIGINT); });
  const run_result interrupted = run({"line", image_path_, "--name-prefix", "RD",
                                      "--expect-revision", "1.06", "--record", record, "--json"},
                                     &err);
  EXPECT_EQ(interrupted.status, 130) << interrupted.err;
  std::map<std::string, json> after = rows_by_mac(interrupted.document());
  int stopped = 0;
  for (const auto& [mac, row] : after) stopped += row.at("result") == "interrupted";
  EXPECT_GE(stopped, 1) << interrupted.out;
  world(fleet);
  const run_result resumed =
      run({"line", image_path_, "--name-prefix", "RD", "--expect-revision", "1.06", "--record",
           record, "--until-idle", "60", "--json", "--progress", "json"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  for (const auto& [mac, row] : rows_by_mac(resumed.document())) {
    SCOPED_TRACE(mac);
    EXPECT_EQ(row.at("result"), "ok") << row;
    if (after.count(mac) == 0 || after[mac].at("result") != "interrupted") continue;
    ASSERT_EQ(row.at("history").size(), 2u) << row;
    EXPECT_EQ(row.at("history")[0].at("result"), "interrupted") << row;
    EXPECT_EQ(row.at("history")[1].at("result"), "ok") << row;
  }
}

// Devices that turn up one after another while the line runs: each is
// updated as it comes (the first is under way before the last is there),
// and one that is carried away mid-transfer is on record as failed.
TEST_F(command_line, ALineUpdatesDevicesAsTheyTurnUp) {
  const std::string restarts =
      "restart_after_finish = 1\nrevision_after_restart = 1.06\nrestart_absent_ms = 300\n";
  std::string fleet =
      "advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n"
      "arrivals_every_ms = 1000\n";
  std::vector<std::string> macs;
  for (int i = 1; i <= 6; ++i) {
    macs.push_back("C4:7C:8D:6A:3F:0" + std::to_string(i));
    fleet += device(macs.back(), "RD " + std::to_string(i), restarts);
  }
  // The seventh is there for a moment only: gone before its transfer ends.
  const std::string fleeting = "C4:7C:8D:6A:3F:07";
  fleet += device(fleeting, "RD 7", "appears_after_ms = 0\npresent_for_ms = 700\n");
  world(fleet);
  std::string big(24000, '\x5A');
  const std::string image = write_file("big.bin", big);
  bool first_begun_before_last_came = false;
  std::thread watcher([&] {
    if (!eventually([] { return warble_sim_counter("arrivals") >= 7; }, std::chrono::seconds(60)))
      return;
    WarbleSimUpdateRecord first{};
    warble_sim_update_record_of(macs[0].c_str(), &first);
    first_begun_before_last_came = first.transfers >= 1;
  });
  const run_result line =
      run({"line", image, "--name-prefix", "RD", "--expect-revision", "1.06", "--parallel", "3",
           "--attempts", "1", "--record", dir_ + "/line.ndjson", "--until-idle", "100", "--json"});
  watcher.join();
  EXPECT_EQ(line.status, 5) << line.err;
  EXPECT_TRUE(first_begun_before_last_came) << "the line waited for the devices to come";
  std::map<std::string, json> rows = rows_by_mac(line.document());
  for (const std::string& mac : macs) {
    EXPECT_EQ(rows[mac].value("result", ""), "ok") << rows[mac];
    WarbleSimUpdateRecord record{};
    ASSERT_EQ(warble_sim_update_record_of(mac.c_str(), &record), 0);
    EXPECT_EQ(record.accepted, 1) << mac << ": " << record.verdict;
    EXPECT_EQ(record.transfers, 1) << mac;
  }
  EXPECT_EQ(rows[fleeting].value("result", ""), "failed") << rows[fleeting];
  WarbleSimUpdateRecord gone{};
  ASSERT_EQ(warble_sim_update_record_of(fleeting.c_str(), &gone), 0);
  EXPECT_EQ(gone.accepted, 0) << gone.verdict;
  EXPECT_EQ(warble_sim_counter("concurrent_setups"), 0) << "two connections set up at once";
  EXPECT_GT(warble_sim_counter("scan_skipped_events"), 0) << "the scan never ran beside a link";
}

}  // namespace
