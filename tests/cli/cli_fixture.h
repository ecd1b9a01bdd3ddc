// The command line in-process against the stand-in library: a world of
// devices, a folder of files, and a run that captures what the command
// printed and how it ended.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/clock.h"
#include "sim/warble_sim.h"
#include "tests/support/hooked_run.h"

namespace cli_test {

using json = nlohmann::json;

// The protocol's pauses (10 ms a packet, 1 s before the finish, 2 x 1 s to
// release) and the 30 s search go ten times faster; the stand-in keeps real
// time, so a search still sees every advert it would. No faster: every
// wait of the program for the stand-in (10 s for an operation, 5 s for a
// reply, a search of 10 s) must stay long next to what a loaded machine
// makes the stand-in's threads late by, and at a hundred times they were a
// tenth of a second.
constexpr uint32_t TIME_COMPRESSION = 10;

constexpr const char* FIRST = "C4:7C:8D:6A:3E:01";
constexpr const char* SECOND = "C4:7C:8D:6A:3E:02";
constexpr const char* SPEAKER = "5A:10:22:33:44:55";
constexpr const char* ABSENT = "C4:7C:8D:6A:3E:09";

inline std::string device(const std::string& mac, const std::string& name,
                          const std::string& extra = "") {
  return "[device]\nmac = " + mac + "\nname = " + name + "\ncommand_busy_ms = 5\n" + extra;
}

class command_line : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { set_time_compression_for_tests(TIME_COMPRESSION); }

  void SetUp() override {
    char pattern[] = "/tmp/cli-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_.resize(5000);
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = static_cast<uint8_t>(i * 7 + i / 251);
    image_path_ = write_file("image.bin", std::string(image_.begin(), image_.end()));
  }

  void TearDown() override {
    const std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  void world(const std::string& scenario) {
    ASSERT_EQ(warble_sim_configure(scenario.c_str()), 0) << warble_sim_error();
  }

  // Runs the command; `hook` (when given) is its standard error, which
  // `terminal` makes a terminal that takes cursor movements.
  run_result run(const std::vector<std::string>& arguments, hooked_text* hook = nullptr,
                 bool terminal = false) {
    std::vector<std::string> words = {"tavren-update"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    hooked_text own;
    hooked_text& err_text = hook ? *hook : own;
    std::ostringstream out;
    std::ostream err(&err_text);
    run_result result;
    result.status = cli_main(static_cast<int>(words.size()), argv.data(),
                             cli_streams{out, err, terminal, terminal});
    result.out = out.str();
    result.err = err_text.str();
    return result;
  }

  std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string read_file(const std::string& name) {
    std::ifstream file(dir_ + "/" + name, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
  }

  static std::vector<uint8_t> sim_image() {
    std::vector<uint8_t> bytes(warble_sim_image(nullptr, 0));
    warble_sim_image(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
  }

  std::string dir_;
  std::vector<uint8_t> image_;
  std::string image_path_;
};

}  // namespace cli_test
