// The log of a run: where it goes, what it holds, what is kept, and that a
// log that cannot be written stops nothing.
#include "platform/run_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/trace.h"
#include "tests/support/trace_capture.h"

namespace fs = std::filesystem;

namespace {

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string read_all(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class RunLog : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/run-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    trace_set_log(nullptr);
    fs::remove_all(root_);
  }
  fs::path root_;
};

TEST_F(RunLog, KeepsTheLastRunsAndGetsEveryTraceLine) {
  // A folder whose name no single-byte code page holds.
  const std::string folder = root_.string() + "/Журнал ログ";
  fs::create_directories(utf8_path(folder));
  const auto an_hour_ago = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (int i = 0; i < 25; ++i) {
    char name[64];
    snprintf(name, sizeof name, "TavrenUpdate-20260101-0000%02d-1.log", i);
    std::ofstream(utf8_path(folder) / name) << "old run " << i << "\n";
    fs::last_write_time(utf8_path(folder) / name, an_hour_ago + std::chrono::seconds(i));
  }
  std::ofstream(utf8_path(folder) / "notes.txt") << "not a log\n";

  const std::string path = start_run_log(folder, "TavrenUpdate", 20);
  ASSERT_FALSE(path.empty());
  trace_line("Killing all previous BLE consoles");
  trace_printf("mac: %s\n", "Ωμέγα");

  EXPECT_EQ(read_all(utf8_path(path)), "Killing all previous BLE consoles\nmac: Ωμέγα\n");
  size_t logs = 0;
  for (const auto& entry : fs::directory_iterator(utf8_path(folder)))
    logs += entry.path().extension() == ".log";
  EXPECT_EQ(logs, 20u) << "19 runs before this one, and this one";
  EXPECT_FALSE(fs::exists(utf8_path(folder) / "TavrenUpdate-20260101-000005-1.log"));
  EXPECT_TRUE(fs::exists(utf8_path(folder) / "TavrenUpdate-20260101-000006-1.log"));
  EXPECT_TRUE(fs::exists(utf8_path(folder) / "notes.txt"));
}

// Names carry the local time a run began; after the clock was set back the
// newest runs have the smallest names. What was written last is kept.
TEST_F(RunLog, AfterTheClockWasSetBackTheNewestRunsAreKept) {
  const std::string folder = root_.string();
  const auto now = fs::file_time_type::clock::now();
  const char* const older_runs[] = {"TavrenUpdate-20990101-120000-7.log",
                                    "TavrenUpdate-20990101-130000-8.log"};
  const char* const newer_runs[] = {"TavrenUpdate-20260101-090000-9.log",
                                    "TavrenUpdate-20260101-091000-10.log"};
  for (int i = 0; i < 2; ++i) {
    std::ofstream(root_ / older_runs[i]) << "before the clock was set back\n";
    fs::last_write_time(root_ / older_runs[i], now - std::chrono::hours(3 - i));
    std::ofstream(root_ / newer_runs[i]) << "after\n";
    fs::last_write_time(root_ / newer_runs[i], now - std::chrono::minutes(20 - i));
  }
  ASSERT_FALSE(start_run_log(folder, "TavrenUpdate", 3).empty());
  EXPECT_FALSE(fs::exists(root_ / older_runs[0]));
  EXPECT_FALSE(fs::exists(root_ / older_runs[1]));
  EXPECT_TRUE(fs::exists(root_ / newer_runs[0]));
  EXPECT_TRUE(fs::exists(root_ / newer_runs[1]));
}

TEST_F(RunLog, ALogThatCannotBeWrittenStopsNothing) {
  const fs::path blocker = root_ / "a file, not a folder";
  std::ofstream(blocker) << "x";
  EXPECT_EQ(start_run_log((blocker / "logs").string(), "TavrenUpdate"), "");

  // Every write to this one fails: the trace drops it and goes on.
  trace_capture trace;
  trace_set_log(fopen("/dev/full", "wb"));
  trace_line("first line");
  trace_line("second line");
  EXPECT_EQ(trace.text(), "first line\nsecond line\n");
}

}  // namespace
