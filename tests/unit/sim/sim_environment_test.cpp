// The library as the Windows program under Wine meets it: the scenario comes
// from the file named by WARBLE_SIM_SCENARIO, the record goes to the file
// named by WARBLE_SIM_RECORD (both set by main, below).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim_client.h"
#include "tests/support/eventually.h"

namespace simtest {
namespace {

constexpr const char* FILE_DEVICE = "0A:0B:0C:0D:0E:0F";

std::string record_path() {
  const char* path = std::getenv("WARBLE_SIM_RECORD");
  return path ? path : "";
}

std::string record_file() {
  std::ifstream file(record_path());
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(SimEnvironment, LoadsTheScenarioAtTheFirstCall) {
  connection link(FILE_DEVICE);
  ASSERT_FALSE(link.connect().error) << warble_sim_error();
  EXPECT_EQ(text_of(read(link.find(FIRMWARE_REVISION_UUID)).value), "9.99");
}

TEST(SimEnvironment, WritesTheRecordWhenTheVerdictChanges) {
  ASSERT_FALSE(record_path().empty());
  std::remove(record_path().c_str());
  session file_device(FILE_DEVICE);
  ASSERT_TRUE(file_device.connect({STATUS_UUID}));
  file_device.device.send_all(transfer_frames(bytes(100, 3)));
  EXPECT_TRUE(
      eventually([] { return record_file().find("verdict = accepted\n") != std::string::npos; }));
  EXPECT_NE(record_file().find("image_size = 100\n"), std::string::npos);
}

TEST(SimEnvironmentDeathTest, WritesTheRecordAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::remove(record_path().c_str());
  EXPECT_EXIT(
      {
        WarbleGatt* gatt = warble_gatt_create(FILE_DEVICE);
        (void)gatt;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(record_file().find("counter.creates = 1\n"), std::string::npos) << record_file();
}

}  // namespace
}  // namespace simtest

int main(int argc, char** argv) {
  // Before anything calls into the library, which reads them at its first call.
  setenv("WARBLE_SIM_SCENARIO", SCENARIO_FILE, 1);
  setenv("WARBLE_SIM_RECORD", RECORD_FILE, 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
