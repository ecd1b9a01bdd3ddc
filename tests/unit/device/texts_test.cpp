// The device address store and the image length, checked without any BLE
// library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/device_state.h"
#include "platform/os.h"

TEST(DeviceAddress, StoredWholeOrRefused) {
  ASSERT_EQ(set_device_address("AA:BB:CC:DD:EE:FF-and-a-long-tail"), 0);
  ASSERT_EQ(set_device_address("C4:7C:8D:6A:3E:01"), 0);
  EXPECT_EQ(device_address_copy(), "C4:7C:8D:6A:3E:01");

  const std::string longest(DEVICE_ADDRESS_SIZE - 1, 'x');
  EXPECT_EQ(set_device_address(longest.c_str()), 0);
  EXPECT_EQ(device_address_copy(), longest);

  // One character more would be cut: refused, the stored address kept.
  const std::string too_long(DEVICE_ADDRESS_SIZE, 'y');
  EXPECT_EQ(set_device_address(too_long.c_str()), 1);
  EXPECT_EQ(device_address_copy(), longest);
  EXPECT_EQ(set_device_address(nullptr), 1);
}

TEST(DeviceInfoText, BoundedToItsBuffer) {
  set_device_info_text(std::string(DEVICE_INFO_TEXT_SIZE + 100, 'z'));
  EXPECT_EQ(device_info_text_copy().size(), DEVICE_INFO_TEXT_SIZE - 1);
  set_device_info_text("MAC: x\n");
  EXPECT_EQ(device_info_text_copy(), "MAC: x\n");
}

// The window may be closed while the worker fills the text in: the process
// then exits under the worker's feet. A handler registered before any other
// file's statics were built runs after their destructors, as late as a
// worker that is still writing: the text must still be there then.
std::atomic<bool> write_at_exit{false};
const bool late_writer_registered = [] {
  std::atexit([] {
    if (!write_at_exit) return;
    set_device_info_text(std::string(3000, 'a'));
    set_device_info_text("MAC: x\n");
  });
  return true;
}();

TEST(DeviceInfoTextDeathTest, OutlivesTheExitOfTheProcess) {
  ASSERT_TRUE(late_writer_registered);
  EXPECT_EXIT(
      {
        set_device_info_text(std::string(3000, 'b'));
        write_at_exit = true;
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ImageLength, SixtyFourBitPositions) {
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  fwrite("abc", 1, 3, file);
  EXPECT_EQ(os_file_length(file), 3);
  EXPECT_EQ(fgetc(file), 'a') << "left at its first byte";

  // Sparse: no disk space taken, yet past every 32-bit position.
  const int64_t beyond_32_bits = (int64_t{1} << 32) + 5;
  ASSERT_EQ(ftruncate(fileno(file), beyond_32_bits), 0);
  EXPECT_EQ(os_file_length(file), beyond_32_bits);
  fclose(file);
}

TEST(ImageLength, UnknownForAPipe) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  FILE* reader = fdopen(ends[0], "rb");
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(os_file_length(reader), -1);
  fclose(reader);
  close(ends[1]);
}
