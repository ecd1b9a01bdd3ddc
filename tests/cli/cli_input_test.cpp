// Every name a user gives is untrusted: an input is never a file the batch
// writes or removes, an empty name is a mistake, and what the command says
// back (usage errors, the loader's reason, an interrupted query) is true
// and well formed.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/cli/cli_fixture.h"

namespace {

using namespace cli_test;
namespace fs = std::filesystem;

constexpr const char* STALE_TEMPORARY = ".r.json.tavren-0123456789ab.tmp";

TEST_F(command_line, AnInputIsNeverALockATemporaryFileOrAnEmptyName) {
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one"));
  const std::string list = write_file("devices.txt", std::string(FIRST) + "\n");
  const std::string image_bytes = read_file("image.bin");
  const std::string report = dir_ + "/r.json";
  fs::create_directory(dir_ + "/sub");
  write_file("r.json.lock", image_bytes);
  ASSERT_EQ(link(image_path_.c_str(), (dir_ + "/hard.lock").c_str()), 0);
  write_file(STALE_TEMPORARY, image_bytes);
  ASSERT_EQ(symlink(STALE_TEMPORARY, (dir_ + "/alias.bin").c_str()), 0);
  const std::string stale_list =
      write_file(".r.json.tavren-00000000abcd.tmp", std::string(FIRST) + "\n");

  const std::vector<std::vector<std::string>> refused = {
      // The image is the lock, however spelled.
      {"batch", dir_ + "/r.json.lock", "--devices", list, "--report", report},
      {"batch", dir_ + "/sub/../r.json.lock", "--devices", list, "--report", dir_ + "/./r.json"},
      // The lock would be a hard link to the image.
      {"batch", image_path_, "--devices", list, "--report", dir_ + "/hard"},
      // Through a link, the image is a temporary file the batch removes.
      {"batch", dir_ + "/alias.bin", "--devices", list, "--report", report},
      {"batch", image_path_, "--devices", stale_list, "--report", report},
      {"batch", image_path_, "--devices", list, "--resume", dir_ + "/r.json.lock", "--report",
       report},
      // Empty names: an unset shell variable, never "nothing to do".
      {"batch", image_path_, "--devices", ""},
      {"batch", image_path_, "--devices", list, "--report", ""},
      {"batch", image_path_, "--devices", list, "--resume", ""},
      {"batch", image_path_, "--devices", list, "--skip-if-revision", ""},
      {"--ble-library", "", "scan"},
      {"update", FIRST, ""},
  };
  for (const auto& words : refused) {
    std::string shown;
    for (const std::string& word : words) shown += " \"" + word + "\"";
    SCOPED_TRACE(shown);
    std::vector<std::string> with_json = words;
    with_json.push_back("--json");
    const run_result run_once = run(with_json);
    EXPECT_EQ(run_once.status, 2) << run_once.err;
    EXPECT_TRUE(run_once.document().contains("error")) << run_once.out;
  }
  EXPECT_EQ(read_file("r.json.lock"), image_bytes);
  EXPECT_EQ(read_file("image.bin"), image_bytes);
  EXPECT_EQ(read_file(STALE_TEMPORARY), image_bytes);
  EXPECT_EQ(read_file(".r.json.tavren-00000000abcd.tmp"), std::string(FIRST) + "\n");
  EXPECT_FALSE(fs::exists(report));
  EXPECT_EQ(warble_sim_counter("connect_attempts"), 0);

  // A lock that cannot be made is no other batch's: the system says why.
  fs::remove(dir_ + "/r.json.lock");
  fs::create_directory(dir_ + "/r.json.lock");
  const run_result unusable =
      run({"batch", image_path_, "--devices", list, "--report", report, "--json"});
  EXPECT_EQ(unusable.status, 2);
  EXPECT_EQ(unusable.document()["error"]["code"], "report_path_unusable") << unusable.out;
  EXPECT_NE(unusable.err.find("Is a directory"), std::string::npos) << unusable.err;
}

TEST_F(command_line, WhatTheCommandSaysBackIsTrueAndWellFormed) {
  // A usage error with bytes that are not UTF-8, on a JSON stream: one
  // event, with its mac, and the bytes replaced.
  const run_result garbled = run({"update", "\xff\xfe", image_path_, "--progress", "json"});
  EXPECT_EQ(garbled.status, 2);
  const json event = json::parse(garbled.err, nullptr, false);
  ASSERT_TRUE(event.is_object()) << garbled.err;
  EXPECT_EQ(event.at("event"), "error");
  EXPECT_TRUE(event.contains("mac") && event.at("mac").is_null()) << event;

  // --progress takes its three words only, and its help shows them.
  EXPECT_EQ(run({"--progress", "1", "scan"}).status, 2);
  const run_result help = run({"--help"});
  EXPECT_EQ(help.out.find("->"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("text|json|none"), std::string::npos) << help.out;
  // A command that does not exist is named.
  const run_result unknown = run({"frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos) << unknown.err;

  // A library file that is there but is no library: the loader's reason,
  // for this file, in this platform's words.
  const run_result no_library = run({"--ble-library", image_path_, "scan"});
  EXPECT_EQ(no_library.status, 4);
  EXPECT_NE(no_library.err.find(image_path_), std::string::npos) << no_library.err;
  EXPECT_EQ(no_library.err.find("DLL"), std::string::npos) << no_library.err;
  EXPECT_EQ(no_library.err.find("warble.dll"), std::string::npos) << no_library.err;

  // A device passed over is said once; the progress lines of a transfer
  // carry its pace once it is known.
  world("advertise_interval_ms = 20\nconnection_interval_ms = 7.5\n" + device(FIRST, "RD one") +
        device(SECOND, "RD two", "firmware_revision = 1.06\n"));
  const run_result batch =
      run({"batch", image_path_, "--devices",
           write_file("devices.txt", std::string(FIRST) + "\n" + SECOND + "\n"),
           "--skip-if-revision", "1.06"});
  EXPECT_EQ(batch.status, 0) << batch.err;
  size_t skipped_lines = 0, progress_lines = 0;
  std::istringstream lines(batch.err);
  for (std::string line; std::getline(lines, line);) {
    skipped_lines += line.rfind(SECOND, 0) == 0 && line.find("skipped") != std::string::npos;
    unsigned percent = 0;
    if (sscanf(line.c_str(), "C4:7C:8D:6A:3E:01 %u %%", &percent) != 1 || percent == 100) continue;
    ++progress_lines;
    EXPECT_NE(line.find(" kB/s, "), std::string::npos) << line;
  }
  EXPECT_EQ(skipped_lines, 1u) << batch.err;
  EXPECT_GE(progress_lines, 9u) << batch.err;

  // info, interrupted once connected, still prints what it is about.
  world("advertise_interval_ms = 20\n" + device(FIRST, "RD one"));
  hooked_text err;
  err.when(": connecting", [] { std::raise(SIGINT); });
  const run_result info = run({"info", FIRST, "--json"}, &err);
  EXPECT_EQ(info.status, 130);
  EXPECT_EQ(info.document().value("mac", ""), FIRST) << info.out;
}

}  // namespace
