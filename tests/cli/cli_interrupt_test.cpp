// Ctrl+C in the middle of a transfer, sent to the real program in a process
// of its own, in real time, over a slow link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/eventually.h"
#include "tests/support/program_run.h"

namespace {

using namespace std::chrono_literals;

// Bounds for a loaded machine under a sanitizer; the whole run takes a few
// seconds normally.
constexpr auto TRANSFER_SEEN_LIMIT = 60s;
constexpr auto EXIT_LIMIT = 60s;

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// The stand-in's record: "key = value" lines, the first of each key.
std::map<std::string, std::string> read_record(const std::string& path) {
  std::map<std::string, std::string> record;
  std::istringstream lines(read_file(path));
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find(" = ");
    if (equals != std::string::npos)
      record.emplace(line.substr(0, equals), line.substr(equals + 3));
  }
  return record;
}

size_t occurrences(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

TEST(InterruptedProgram, StopsAfterTheFrameInFlightReleasesTheDeviceAndReportsIt) {
  char pattern[] = "/tmp/cli-interrupt-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  // Removed however the test ends.
  const std::unique_ptr<const std::string, void (*)(const std::string*)> removed(
      &dir, [](const std::string* path) { std::filesystem::remove_all(*path); });
  // 200 packets, each answered two connection events after it was written.
  std::ofstream(dir + "/world.txt") << "connection_interval_ms = 30\nadvertise_interval_ms = 20\n"
                                       "[device]\nmac = C4:7C:8D:6A:3E:01\ncommand_busy_ms = 5\n";
  std::ofstream(dir + "/image.bin", std::ios::binary) << std::string(48000, '\x5A');
  std::ofstream(dir + "/devices.txt") << "C4:7C:8D:6A:3E:01\n";

  program_run program(
      TAVREN_UPDATE_PROGRAM,
      {"batch", dir + "/image.bin", "--devices", dir + "/devices.txt", "--report",
       dir + "/report.json", "--verbose"},
      {"LD_LIBRARY_PATH=" WARBLE_LIBRARY_DIR, "WARBLE_SIM_SCENARIO=" + dir + "/world.txt",
       "WARBLE_SIM_RECORD=" + dir + "/record.txt"});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(eventually(
      [&] { return program.err().find("   10 %") != std::string::npos || !program.running(); },
      TRANSFER_SEEN_LIMIT));
  ASSERT_TRUE(program.running()) << "the transfer never showed its progress:\n" << program.err();
  ASSERT_EQ(kill(program.pid(), SIGINT), 0);
  EXPECT_EQ(program.wait_exit(EXIT_LIMIT), 130) << program.err();

  // Each packet is traced ("Progress N") before it is written; the handler
  // says it was interrupted once the stop is set. So the device may hold the
  // packet in flight at that moment, and none that came after it.
  const std::string& err = program.err();
  const size_t notice = err.find("Interrupted: no frame goes after the one in flight");
  ASSERT_NE(notice, std::string::npos) << err;
  const size_t packets_begun = occurrences(err.substr(0, notice), "Progress ");
  std::map<std::string, std::string> record = read_record(dir + "/record.txt");
  const int packets = std::stoi(record["packets"]);
  EXPECT_GE(packets, 1);
  EXPECT_LE(packets, static_cast<int>(packets_begun)) << err;
  EXPECT_EQ(std::stoi(record["frames"]), 3 + packets) << "only start, B1, length and packets";
  EXPECT_EQ(record["finished"], "0");
  EXPECT_EQ(record["received_crc"], "none");
  EXPECT_EQ(record["counter.open_connections"], "0") << "the connection was not released";
  EXPECT_EQ(record["counter.live_links"], "0");

  const nlohmann::json report =
      nlohmann::json::parse(read_file(dir + "/report.json"), nullptr, false);
  ASSERT_TRUE(report.is_object()) << read_file(dir + "/report.json");
  EXPECT_EQ(report.at("finished"), false);
  ASSERT_EQ(report.at("devices").size(), 1u);
  EXPECT_EQ(report.at("devices")[0].at("result"), "interrupted");
  EXPECT_EQ(report.at("devices")[0].at("error"), "Interrupted");
}

// Three devices served at once: Ctrl+C stops each transfer after its own
// frame in flight, releases every device and writes the report.
TEST(InterruptedProgram, AtOnceEveryTransferStopsAfterItsOwnFrameInFlight) {
  char pattern[] = "/tmp/cli-interrupt-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::unique_ptr<const std::string, void (*)(const std::string*)> removed(
      &dir, [](const std::string* path) { std::filesystem::remove_all(*path); });
  const char* const macs[] = {"C4:7C:8D:6A:3E:01", "C4:7C:8D:6A:3E:02", "C4:7C:8D:6A:3E:03"};
  std::ofstream world(dir + "/world.txt");
  world << "connection_interval_ms = 30\nadvertise_interval_ms = 20\n";
  std::ofstream list(dir + "/devices.txt");
  for (const char* mac : macs) {
    world << "[device]\nmac = " << mac << "\ncommand_busy_ms = 5\n";
    list << mac << "\n";
  }
  world.close();
  list.close();
  std::ofstream(dir + "/image.bin", std::ios::binary) << std::string(48000, '\x5A');

  program_run program(
      TAVREN_UPDATE_PROGRAM,
      {"batch", dir + "/image.bin", "--devices", dir + "/devices.txt", "--parallel", "3",
       "--report", dir + "/report.json", "--verbose"},
      {"LD_LIBRARY_PATH=" WARBLE_LIBRARY_DIR, "WARBLE_SIM_SCENARIO=" + dir + "/world.txt",
       "WARBLE_SIM_RECORD=" + dir + "/record.txt"});
  ASSERT_TRUE(program.started());
  const auto all_under_way = [&] {
    for (const char* mac : macs) {
      if (program.err().find(std::string(mac) + "   10 %") == std::string::npos) return false;
    }
    return true;
  };
  ASSERT_TRUE(
      eventually([&] { return all_under_way() || !program.running(); }, TRANSFER_SEEN_LIMIT));
  ASSERT_TRUE(program.running()) << program.err();
  ASSERT_EQ(kill(program.pid(), SIGINT), 0);
  EXPECT_EQ(program.wait_exit(EXIT_LIMIT), 130) << program.err();

  const std::string& err = program.err();
  const size_t notice = err.find("Interrupted: no frame goes after the one in flight");
  ASSERT_NE(notice, std::string::npos) << err;
  std::map<std::string, std::string> record = read_record(dir + "/record.txt");
  for (const char* mac : macs) {
    SCOPED_TRACE(mac);
    const std::string key = std::string("device.") + mac + ".";
    const size_t packets_begun =
        occurrences(err.substr(0, notice), "[" + std::string(mac) + "] Progress ");
    const int packets = std::stoi(record[key + "packets"]);
    EXPECT_GE(packets, 1);
    EXPECT_LE(packets, static_cast<int>(packets_begun)) << "a frame went after the one in flight";
    EXPECT_EQ(std::stoi(record[key + "frames"]), 3 + packets);
    EXPECT_EQ(record[key + "finished"], "0");
  }
  EXPECT_EQ(record["counter.open_connections"], "0") << "a device was not released";
  EXPECT_EQ(record["counter.live_links"], "0");

  const nlohmann::json report =
      nlohmann::json::parse(read_file(dir + "/report.json"), nullptr, false);
  ASSERT_TRUE(report.is_object()) << read_file(dir + "/report.json");
  EXPECT_EQ(report.at("finished"), false);
  ASSERT_EQ(report.at("devices").size(), 3u);
  for (const auto& row : report.at("devices")) EXPECT_EQ(row.at("result"), "interrupted") << row;
}

// The commonest ends of a station's run: its terminal closed (SIGHUP)
// mid-transfer, and standard error gone (a pipe whose reader ended). Both
// leave the whole report; the progress stream stays one JSON object a line.
TEST(InterruptedProgram, AHangUpOrAClosedStandardErrorStillLeavesTheWholeReport) {
  char pattern[] = "/tmp/cli-interrupt-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::unique_ptr<const std::string, void (*)(const std::string*)> removed(
      &dir, [](const std::string* path) { std::filesystem::remove_all(*path); });
  std::ofstream(dir + "/world.txt") << "connection_interval_ms = 30\nadvertise_interval_ms = 20\n"
                                       "[device]\nmac = C4:7C:8D:6A:3E:01\ncommand_busy_ms = 5\n";
  std::ofstream(dir + "/image.bin", std::ios::binary) << std::string(48000, '\x5A');
  std::ofstream(dir + "/small.bin", std::ios::binary) << std::string(2000, '\x5A');
  std::ofstream(dir + "/devices.txt") << "C4:7C:8D:6A:3E:01\n";
  const std::vector<std::string> settings = {"LD_LIBRARY_PATH=" WARBLE_LIBRARY_DIR,
                                             "WARBLE_SIM_SCENARIO=" + dir + "/world.txt"};
  const auto report_of = [&](const std::string& name) {
    return nlohmann::json::parse(read_file(dir + "/" + name), nullptr, false);
  };

  program_run hung_up(TAVREN_UPDATE_PROGRAM,
                      {"batch", dir + "/image.bin", "--devices", dir + "/devices.txt", "--report",
                       dir + "/hup.json", "--progress", "json"},
                      settings);
  ASSERT_TRUE(hung_up.started());
  ASSERT_TRUE(eventually(
      [&] {
        return hung_up.err().find("\"event\":\"progress\"") != std::string::npos ||
               !hung_up.running();
      },
      TRANSFER_SEEN_LIMIT));
  ASSERT_TRUE(hung_up.running()) << hung_up.err();
  ASSERT_EQ(kill(hung_up.pid(), SIGHUP), 0);
  EXPECT_EQ(hung_up.wait_exit(EXIT_LIMIT), 130) << "ended by signal " << hung_up.end_signal();
  std::istringstream lines(hung_up.err());
  int interruptions = 0;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << "not one JSON object: \"" << line << "\"";
    EXPECT_TRUE(event.contains("mac")) << line;
    interruptions += event.value("event", "") == "interrupted";
  }
  EXPECT_EQ(interruptions, 1);
  const nlohmann::json hup = report_of("hup.json");
  ASSERT_TRUE(hup.is_object());
  EXPECT_FALSE(hup.at("ended").is_null());
  ASSERT_EQ(hup.at("devices").size(), 1u);
  EXPECT_EQ(hup.at("devices")[0].at("result"), "interrupted");

  // Nobody reads standard error: the progress goes nowhere, the update and
  // its report do not suffer.
  program_run unheard(TAVREN_UPDATE_PROGRAM,
                      {"batch", dir + "/small.bin", "--devices", dir + "/devices.txt", "--report",
                       dir + "/unheard.json", "--verbose"},
                      settings, program_setup{true, "", ""});
  ASSERT_TRUE(unheard.started());
  EXPECT_EQ(unheard.wait_exit(EXIT_LIMIT), 0) << "ended by signal " << unheard.end_signal();
  const nlohmann::json whole = report_of("unheard.json");
  ASSERT_TRUE(whole.is_object());
  EXPECT_EQ(whole.at("finished"), true);
  ASSERT_EQ(whole.at("devices").size(), 1u);
  EXPECT_EQ(whole.at("devices")[0].at("result"), "ok");
}

}  // namespace
