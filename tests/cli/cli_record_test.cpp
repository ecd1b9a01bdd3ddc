// The batch report as a production line's record: it never takes the place
// of an input, it holds every device once at every write, it resumes only
// for the same image, it belongs to one batch at a time, and a report that
// cannot be kept stops the batch with a status of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <thread>

#include "device/uuids.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/reference_crc.h"

namespace {

using namespace cli_test;
namespace fs = std::filesystem;

constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";

std::set<std::string> entries_of(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// Another process holding the report's lock, as a second batch would.
// Only system calls after the fork: the test process has other threads.
class lock_holder {
 public:
  explicit lock_holder(const std::string& lock_path) {
    pid_ = fork();
    if (pid_ != 0) return;
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT, 0666);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &whole) != 0) _exit(1);
    char pid[32];
    const int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (write(fd, pid, static_cast<size_t>(length)) != length) _exit(1);
    for (;;) pause();
  }
  ~lock_holder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST_F(command_line, TheReportNeverTakesThePlaceOfAnInputNorOfAnEarlierReportTooSoon) {
  world(device(FIRST, "RD one"));
  const std::string list = write_file("devices.txt", std::string(FIRST) + "\n");
  const std::string image_bytes = read_file("image.bin");
  const std::string earlier = write_file("earlier.json", "{\"devices\": []}\n");

  // Over the image, over the device list (spelled another way), through a
  // link to the image, onto a folder: refused before anything is written.
  ASSERT_EQ(symlink(image_path_.c_str(), (dir_ + "/link.json").c_str()), 0);
  for (const std::string& report : {image_path_, dir_ + "/./devices.txt", dir_ + "/link.json",
                                    dir_ + "/missing-folder/r.json", dir_}) {
    SCOPED_TRACE(report);
    const run_result refused = run({"batch", image_path_, "--devices", list, "--report", report});
    EXPECT_EQ(refused.status, 2) << refused.err;
  }
  EXPECT_EQ(read_file("image.bin"), image_bytes);
  EXPECT_EQ(read_file("devices.txt"), std::string(FIRST) + "\n");

  // A library that cannot be used leaves the earlier report as it was, and
  // says why in the loader's own words; with --json, as a JSON document.
  const run_result no_library = run({"--ble-library", dir_ + "/libnothing.so", "batch", image_path_,
                                     "--devices", list, "--report", earlier, "--json"});
  EXPECT_EQ(no_library.status, 4);
  EXPECT_EQ(read_file("earlier.json"), "{\"devices\": []}\n");
  EXPECT_EQ(no_library.document()["error"]["code"], "library_unusable") << no_library.out;
  EXPECT_NE(no_library.err.find("cannot open shared object file"), std::string::npos)
      << no_library.err;

  // Inputs that are not regular files are refused at once (a FIFO would
  // block the open; /dev/zero would never end); so are an empty image and
  // an empty name prefix (an unset shell variable).
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  const std::string empty = write_file("empty.bin", "");
  const std::vector<std::vector<std::string>> refusals = {
      {"batch", image_path_, "--devices", dir_ + "/fifo"},
      {"batch", image_path_, "--devices", list, "--resume", "/dev/zero"},
      {"batch", empty, "--devices", list},
      {"update", FIRST, empty},
      {"batch", image_path_, "--name-prefix", ""},
  };
  for (const auto& words : refusals) {
    SCOPED_TRACE(words[words.size() - 1]);
    EXPECT_EQ(run(words).status, 2);
  }
  const run_result json_refusal = run({"update", FIRST, empty, "--json"});
  EXPECT_EQ(json_refusal.document()["error"]["code"], "image_empty") << json_refusal.out;
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 0);
}

TEST_F(command_line, ABatchOwnsItsReportAndStopsWhenItCannotBeKept) {
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one") + device(SECOND, "RD two"));
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + std::string(SECOND) + "\n");
  const std::string report = dir_ + "/report.json";
  // A batch that was killed left its temporary file; another holds the
  // report now.
  write_file(".report.json.tavren-0123456789ab.tmp", "{\"devi");
  {
    lock_holder other(report + ".lock");
    ASSERT_GT(other.pid(), 0);
    ASSERT_TRUE(eventually([&] { return !read_file("report.json.lock").empty(); }));
    const run_result held = run({"batch", image_path_, "--devices", list, "--report", report});
    EXPECT_EQ(held.status, 2);
    EXPECT_NE(held.err.find("process " + std::to_string(other.pid())), std::string::npos)
        << held.err;
  }
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 0);

  const run_result done = run({"batch", image_path_, "--devices", list, "--report", report});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(entries_of(dir_), (std::set<std::string>{"image.bin", "devices.txt", "report.json"}))
      << "a temporary file or the lock was left behind";

  // The report can no longer be replaced once the first device is under
  // way: the batch stops before the next one, with its own status, and the
  // results still reach standard output.
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one") + device(SECOND, "RD two"));
  hooked_text err;
  err.when("Device 1 of 2", [&] {
    fs::remove(report);
    fs::create_directory(report);
  });
  const run_result stopped =
      run({"batch", image_path_, "--devices", list, "--report", report, "--json"}, &err);
  EXPECT_EQ(stopped.status, 6) << stopped.err;
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 1) << "the next device was touched";
  EXPECT_NE(stopped.err.find("cannot write the report " + report + ": Is a directory"),
            std::string::npos)
      << stopped.err;
  EXPECT_EQ(stopped.err.find(".tmp"), std::string::npos) << stopped.err;
  const json rows = stopped.document().at("devices");
  ASSERT_EQ(rows.size(), 2u) << stopped.out;
  EXPECT_EQ(rows[0].at("result"), "ok");
  EXPECT_EQ(rows[1].at("result"), "interrupted");
  EXPECT_EQ(rows[1].at("attempts"), 0);
  EXPECT_EQ(stopped.document().at("finished"), false);
  fs::remove(report);
  EXPECT_EQ(entries_of(dir_), (std::set<std::string>{"image.bin", "devices.txt"}));
}

TEST_F(command_line, AResumeCarriesOnlyThisImagesDevicesIntoEveryWriteOnceEach) {
  const std::string fleet = "advertise_interval_ms = 20\n" + device(FIRST, "RD one") +
                            device(SECOND, "RD two", "refuse_code = 0xB7\n") +
                            device(THIRD, "RD three");
  world(fleet);
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + THIRD + "\n");
  const std::string report = dir_ + "/report.csv";
  EXPECT_EQ(run({"batch", image_path_, "--devices", list, "--report", report}).status, 5);
  const std::string first_report = read_file("report.csv");
  char crc[16];
  snprintf(crc, sizeof crc, "0x%08X", reference_jamcrc(image_));
  EXPECT_NE(first_report.find(",image.bin,5000," + std::string(crc) + ",1.03,"), std::string::npos)
      << first_report;

  // Another image: the report is not its record.
  std::string other_bytes(image_.begin(), image_.end());
  other_bytes[100] ^= 0x55;
  const std::string other = write_file("other.bin", other_bytes);
  const run_result other_image =
      run({"batch", other, "--devices", list, "--resume", report, "--report", report});
  EXPECT_EQ(other_image.status, 2);
  EXPECT_NE(other_image.err.find("another image"), std::string::npos) << other_image.err;
  EXPECT_NE(other_image.err.find("leave out --resume"), std::string::npos);
  EXPECT_EQ(read_file("report.csv"), first_report);

  // Rows a report of ours cannot hold make it no report.
  for (const std::string& row : {std::string("C4:7C:8D:6A:3E,ok"), std::string(FIRST) + ",done"}) {
    const std::string bad = write_file("bad.csv", "mac,result\n" + row + "\n");
    const run_result refused =
        run({"batch", image_path_, "--devices", list, "--resume", bad, "--json"});
    EXPECT_EQ(refused.status, 2) << row;
    EXPECT_EQ(refused.document()["error"]["code"], "not_a_report") << refused.out;
  }
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 4) << "only the first batch connected";

  // Resumed: the devices updated before are in the report from its first
  // write on, and stay there once each when the batch is interrupted.
  world(fleet);
  hooked_text err;
  std::string report_meanwhile;
  err.when("Device 2 of 3", [&] {
    report_meanwhile = read_file("report.csv");
    std::raise(SIGINT);
  });
  const run_result resumed =
      run({"batch", image_path_, "--devices", list, "--resume", report, "--report", report}, &err);
  EXPECT_EQ(resumed.status, 130) << resumed.err;
  for (const std::string mac : {FIRST, THIRD})
    EXPECT_NE(report_meanwhile.find("\n" + mac + ",RD "), std::string::npos) << report_meanwhile;
  const std::string last = read_file("report.csv");
  for (const std::string mac : {FIRST, SECOND, THIRD}) {
    const size_t at = last.find("\n" + mac + ",");
    EXPECT_NE(at, std::string::npos) << mac << " in\n" << last;
    EXPECT_EQ(last.find("\n" + mac + ",", at + 1), std::string::npos) << mac << " twice in\n"
                                                                      << last;
  }
  // Interrupted while it was looked for: nothing of it is known.
  EXPECT_NE(last.find("\n" + std::string(SECOND) + ",,,,interrupted,"), std::string::npos) << last;
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 0);
}

TEST_F(command_line, AnInterruptionDuringTheFinishHandshakeKeepsTheDevicesVerdict) {
  // The finish is the 26th frame of this image; its reply comes late, so
  // the interruption lands while it is awaited.
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one", "late_reply_frame = 26:600\n") +
        device(SECOND, "RD two"));
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + std::string(SECOND) + "\n");
  std::thread interrupter([] {
    if (eventually([] { return warble_sim_write_count(UPDATE_CHAR_UUID) >= 26; },
                   std::chrono::seconds(60)))
      std::raise(SIGINT);
  });
  const run_result interrupted = run({"batch", image_path_, "--devices", list, "--json"});
  interrupter.join();
  EXPECT_EQ(interrupted.status, 130) << interrupted.err;
  const json rows = interrupted.document().at("devices");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("result"), "ok") << "the device accepted the image and installs it";
  EXPECT_EQ(rows[1].at("result"), "interrupted");
  WarbleSimUpdateRecord record{};
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.accepted, 1) << record.verdict;
  EXPECT_EQ(record.transfers, 1);
}

TEST_F(command_line, ImageChangedDuringABatchStopsItBeforeTheDeviceTakesOtherBytes) {
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one") + device(SECOND, "RD two"));
  const std::string list =
      write_file("devices.txt", std::string(FIRST) + "\n" + std::string(SECOND) + "\n");
  std::string changed(image_.begin(), image_.end());
  changed[4000] ^= 0x01;
  hooked_text err;
  err.when("Device 1 of 2", [&] { write_file("image.bin", changed); });
  const run_result stopped = run({"batch", image_path_, "--devices", list, "--json"}, &err);
  EXPECT_EQ(stopped.status, 2) << stopped.err;
  WarbleSimUpdateRecord record{};
  ASSERT_EQ(warble_sim_update_record(&record), 0);
  EXPECT_EQ(record.crc_received, 0) << "the checksum of other bytes was sent";
  EXPECT_EQ(record.finished, 0);
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 1);
  const json rows = stopped.document().at("devices");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("error_code"), "image_changed");
  EXPECT_EQ(rows[1].at("result"), "interrupted");
}

}  // namespace

namespace {

constexpr const char* FOURTH = "C4:7C:8D:6A:3E:04";
constexpr const char* FIFTH = "C4:7C:8D:6A:3E:05";

// A name a stranger might advertise: a spreadsheet formula with an escape
// sequence that would turn a terminal red.
const std::string HOSTILE_NAME = "=HYPERLINK(\"x\")\x1b[31mRED";

TEST_F(command_line, DeviceTextIsDataAndEveryFailureIsToldApart) {
  // Frames are counted over the whole world: the device that drops its
  // link at frame 6 is the first to get any.
  world("advertise_interval_ms = 20\n" + device(THIRD, "RD three", "drop_link_frame = 6\n") +
        device(SECOND, "RD two", "refuse_code = 0xB4\n") +
        device(FOURTH, "RD four", "missing = fabbe008-4910-473c-be46-960948c2f59c\n") +
        device(FIRST, HOSTILE_NAME) + device(FIFTH, "RD five", "firmware_revision = 1.06\n"));
  const std::string list =
      write_file("devices.txt", std::string(THIRD) + "\n" + SECOND + "\n" + FOURTH + "\n" + FIRST +
                                    "\n" + FIFTH + "\n" + ABSENT + "\n");
  const run_result batch =
      run({"batch", image_path_, "--devices", list, "--retries", "0", "--seconds", "010",
           "--skip-if-revision", "1.06", "--report", dir_ + "/report.csv"});
  EXPECT_EQ(batch.status, 5) << batch.err;

  // What a person reads escapes the device's text; the spreadsheet gets it
  // as text, not as a formula.
  EXPECT_EQ(batch.out.find('\x1b'), std::string::npos) << batch.out;
  EXPECT_NE(batch.out.find("=HYPERLINK(\"x\")\\x1B[31mRED"), std::string::npos) << batch.out;
  const std::string csv = read_file("report.csv");
  EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"x\"\")\x1b[31mRED\","), std::string::npos) << csv;
  // A line for each device passed over, and one to sum the batch up.
  EXPECT_NE(batch.err.find(std::string(ABSENT) + ": not found (Not seen within 10 s)"),
            std::string::npos)
      << batch.err;
  EXPECT_NE(batch.err.find(std::string(FIFTH) + ": skipped, Firmware Revision 1.06"),
            std::string::npos);
  EXPECT_NE(batch.err.find("Batch: 1 ok, 3 failed, 1 skipped, 1 not found, 0 interrupted "
                           "(6 devices)"),
            std::string::npos)
      << batch.err;

  // Each failure in the report by its code and what became of its frame.
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream lines(csv);
  std::string header, line;
  std::getline(lines, header);
  while (std::getline(lines, line)) rows[line.substr(0, 17)].push_back(line);
  const auto row_of = [&](const char* mac) {
    return rows[mac].empty() ? std::string() : rows[mac].front();
  };
  EXPECT_NE(
      row_of(THIRD).find(",failed,Packet ERROR,link_lost,the link was lost at frame 6 of 26,1,"),
      std::string::npos)
      << row_of(THIRD);
  EXPECT_NE(row_of(SECOND).find(
                ",failed,Packet ERROR,refused,the device refused frame 4 of 26 (status 5),1,"),
            std::string::npos)
      << row_of(SECOND);
  EXPECT_NE(row_of(FOURTH).find(",failed,ERROR Proprietary service not found,service_not_found,"),
            std::string::npos)
      << row_of(FOURTH);
  EXPECT_NE(row_of(FIFTH).find(",skipped,,,,0,0,"), std::string::npos) << row_of(FIFTH);
  EXPECT_NE(row_of(ABSENT).find(",not_found,Not seen within 10 s,not_found,,0,0,"),
            std::string::npos)
      << row_of(ABSENT);

  const run_result json_run = run({"scan", "--json", "--seconds", "10"});
  bool hostile_seen = false;
  const json scanned = json_run.document();
  for (const json& entry : scanned.at("devices")) hostile_seen |= entry.at("name") == HOSTILE_NAME;
  EXPECT_TRUE(hostile_seen) << "JSON keeps the text as it is: " << json_run.out;

  // The pace of a transfer that failed counts what the device acknowledged:
  // two packets before the link went.
  // (On a paced link, so that the transfer takes a measurable time.)
  world("connection_interval_ms = 7.5\n" + device(THIRD, "RD three", "drop_link_frame = 6\n"));
  const run_result dropped = run({"update", THIRD, image_path_, "--retries", "0", "--json"});
  EXPECT_EQ(dropped.status, 1);
  const json failed = dropped.document();
  const double seconds = failed.at("seconds").get<double>();
  ASSERT_GT(seconds, 0);
  EXPECT_NEAR(failed.at("bytes_per_second").get<double>(), 480 / seconds, 1 + 480 / seconds * 0.01);

  // A device not yet reachable for a moment is looked for and connected
  // again, each try counted.
  world(device(FIRST, "RD one", "connect_error = Unreachable\nconnect_error_times = 1\n"));
  const run_result retried = run({"update", FIRST, image_path_, "--json"});
  EXPECT_EQ(retried.status, 0) << retried.err;
  EXPECT_EQ(retried.document().at("attempts"), 2);
  world(device(FIRST, "RD one", "connect_error = Unreachable\n"));
  const run_result unreachable = run({"update", FIRST, image_path_, "--retries", "2", "--json"});
  EXPECT_EQ(unreachable.status, 3);
  EXPECT_EQ(unreachable.document().at("attempts"), 3);
  EXPECT_EQ(unreachable.document().at("error_code"), "cannot_connect");
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 3);
  // A device without the update characteristic is not one of ours.
  world(device(FOURTH, "RD four", "missing = fabbe008-4910-473c-be46-960948c2f59c\n"));
  EXPECT_EQ(run({"update", FOURTH, image_path_}).status, 3);
}

TEST_F(command_line, HelpQueriesAndUsageSpeakPlainly) {
  const run_result help = run({"help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"--ble-library", "Exit statuses:", "6    the batch report could not",
                           "130  interrupted", "Examples:", "tavren-update batch fw-1.06.bin"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part << " in\n" << help.out;
  EXPECT_EQ(run({"--help"}).out, help.out);
  const run_result batch_help = run({"help", "batch"});
  EXPECT_EQ(batch_help.status, 0);
  EXPECT_NE(batch_help.out.find("--resume"), std::string::npos) << batch_help.out;
  EXPECT_EQ(run({"help", "flash"}).status, 2);

  const run_result usage = run({"update", "C4:7C:8D", image_path_, "--json"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.document()["error"]["code"], "bad_usage") << usage.out;
  EXPECT_EQ(run({"update", FIRST, image_path_, "--retries", "0x10"}).status, 2);

  // A device that refuses every query: each is named.
  world(device(FIRST, "RD one", "command_status = 4\n"));
  const run_result info = run({"info", FIRST, "--json"});
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.document()["error"]["code"], "query_refused");
  EXPECT_NE(info.err.find("the firmware version (0x0000), the firmware date (0x0001), the "
                          "firmware time (0x0002)"),
            std::string::npos)
      << info.err;
  EXPECT_TRUE(info.document().at("version").is_null());
  // A name the device does not advertise is null, as every absent text.
  world(device(FIRST, "<null>"));
  const run_result scan = run({"scan", "--json", "--seconds", "10"});
  ASSERT_EQ(scan.document().at("devices").size(), 1u) << scan.out;
  EXPECT_TRUE(scan.document().at("devices")[0].at("name").is_null());
}

}  // namespace
