// The bytes the device protocol puts on the air, and the arithmetic behind
// them, checked without any BLE library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/command_channel.h"
#include "device/firmware_update.h"

namespace {

std::vector<uint8_t> bytes(const char* text) {
  return std::vector<uint8_t>(text, text + strlen(text));
}

uint32_t crc_of(const std::vector<uint8_t>& data) {
  return crc32_fold(0xFFFFFFFFu, data.data(), data.size());
}

}  // namespace

TEST(Crc32, CheckValuesAndStreaming) {
  EXPECT_EQ(crc_of(bytes("123456789")), 0x340BC6D9u);
  EXPECT_EQ(crc_of({}), 0xFFFFFFFFu);

  // Folded packet by packet while the file is read: must equal one pass.
  std::vector<uint8_t> image(1000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 37 + 11);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t at = 0; at < image.size(); at += 240)
    crc = crc32_fold(crc, image.data() + at, std::min<size_t>(240, image.size() - at));
  EXPECT_EQ(crc, crc_of(image));
  // No final inversion: the common CRC-32 of "123456789" is the complement.
  EXPECT_EQ(~crc_of(bytes("123456789")), 0xCBF43926u);
}

TEST(UpdateFrame, HeaderIsCodeAndBigEndianCount) {
  uint8_t frame[UPD_FRAME_MAX];
  const uint8_t zero_b1[2] = {0, 0};
  ASSERT_EQ(build_update_frame(UPD_CMD_B1, zero_b1, 2, frame), 5u);
  EXPECT_EQ(std::vector<uint8_t>(frame, frame + 5), (std::vector<uint8_t>{0xB1, 0, 2, 0, 0}));

  std::vector<uint8_t> full(UPD_MAX_PARAMS, 0xA5);
  ASSERT_EQ(build_update_frame(UPD_CMD_PACKET, full.data(), UPD_MAX_PARAMS, frame), 243u);
  EXPECT_EQ(frame[0], 0xB4);
  EXPECT_EQ(frame[1], 0x00);
  EXPECT_EQ(frame[2], 0xF0);
  EXPECT_EQ(frame[242], 0xA5);

  std::vector<uint8_t> too_many(UPD_MAX_PARAMS + 1, 0);
  EXPECT_EQ(build_update_frame(UPD_CMD_PACKET, too_many.data(), UPD_MAX_PARAMS + 1, frame), 0u);
}

TEST(UpdateFrame, TraceListsEveryFrameByte) {
  const uint8_t frame[] = {0xB1, 0x00, 0x02, 0x00, 0x00};
  EXPECT_EQ(update_frame_trace(frame, sizeof frame),
            "[RCS] Sending update command 0xB1 Pars 2 - B1 00 02 00 00 \n");
  uint8_t start[UPD_FRAME_MAX];
  const size_t size = build_update_frame(UPD_CMD_START, UPD_START_TOKEN, 8, start);
  EXPECT_EQ(update_frame_trace(start, size),
            "[RCS] Sending update command 0x7F Pars 8 - 7F 00 08 3C A1 97 0E 52 D4 6B F8 \n");
}

TEST(CommandFrame, CodeFirstThenParameters) {
  uint8_t frame[CMD_FRAME_MAX];
  ASSERT_EQ(build_command_frame(CMD_GET_FW_DATE, nullptr, 0, frame), 2u);
  EXPECT_EQ(frame[0], 0x00);
  EXPECT_EQ(frame[1], 0x01);

  uint8_t params[CMD_MAX_PARAMS + 1];
  for (int i = 0; i <= CMD_MAX_PARAMS; ++i) params[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(build_command_frame(0x1234, params, CMD_MAX_PARAMS, frame), 23u);
  EXPECT_EQ(frame[0], 0x12);
  EXPECT_EQ(frame[1], 0x34);
  EXPECT_EQ(frame[22], 20);
  EXPECT_EQ(build_command_frame(0x1234, params, CMD_MAX_PARAMS + 1, frame), 0u);
}

TEST(CommandFrame, TraceShowsParametersOnly) {
  EXPECT_EQ(command_trace(CMD_GET_FW_DATE, nullptr, 0), "[RCS] Sending command 0x0001 Pars 0 - \n");
  const uint8_t params[] = {0xAB, 0x0C};
  EXPECT_EQ(command_trace(0xBEEF, params, 2), "[RCS] Sending command 0xBEEF Pars 2 - AB 0C \n");
}

TEST(UpdateProgress, PacketsOf241Bytes) {
  EXPECT_EQ(update_progress(0, 241), 0u);
  EXPECT_EQ(update_progress(240, 241), 896u);
  EXPECT_EQ(update_progress(0, 0), 0u);
}

TEST(UpdateProgress, LargeImagesRiseSteadilyWithoutOverflow) {
  const uint32_t length = 10000000;
  uint32_t previous = 0;
  uint32_t highest = 0;
  for (uint32_t sent = 0; sent < length; sent += UPD_MAX_PARAMS) {
    const uint32_t progress = update_progress(sent, length);
    ASSERT_GE(progress, previous) << "at " << sent;
    ASSERT_LE(progress - previous, 1u) << "at " << sent;
    previous = progress;
    highest = progress;
  }
  EXPECT_EQ(update_progress(0, length), 0u);
  EXPECT_EQ(highest, 899u);
  // The largest image the length field can announce.
  EXPECT_EQ(update_progress(0xFFFFFFFEu, 0xFFFFFFFFu), 899u);
}
