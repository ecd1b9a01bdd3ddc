// The log of a run: where it goes, what it holds, what is kept, and that a
// log that cannot be written stops nothing.
#include "platform/run_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  for (int i = 0; i < 25; ++i) {
    char name[64];
    snprintf(name, sizeof name, "TavrenUpdate-20260101-0000%02d-1.log", i);
    std::ofstream(utf8_path(folder) / name) << "old run " << i << "\n";
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
