// The device's side of the firmware update: judges every frame written to
// the update characteristic, keeps the image it received and the verdict.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint8_t UPD_CMD_START = 0x7F;
inline constexpr uint8_t UPD_CMD_B1 = 0xB1;
inline constexpr uint8_t UPD_CMD_LENGTH = 0xB2;
inline constexpr uint8_t UPD_CMD_PACKET = 0xB4;
inline constexpr uint8_t UPD_CMD_CRC = 0xB7;
inline constexpr uint8_t UPD_CMD_FINISH = 0x8F;
inline constexpr size_t UPD_MAX_PARAMS = 240;
inline constexpr uint8_t UPD_START_TOKEN[8] = {0x3c, 0xa1, 0x97, 0x0e, 0x52, 0xd4, 0x6b, 0xf8};
inline constexpr uint8_t UPD_FINISH_TOKEN[8] = {0xe5, 0x12, 0x7d, 0x49, 0xb0, 0x2c, 0x86, 0x3f};
inline constexpr uint8_t UPD_STATUS_ACCEPTED = 0;
inline constexpr uint8_t UPD_STATUS_REJECTED = 5;

// CRC-32/JAMCRC: reflected 0xEDB88320, initial 0xFFFFFFFF, no final
// inversion. Feed it in pieces: the running value is the result so far.
inline constexpr uint32_t JAMCRC_INITIAL = 0xFFFFFFFFu;
uint32_t jamcrc_update(uint32_t crc, const uint8_t* bytes, size_t count);

struct update_record {
  int32_t transfers = 0;  // start frames seen since the world was configured
  int32_t frames = 0;
  int32_t packets = 0;
  bool length_known = false;
  uint32_t announced_length = 0;
  uint16_t b1_value = 0;
  std::vector<uint8_t> image;
  bool crc_received = false;
  uint32_t received_crc = 0;
  uint32_t computed_crc = JAMCRC_INITIAL;
  bool finished = false;
  bool accepted = false;
  int32_t first_failed_frame = 0;  // counted frame number; 0 none
  int32_t frames_after_failure = 0;
  int32_t frames_after_finish = 0;
  int32_t frames_after_refusal_seen = 0;  // written once a refusal had reached the program
  int32_t refusals_after_finish = 0;      // status 5 sent after an accepted finish
  int32_t status_notifications = 0;       // handler calls with a status of this transfer
  std::string verdict = "no transfer";
  std::vector<std::vector<uint8_t>> control_frames;  // every frame but the packets
};

class update_receiver {
 public:
  // Judges one frame (counted `number`) and returns the status byte the
  // device answers with. A start frame always begins a new record. With
  // `forced_reason`, the frame is refused for that reason whatever it holds
  // (a fault, or a device that is still busy).
  uint8_t receive(const uint8_t* frame, size_t size, int32_t number,
                  const char* forced_reason = nullptr);
  // The device took the frame but its reply never goes out.
  void reply_lost(int32_t number);
  // The link went down: at frame `number` (a drop when that frame arrived),
  // or between frames (number 0).
  void link_lost(int32_t number, uint8_t code);
  void reset_stage_for_new_link();

  using time_point = std::chrono::steady_clock::time_point;
  // The program began, at `at`, the look at what it received that decides
  // whether its next frame goes out.
  void program_looked(time_point at);
  // The program called a write of an update frame at `at`. The frame was
  // decided at the program's latest look since its previous write, if it
  // told of one; else at the call.
  void frame_written(time_point at);
  // A status notification the device sent during `transfer` went to the
  // program in `calls` handler calls, the last of which returned at
  // `returned`. Statuses of an older transfer are not this one's.
  void status_delivered(int32_t transfer, bool refusal, int32_t calls, time_point returned);
  void refusal_sent_after_finish() { ++record_.refusals_after_finish; }

  const update_record& record() const { return record_; }

 private:
  enum class stage { idle, started, b1_received, receiving, crc_matched, finished, failed };

  void begin_transfer();
  uint8_t judge(const uint8_t* frame, size_t size, int32_t number);
  uint8_t refuse(int32_t number, uint8_t code, const std::string& reason);
  const char* expected() const;

  stage stage_ = stage::idle;
  bool failure_seen_ = false;
  bool refusal_delivered_ = false;
  time_point refusal_returned_{};  // when its handler call returned
  std::optional<time_point> look_;
  // When the frames of this transfer were decided, until a refusal reached
  // the program: one decided while its handler ran is not one decided
  // after.
  std::vector<time_point> decided_before_refusal_;
  update_record record_;
};

}  // namespace sim
