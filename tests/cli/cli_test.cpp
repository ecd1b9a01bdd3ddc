// The command line in-process against the stand-in library, in a world of
// several devices: what it prints, how it ends, what the devices received.
#include <set>
#include <string>

#include "tests/cli/cli_fixture.h"
#include "tests/support/reference_crc.h"

namespace {

using namespace cli_test;

// Two of ours and a stranger without our service.
std::string three_devices() {
  return "advertise_interval_ms = 20\n" + device(FIRST, "TAVREN RD") +
         device(SECOND, "TAVREN RD",
                "firmware_revision = 2.17\nmanufacturer = Acme Devices\nmodel_number = M-7\n"
                "serial_number = SN0042\nversion = 02 07 00 2A\nfw_date = 2025-01-30\n"
                "fw_time = 08:15:00\nrssi = -55\n") +
         device(SPEAKER, "Kitchen Speaker", "proprietary = no\nrssi = -81\n");
}

TEST_F(command_line, ScanListsEveryDeviceAndInfoReadsOneWhateverTheLetterCase) {
  world(three_devices());
  const run_result scan = run({"scan", "--json"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  std::set<std::string> seen;
  const json devices = scan.document().at("devices");
  for (const json& entry : devices)
    seen.insert(entry.at("mac").get<std::string>() + " " + entry.at("name").get<std::string>() +
                " " + std::to_string(entry.at("rssi").get<int>()));
  EXPECT_EQ(seen, (std::set<std::string>{"C4:7C:8D:6A:3E:01 TAVREN RD -67",
                                         "C4:7C:8D:6A:3E:02 TAVREN RD -55",
                                         "5A:10:22:33:44:55 Kitchen Speaker -81"}));

  const run_result info = run({"info", "c4:7c:8d:6a:3e:02", "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.document(), json::parse(R"({"mac": "C4:7C:8D:6A:3E:02",
      "firmware_revision": "2.17", "manufacturer": "Acme Devices", "model_number": "M-7",
      "serial_number": "SN0042", "version": "2.07", "supported_commands": 42,
      "firmware_date": "2025-01-30", "firmware_time": "08:15:00"})"));
  EXPECT_EQ(warble_sim_counter("open_connections"), 0) << "the device was not released";

  // No service of ours, and no such device: both end with status 3.
  EXPECT_EQ(run({"info", SPEAKER}).status, 3);
  EXPECT_EQ(run({"info", ABSENT}).status, 3);
}

TEST_F(command_line, UpdateSendsTheImageAndSaysHowARefusalEnded) {
  world(three_devices());
  const run_result accepted = run({"update", FIRST, image_path_, "--json"});
  ASSERT_EQ(accepted.status, 0) << accepted.err;
  const json document = accepted.document();
  char crc[16];
  snprintf(crc, sizeof crc, "0x%08X", reference_jamcrc(image_));
  EXPECT_EQ(document.at("mac"), FIRST);
  EXPECT_EQ(document.at("image"), image_path_);
  EXPECT_EQ(document.at("bytes"), image_.size());
  EXPECT_EQ(document.at("crc32"), crc);
  EXPECT_EQ(document.at("result"), "ok");
  EXPECT_TRUE(document.at("error").is_null());
  EXPECT_GT(document.at("seconds").get<double>(), 0);
  EXPECT_GT(document.at("bytes_per_second").get<double>(), 0);
  WarbleSimUpdateRecord record{};
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.accepted, 1) << record.verdict;
  EXPECT_TRUE(sim_image() == image_);
  // Without a terminal: a progress line per 10 %, the last one at 100 %.
  // (A slow machine may have learnt the pace by then: it follows the percent.)
  EXPECT_NE(accepted.err.find("\n" + std::string(FIRST) + "   50 %"), std::string::npos)
      << accepted.err;
  EXPECT_NE(accepted.err.find(std::string(FIRST) + "  100 %\n"), std::string::npos);

  // Refused at every checksum: the retry on a fresh connection is refused too.
  world(device(FIRST, "TAVREN RD", "refuse_code = 0xB7\n"));
  const run_result crc_refused = run({"update", FIRST, image_path_, "--json"});
  EXPECT_EQ(crc_refused.status, 1);
  EXPECT_EQ(crc_refused.document().at("result"), "failed");
  EXPECT_EQ(crc_refused.document().at("error"), "CRC ERROR");
  EXPECT_EQ(crc_refused.document().at("attempts"), 2);
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.transfers, 2);
  EXPECT_EQ(record.frames_after_failure, 0);

  // What cannot be used ends with 2 (or 4 for the library) before any
  // device is touched.
  const int32_t connects = warble_sim_counter("connect_attempts");
  EXPECT_EQ(run({"update", FIRST, dir_ + "/no-such.bin"}).status, 2);
  EXPECT_EQ(run({"update", FIRST, dir_}).status, 2);
  EXPECT_EQ(run({"update", "C4:7C:8D:6A:3E", image_path_}).status, 2);
  EXPECT_EQ(run({"update", FIRST, image_path_, "--retries", "-1"}).status, 2);
  EXPECT_EQ(run({"--ble-library", dir_ + "/libnothing.so", "update", FIRST, image_path_}).status,
            4);
  EXPECT_EQ(warble_sim_counter("connect_attempts"), connects);
}

TEST_F(command_line, BatchReportsEveryDeviceAndResumesWhereItLeftOff) {
  const std::string D3 = "C4:7C:8D:6A:3E:03", D4 = "C4:7C:8D:6A:3E:04";
  const std::string fleet = "advertise_interval_ms = 20\n" + device(FIRST, "RD one") +
                            device(SECOND, "RD two") + device(D4, "RD four") +
                            device(SPEAKER, "RD five", "firmware_revision = 0.9\n");
  // The second refuses every checksum; the third is nowhere.
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one") +
        device(SECOND, "RD two", "refuse_code = 0xB7\n") + device(D4, "RD four") +
        device(SPEAKER, "RD five", "firmware_revision = 0.9\n"));
  const std::string list = write_file("devices.txt", "# the bench\n" + std::string(FIRST) +
                                                         "\n c4:7c:8d:6a:3e:02  # lower case\n" +
                                                         D3 + "\n\n" + D4 + "\n" + SPEAKER + "\n");
  const std::string report = dir_ + "/report.json";
  const run_result first =
      run({"batch", image_path_, "--devices", list, "--report", report, "--json"});
  EXPECT_EQ(first.status, 5) << first.err;
  const json written = json::parse(read_file("report.json"));
  EXPECT_EQ(first.document(), written) << "stdout and the report tell the same";
  EXPECT_EQ(written.at("finished"), true);
  const json& rows = written.at("devices");
  ASSERT_EQ(rows.size(), 5u);
  const char* expected[][4] = {{FIRST, "ok", "1.05", "1"},
                               {SECOND, "failed", "1.05", "2"},
                               {"C4:7C:8D:6A:3E:03", "not_found", "", "0"},
                               {"C4:7C:8D:6A:3E:04", "ok", "1.05", "1"},
                               {SPEAKER, "ok", "0.9", "1"}};
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].at("mac"), expected[i][0]);
    EXPECT_EQ(rows[i].at("result"), expected[i][1]);
    const json& revision = rows[i].at("revision_before");
    EXPECT_EQ(revision.is_null() ? std::string() : revision.get<std::string>(), expected[i][2]);
    EXPECT_EQ(rows[i].at("attempts"), std::atoi(expected[i][3]));
    const bool sent = rows[i].at("attempts") != 0;
    EXPECT_EQ(rows[i].at("bytes"), sent ? image_.size() : 0u);
  }
  EXPECT_EQ(rows[1].at("error"), "CRC ERROR");
  EXPECT_EQ(rows[2].at("error"), "Not seen within 30 s");
  EXPECT_EQ(rows[4].at("name"), "RD five");

  // The next day: the refusing device was fixed and the missing one is in
  // range. Only those two are touched; the report, now CSV, lists all five.
  world(fleet + device(D3, "RD three"));
  const run_result resumed = run({"batch", image_path_, "--devices", list, "--resume", report,
                                  "--report", dir_ + "/report.csv"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  WarbleSimUpdateRecord record{};
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.transfers, 2);
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 2);
  const std::string csv = read_file("report.csv");
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "mac,name,revision_before,revision_after,result,error,error_code,detail,attempts,"
            "bytes,seconds,bytes_per_second,image_name,image_bytes,image_crc32,program_version,"
            "started,ended,finished");
  for (const std::string mac : {FIRST, SECOND, D3.c_str(), D4.c_str(), SPEAKER})
    EXPECT_NE(csv.find("\n" + mac + ",RD "), std::string::npos) << mac << " in\n" << csv;
  EXPECT_EQ(csv.find(",failed,"), std::string::npos) << csv;
  EXPECT_EQ(csv.find(",not_found,"), std::string::npos) << csv;
}

TEST_F(command_line, NamePrefixBatchLeavesDevicesOnTheCurrentRevisionAlone) {
  world("advertise_interval_ms = 20\n" + device(FIRST, "TAVREN RD") +
        device(SECOND, "TAVREN RD", "firmware_revision = 2.17\n") +
        device(SPEAKER, "Kitchen Speaker", "proprietary = no\n"));
  const run_result batch = run(
      {"batch", image_path_, "--name-prefix", "TAVREN", "--skip-if-revision", "2.17", "--json"});
  EXPECT_EQ(batch.status, 0) << batch.err;
  std::set<std::string> results;
  const json rows = batch.document().at("devices");
  for (const json& row : rows)
    results.insert(row.at("mac").get<std::string>() + " " + row.at("result").get<std::string>());
  EXPECT_EQ(results, (std::set<std::string>{"C4:7C:8D:6A:3E:01 ok", "C4:7C:8D:6A:3E:02 skipped"}));
  WarbleSimUpdateRecord record{};
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.transfers, 1);
}

}  // namespace
