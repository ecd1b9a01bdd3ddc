// What the device came back on after an update, and the progress stream a
// test station reads: both through the command line, against devices of the
// stand-in that restart to install what they accepted.
#include <map>
#include <sstream>
#include <string>

#include "tests/cli/cli_fixture.h"

namespace {

using namespace cli_test;

constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";

// 1.5 s: a device back after its 500 ms away is read well within it.
constexpr const char* VERIFY_SECONDS = "15";

// A device of ours that restarts once it accepted an image: 50 ms after the
// finish reached it (real time: the stand-in's clock is not sped up), when
// its reply has long been handed over and the program has not yet let go
// of it (the settle time and the release's pauses, 25 and 200 ms here), so
// that the program's first look after the update finds it gone; each side
// of that moment has a margin a loaded machine does not eat. It is gone
// for a moment and comes back.
std::string restarting(const std::string& mac, const std::string& back_on,
                       const std::string& extra = "") {
  return device(mac, "RD",
                "restart_after_finish = yes\nrestart_delay_ms = 50\nrestart_absent_ms = 500\n" +
                    back_on + extra);
}

TEST_F(command_line, AnUpdateIsVerifiedOnTheRevisionTheDeviceComesBackOn) {
  // Still installing for a moment after it came back: its old revision
  // first, then the new one.
  world("advertise_interval_ms = 20\n" +
        restarting(FIRST, "revision_after_restart = 1.06\n", "old_revision_for_ms = 300\n"));
  const run_result verified =
      run({"update", FIRST, image_path_, "--expect-revision", "1.06", "--json"});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.document().at("revision_after"), "1.06");
  EXPECT_EQ(verified.document().at("revision_before"), "1.05");
  EXPECT_EQ(warble_sim_counter("restarts"), 1);

  // Without the option: no connection after the update.
  world("advertise_interval_ms = 20\n" + restarting(FIRST, "revision_after_restart = 1.06\n"));
  const run_result plain = run({"update", FIRST, image_path_, "--json"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(plain.document().at("revision_after").is_null());
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 1);

  // A batch: back on the new revision, back on the old one, never back.
  world("advertise_interval_ms = 20\n" + restarting(FIRST, "revision_after_restart = 1.06\n") +
        restarting(SECOND, "") + restarting(THIRD, "restart_absent_ms = -1\n"));
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + THIRD + "\n");
  const run_result batch = run({"batch", image_path_, "--devices", list, "--expect-revision",
                                "1.06", "--verify-seconds", VERIFY_SECONDS, "--json"});
  EXPECT_EQ(batch.status, 5) << batch.err;
  const json rows = batch.document().at("devices");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("result"), "ok");
  EXPECT_EQ(rows[0].at("revision_after"), "1.06");
  EXPECT_EQ(rows[1].at("result"), "failed");
  EXPECT_EQ(rows[1].at("error"), "came back on revision 1.05, expected 1.06");
  EXPECT_EQ(rows[1].at("error_code"), "wrong_revision");
  EXPECT_EQ(rows[1].at("revision_after"), "1.05");
  EXPECT_EQ(rows[2].at("result"), "failed");
  EXPECT_EQ(rows[2].at("error_code"), "not_verified") << batch.err;
  EXPECT_TRUE(rows[2].at("revision_after").is_null());
  // The image itself went through on all three.
  WarbleSimUpdateRecord record{};
  for (const char* mac : {FIRST, SECOND, THIRD}) {
    ASSERT_EQ(warble_sim_update_record_of(mac, &record), 0);
    EXPECT_EQ(record.accepted, 1) << mac << ": " << record.verdict;
  }
  const run_result alone = run({"update", SECOND, image_path_, "--expect-revision", "1.06",
                                "--verify-seconds", VERIFY_SECONDS});
  EXPECT_EQ(alone.status, 1) << alone.err;
}

TEST_F(command_line, TheProgressStreamIsOneJsonObjectALineThatMatchesTheReport) {
  world("advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n" + device(FIRST, "RD one") +
        device(SECOND, "RD two", "refuse_code = 0xB7\n") + device(THIRD, "RD \"three\"\x01"));
  const std::string list = write_file(
      "devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + ABSENT + "\n" + THIRD + "\n");
  const run_result batch =
      run({"batch", image_path_, "--devices", list, "--retries", "0", "--seconds", "10", "--report",
           dir_ + "/report.json", "--progress", "json"});
  EXPECT_EQ(batch.status, 5);

  std::map<std::string, int> kinds;
  std::vector<json> done;
  std::istringstream lines(batch.err);
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << "not a JSON object: " << line;
    ASSERT_TRUE(event.contains("event") && event.contains("mac")) << line;
    ++kinds[event.at("event").get<std::string>()];
    if (event.at("event") == "done") done.push_back(event);
    if (event.at("event") == "progress") {
      EXPECT_EQ(event.at("bytes_total"), image_.size()) << line;
      EXPECT_LE(event.at("bytes_sent").get<uint64_t>(), image_.size()) << line;
    }
  }
  for (const char* kind :
       {"scanning", "found", "connecting", "connected", "progress", "done", "summary"})
    EXPECT_GT(kinds[kind], 0) << kind << " in\n" << batch.err;

  const json report = json::parse(read_file("report.json"));
  ASSERT_EQ(done.size(), report.at("devices").size()) << batch.err;
  for (size_t i = 0; i < done.size(); ++i) {
    json row = done[i];
    row.erase("event");
    EXPECT_EQ(row, report.at("devices")[i]) << i;
  }
  EXPECT_EQ(report.at("devices")[3].at("name"), "RD \"three\"\x01") << "JSON keeps device text";

  // Usage mistakes keep to the stream too.
  const run_result usage = run({"update", "C4:7C", image_path_, "--progress", "json"});
  EXPECT_EQ(usage.status, 2);
  const json error = json::parse(usage.err, nullptr, false);
  EXPECT_EQ(error.value("event", ""), "error") << usage.err;
}

}  // namespace
