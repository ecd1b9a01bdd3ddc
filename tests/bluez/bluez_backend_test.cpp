// The command line through the BlueZ backend, against a fake bluetoothd on
// a private bus whose devices are the stand-in's simulated devices: the
// same device judges this path and the loaded-library one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/clock.h"
#include "tests/bluez/private_bus.h"
#include "tests/support/eventually.h"
#include "tests/support/hooked_run.h"

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// The protocol's pauses and bounds go five times faster: every GATT call
// still has two seconds, room for four processes on a loaded machine.
constexpr uint32_t TIME_COMPRESSION = 5;

constexpr const char* FIRST = "C4:7C:8D:6A:3E:01";
constexpr const char* SECOND = "C4:7C:8D:6A:3E:02";
constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";
constexpr const char* OTHER = "5A:10:22:33:44:55";

std::string device(const std::string& mac, const std::string& name, const std::string& extra = "") {
  return "[device]\nmac = " + mac + "\nname = " + name + "\ncommand_busy_ms = 5\n" + extra;
}

// Installs what it was sent and comes back on 1.06 shortly after.
const std::string RESTARTS =
    "restart_after_finish = yes\nrevision_after_restart = 1.06\nrestart_delay_ms = 50\n"
    "restart_absent_ms = 300\n";

class bluez_backend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { set_time_compression_for_tests(TIME_COMPRESSION); }
  static void TearDownTestSuite() { set_time_compression_for_tests(1); }

  void SetUp() override {
    char pattern[] = "/tmp/bluez-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = make_image(5000);
    image_path_ = write_file("image.bin", image_);
  }

  void TearDown() override {
    if (bus_) {
      const std::string log = bus_->fake_log();
      EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
      bus_.reset();
    }
    const std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  static std::vector<uint8_t> make_image(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
  }

  void start(const std::string& scenario, std::vector<std::string> flags = {},
             bool with_bluez = true, bool deny = false) {
    bus_ = std::make_unique<private_bus>(
        fake_bluez_options{scenario, std::move(flags), with_bluez, deny});
    ASSERT_TRUE(bus_->ok()) << bus_->problem();
  }

  run_result run(const std::vector<std::string>& arguments, hooked_text* hook = nullptr) {
    std::vector<std::string> words = {"tavren-update", "--ble-library", "bluez"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    hooked_text own;
    hooked_text& err_text = hook ? *hook : own;
    std::ostringstream out;
    std::ostream err(&err_text);
    run_result result;
    result.status =
        cli_main(static_cast<int>(words.size()), argv.data(), cli_streams{out, err, false, false});
    result.out = out.str();
    result.err = err_text.str();
    return result;
  }

  std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::string write_text(const std::string& name, const std::string& text) {
    return write_file(name, std::vector<uint8_t>(text.begin(), text.end()));
  }

  // The update went through whole: accepted, every byte as sent.
  void expect_installed(const std::string& mac, const std::vector<uint8_t>& image) {
    const fake_record record = bus_->record(mac);
    EXPECT_TRUE(record.accepted) << record.verdict;
    EXPECT_EQ(record.image, image);
  }

  std::unique_ptr<private_bus> bus_;
  std::string dir_;
  std::vector<uint8_t> image_;
  std::string image_path_;
};

TEST_F(bluez_backend, scan_lists_the_devices_that_discovery_finds) {
  start(device(FIRST, "TAVREN RD") + device(OTHER, "Speaker", "proprietary = no\nrssi = -80\n"));
  const run_result r = run({"scan", "--seconds", "10", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json devices = r.document()["devices"];
  ASSERT_EQ(devices.size(), 2u) << r.out;
  bool first_seen = false;
  for (const json& each : devices) {
    if (each["mac"] != FIRST) continue;
    first_seen = true;
    EXPECT_EQ(each["name"], "TAVREN RD");
    EXPECT_EQ(each["rssi"], -67);
  }
  EXPECT_TRUE(first_seen) << r.out;
  // LE only, and every advertisement, asked for explicitly; discovery ended.
  std::string transport;
  bool duplicate_data = false;
  ASSERT_TRUE(bus_->filter(transport, duplicate_data));
  EXPECT_EQ(transport, "le");
  EXPECT_TRUE(duplicate_data);
  EXPECT_EQ(bus_->calls("StartDiscovery"), 1u);
  // Sent as the scan ends; the fake may answer our question before it.
  EXPECT_TRUE(eventually([&] { return bus_->calls("StopDiscovery") == 1; }, 10s));
}

TEST_F(bluez_backend, info_reads_the_device_information_over_bluez) {
  start(device(FIRST, "TAVREN RD", "serial_number = SN4242\nversion = 01 06 00 07\n"));
  const run_result r = run({"info", FIRST, "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json document = r.document();
  EXPECT_EQ(document["firmware_revision"], "1.05");
  EXPECT_EQ(document["manufacturer"], "TAVREN");
  EXPECT_EQ(document["serial_number"], "SN4242");
  EXPECT_EQ(document["version"], "1.06") << r.out;
  // Released: no link left, and the device's cached database dropped.
  EXPECT_TRUE(eventually([&] { return bus_->counter("live_links") == 0; }, 10s));
  EXPECT_TRUE(eventually([&] { return bus_->calls("RemoveDevice") == 1; }, 10s));
}

// The whole flow: found, connected, sent, installed, found again and read
// on its new revision, which a kept GATT cache would hide.
// Where BlueZ offers a write socket (AcquireWrite) the frames go through it,
// else (none offered, or the one offered refused) each is a WriteValue; the
// image arrives whole either way.
TEST_F(bluez_backend, update_is_byte_exact_and_verified_on_the_new_revision) {
  constexpr uint32_t PACKETS = 21;  // 5000 bytes, 240 a packet
  struct way {
    const char* name;
    std::vector<std::string> flags;
    uint32_t acquires;
    bool by_socket;
  };
  const way ways[] = {{"AcquireWrite offered", {}, 1, true},
                      {"WriteValue only", {"--no-acquire-write"}, 0, false},
                      {"AcquireWrite refused", {"--refuse-acquire-write"}, 1, false}};
  for (const way& w : ways) {
    SCOPED_TRACE(w.name);
    if (bus_) {
      EXPECT_EQ(bus_->fake_log().find("Sanitizer"), std::string::npos);
    }
    bus_.reset();
    start(device(FIRST, "TAVREN RD", RESTARTS), w.flags);
    const run_result r = run(
        {"update", FIRST, image_path_, "--expect-revision", "1.06", "--json", "--seconds", "10"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const json document = r.document();
    EXPECT_EQ(document["result"], "ok");
    EXPECT_EQ(document["revision_before"], "1.05");
    EXPECT_EQ(document["revision_after"], "1.06");
    EXPECT_EQ(document["attempts"], 1);
    expect_installed(FIRST, image_);
    EXPECT_GE(bus_->calls("RemoveDevice"), 1u);
    EXPECT_EQ(bus_->calls("AcquireWrite"), w.acquires);
    if (w.by_socket) {
      EXPECT_LT(bus_->calls("WriteValue"), PACKETS);
    } else {
      EXPECT_GT(bus_->calls("WriteValue"), PACKETS);
    }
    EXPECT_TRUE(eventually([&] { return bus_->counter("live_links") == 0; }, 10s));
  }
}

TEST_F(bluez_backend, a_refusal_is_reported_as_such) {
  start(device(FIRST, "TAVREN RD", "refuse_frame = 4\n"));
  const run_result r =
      run({"update", FIRST, image_path_, "--json", "--retries", "0", "--seconds", "10"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.document()["error_code"], "refused") << r.out;
  EXPECT_FALSE(bus_->record(FIRST).accepted);
}

TEST_F(bluez_backend, a_link_lost_mid_transfer_ends_the_update_as_link_lost) {
  start(device(FIRST, "TAVREN RD", "drop_link_frame = 8\n"));
  const run_result r =
      run({"update", FIRST, image_path_, "--json", "--retries", "0", "--seconds", "10"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.document()["error_code"], "link_lost") << r.out;
  EXPECT_FALSE(bus_->record(FIRST).accepted);
}

TEST_F(bluez_backend, services_resolved_before_the_characteristics_still_connects) {
  start(device(FIRST, "TAVREN RD"), {"--resolve-early"});
  const run_result r = run({"update", FIRST, image_path_, "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.document()["attempts"], 1) << r.out;
  expect_installed(FIRST, image_);
}

TEST_F(bluez_backend, in_progress_on_the_first_connect_is_asked_again) {
  start(device(FIRST, "TAVREN RD"), {"--in-progress-first"});
  const run_result r = run({"update", FIRST, image_path_, "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.document()["attempts"], 1) << r.out;
  EXPECT_EQ(bus_->calls("Connect"), 2u);
  expect_installed(FIRST, image_);
}

TEST_F(bluez_backend, a_device_dropped_from_the_tree_after_the_scan_is_found_again) {
  start(device(FIRST, "TAVREN RD"), {"--forget-on-stop"});
  const run_result r = run({"update", FIRST, image_path_, "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.document()["attempts"], 1) << r.out;
  // The search, then the connection's own discovery of the dropped device.
  EXPECT_GE(bus_->calls("StartDiscovery"), 2u);
  expect_installed(FIRST, image_);
}

TEST_F(bluez_backend, a_device_gone_from_the_tree_mid_transfer_is_a_lost_link) {
  start(device(FIRST, "TAVREN RD", "reply_delay_ms = 20\n"));
  hooked_text err;
  err.when("\"event\":\"progress\"", [&] { EXPECT_TRUE(bus_->forget(FIRST)); });
  const run_result r = run({"update", FIRST, image_path_, "--json", "--retries", "0", "--progress",
                            "json", "--seconds", "10"},
                           &err);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.document()["error_code"], "link_lost") << r.out;
}

TEST_F(bluez_backend, bluetoothd_leaving_mid_transfer_is_a_lost_link_not_a_hang) {
  start(device(FIRST, "TAVREN RD", "reply_delay_ms = 20\n"));
  hooked_text err;
  err.when("\"event\":\"progress\"", [&] { bus_->stop_bluez(); });
  const run_result r = run({"update", FIRST, image_path_, "--json", "--retries", "0", "--progress",
                            "json", "--seconds", "10"},
                           &err);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.document()["error_code"], "link_lost") << r.out;
}

TEST_F(bluez_backend, lost_and_doubled_notifications_leave_the_update_exact) {
  start(device(FIRST, "TAVREN RD", "status_stays_busy_ms = 150\n"),
        {"--lose-first-notification", "--duplicate-values"});
  const run_result r = run({"update", FIRST, image_path_, "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_installed(FIRST, image_);
}

TEST_F(bluez_backend, batch_serves_three_devices_at_once_with_overlapping_transfers) {
  // Transfers long beside a connection's setup (one at a time).
  const std::string slow = "reply_delay_ms = 20\n";
  start(device(FIRST, "TAVREN RD", slow) + device(SECOND, "TAVREN RD", slow) +
        device(THIRD, "TAVREN RD", slow));
  const std::vector<uint8_t> image = make_image(24000);
  const std::string image_path = write_file("big.bin", image);
  const std::string list =
      write_text("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n" + THIRD + "\n");
  const run_result r = run({"batch", image_path, "--devices", list, "--parallel", "3", "--report",
                            dir_ + "/report.json", "--json", "--seconds", "10"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  for (const char* mac : {FIRST, SECOND, THIRD}) expect_installed(mac, image);
  const std::vector<transfer_window> windows = bus_->transfers();
  ASSERT_EQ(windows.size(), 3u);
  int64_t latest_start = 0, earliest_end = INT64_MAX;
  for (const transfer_window& w : windows) {
    latest_start = std::max(latest_start, w.first_us);
    earliest_end = std::min(earliest_end, w.last_us);
  }
  EXPECT_LT(latest_start, earliest_end) << "the three transfers never ran at once";
}

// A line station on BlueZ: it keeps discovering while it updates, and
// every device is updated, verified on its new revision and on record.
TEST_F(bluez_backend, a_line_updates_every_device_while_it_keeps_discovering) {
  const std::string restarts =
      "restart_after_finish = 1\nrevision_after_restart = 1.06\nrestart_absent_ms = 300\n";
  start(device(FIRST, "TAVREN RD", restarts) + device(SECOND, "TAVREN RD", restarts) +
        device(THIRD, "TAVREN RD", restarts));
  const run_result r =
      run({"line", image_path_, "--name-prefix", "TAVREN", "--expect-revision", "1.06",
           "--parallel", "3", "--record", dir_ + "/line.ndjson", "--until-idle", "30", "--json"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const nlohmann::json document = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(document.is_object()) << r.out;
  ASSERT_EQ(document.at("devices").size(), 3u) << r.out;
  for (const auto& row : document.at("devices")) {
    EXPECT_EQ(row.at("result"), "ok") << row;
    EXPECT_EQ(row.at("revision_after"), "1.06") << row;
  }
  for (const char* mac : {FIRST, SECOND, THIRD}) expect_installed(mac, image_);
}

// A station outlives a restart of bluetoothd (an upgrade, a crash): the
// devices that turn up after it are served through the new one.
TEST_F(bluez_backend, a_line_goes_on_through_a_restarted_bluetoothd) {
  start(device(FIRST, "TAVREN RD", RESTARTS));
  hooked_text err;
  bool restarted = false;
  err.when("\"event\":\"done\"", [&] {
    restarted = bus_->restart_bluez(
        fake_bluez_options{device(FIRST, "TAVREN RD", "firmware_revision = 1.06\n") +
                               device(SECOND, "TAVREN RD", RESTARTS),
                           {},
                           true,
                           false});
  });
  const run_result r = run(
      {"line", image_path_, "--name-prefix", "TAVREN", "--expect-revision", "1.06", "--record",
       dir_ + "/line.ndjson", "--count", "2", "--until-idle", "30", "--json", "--progress", "json"},
      &err);
  ASSERT_TRUE(restarted) << bus_->problem();
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const nlohmann::json document = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(document.is_object()) << r.out;
  ASSERT_EQ(document.at("devices").size(), 2u) << r.out;
  for (const auto& row : document.at("devices")) EXPECT_EQ(row.at("result"), "ok") << row;
  expect_installed(SECOND, image_);
}

// --- what stands in the way, said to a person, with status 4 ---------------

TEST_F(bluez_backend, errors_before_any_device_say_what_is_wrong) {
  struct reason {
    std::vector<std::string> flags;
    bool with_bluez, deny;
    std::vector<std::string> options;
    std::vector<std::string> words;
  };
  const reason reasons[] = {
      {{}, false, false, {}, {"no bluetoothd", "sudo systemctl start bluetooth"}},
      {{"--no-adapter"}, true, false, {}, {"no Bluetooth adapter", "bluetoothctl list"}},
      {{"--powered-off"}, true, false, {}, {"hci0 is switched off", "bluetoothctl power on"}},
      {{}, true, false, {"--adapter", "hci1"}, {"no Bluetooth adapter hci1 (BlueZ has hci0)"}},
      {{}, true, true, {}, {"does not let this user", "\"bluetooth\" group", "adduser"}},
  };
  for (const reason& each : reasons) {
    start(device(FIRST, "TAVREN RD"), each.flags, each.with_bluez, each.deny);
    std::vector<std::string> arguments = each.options;
    arguments.insert(arguments.end(), {"scan", "--seconds", "1", "--json"});
    const run_result r = run(arguments);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(r.document()["error"]["code"], "library_unusable") << r.out;
    for (const std::string& word : each.words)
      EXPECT_NE(r.err.find(word), std::string::npos) << word << " not in: " << r.err;
    bus_.reset();
  }
}

TEST_F(bluez_backend, no_system_bus_is_said_as_such) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ + "/no_bus_here").c_str(), 1);
  const run_result r = run({"scan", "--seconds", "1"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("cannot reach the system bus"), std::string::npos) << r.err;
}

// --- the real program in a process of its own ----------------------------------

// No library the loader finds: BlueZ serves, and --verbose says so.
TEST_F(bluez_backend, without_a_library_the_program_uses_bluez) {
  start(device(FIRST, "TAVREN RD"));
  unsetenv("LD_LIBRARY_PATH");
  std::string output;
  const int status =
      run_program({TAVREN_UPDATE_PROGRAM, "--verbose", "scan", "--seconds", "3"}, output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("using BlueZ"), std::string::npos) << output;
  EXPECT_NE(output.find(FIRST), std::string::npos) << output;
}

TEST_F(bluez_backend, ctrl_c_stops_a_transfer_and_releases_the_device) {
  start(device(FIRST, "TAVREN RD", "reply_delay_ms = 20\n"));
  const std::vector<uint8_t> image = make_image(60000);
  const std::string image_path = write_file("big.bin", image);
  const std::string log = dir_ + "/program.log";
  const pid_t pid = start_program({TAVREN_UPDATE_PROGRAM, "--ble-library", "bluez", "--progress",
                                   "json", "update", FIRST, image_path},
                                  log);
  ASSERT_GT(pid, 0);
  const auto log_holds = [&](const std::string& text) {
    std::ifstream file(log);
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    return content.find(text) != std::string::npos;
  };
  ASSERT_TRUE(eventually([&] { return log_holds("\"event\":\"progress\""); }, 60s));
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_TRUE(eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60s));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(log_holds("interrupted"));
  EXPECT_FALSE(bus_->record(FIRST).accepted);
  EXPECT_TRUE(eventually([&] { return bus_->counter("live_links") == 0; }, 10s));
}

}  // namespace
