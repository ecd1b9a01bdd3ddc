#include "sim/update_receiver.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

uint32_t big_endian_32(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

struct crc_table {
  uint32_t entries[256];
  crc_table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
      entries[i] = value;
    }
  }
};

}  // namespace

uint32_t jamcrc_update(uint32_t crc, const uint8_t* bytes, size_t count) {
  static const crc_table table;
  for (size_t i = 0; i < count; ++i) crc = table.entries[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void update_receiver::begin_transfer() {
  int32_t transfers = record_.transfers + 1;
  record_ = update_record();
  record_.transfers = transfers;
  record_.verdict = "in progress";
  stage_ = stage::idle;
  failure_seen_ = false;
  refusal_delivered_ = false;
  decided_before_refusal_.clear();
}

uint8_t update_receiver::receive(const uint8_t* frame, size_t size, int32_t number,
                                 const char* forced_reason) {
  uint8_t code = size > 0 ? frame[0] : 0;
  if (code == UPD_CMD_START) begin_transfer();
  ++record_.frames;
  if (code != UPD_CMD_PACKET) record_.control_frames.emplace_back(frame, frame + size);
  if (failure_seen_) ++record_.frames_after_failure;
  if (stage_ == stage::finished) {
    ++record_.frames_after_finish;
    return UPD_STATUS_REJECTED;
  }
  // After a refusal the transfer is dead until the next start frame.
  if (stage_ == stage::failed) return UPD_STATUS_REJECTED;
  if (forced_reason) return refuse(number, code, forced_reason);
  return judge(frame, size, number);
}

uint8_t update_receiver::judge(const uint8_t* frame, size_t size, int32_t number) {
  uint8_t code = size > 0 ? frame[0] : 0;
  if (size < 3) return refuse(number, code, std::to_string(size) + " bytes, shorter than a header");
  size_t declared = (size_t(frame[1]) << 8) | frame[2];
  size_t count = size - 3;
  const uint8_t* params = frame + 3;
  if (declared != count) {
    return refuse(number, code,
                  "length field " + std::to_string(declared) + " but " + std::to_string(count) +
                      " parameter bytes");
  }
  if (count > UPD_MAX_PARAMS) return refuse(number, code, "more than 240 parameter bytes");

  auto out_of_order = [&] {
    return refuse(number, code, std::string("out of order: expected ") + expected());
  };
  switch (code) {
    case UPD_CMD_START:
      if (count != 8 || std::memcmp(params, UPD_START_TOKEN, 8) != 0)
        return refuse(number, code, "wrong start token");
      stage_ = stage::started;
      return UPD_STATUS_ACCEPTED;
    case UPD_CMD_B1:
      if (stage_ != stage::started) return out_of_order();
      if (count != 2) return refuse(number, code, "the B1 value takes 2 bytes");
      record_.b1_value = static_cast<uint16_t>((params[0] << 8) | params[1]);
      stage_ = stage::b1_received;
      return UPD_STATUS_ACCEPTED;
    case UPD_CMD_LENGTH:
      if (stage_ != stage::b1_received) return out_of_order();
      if (count != 4) return refuse(number, code, "the length takes 4 bytes");
      record_.announced_length = big_endian_32(params);
      record_.length_known = true;
      record_.image.reserve(record_.announced_length);
      stage_ = stage::receiving;
      return UPD_STATUS_ACCEPTED;
    case UPD_CMD_PACKET:
      if (stage_ != stage::receiving) return out_of_order();
      if (count == 0) return refuse(number, code, "empty packet");
      if (record_.image.size() + count > record_.announced_length) {
        return refuse(number, code,
                      "packet past the announced length (" + std::to_string(record_.image.size()) +
                          " + " + std::to_string(count) + " > " +
                          std::to_string(record_.announced_length) + ")");
      }
      record_.image.insert(record_.image.end(), params, params + count);
      record_.computed_crc = jamcrc_update(record_.computed_crc, params, count);
      ++record_.packets;
      return UPD_STATUS_ACCEPTED;
    case UPD_CMD_CRC:
      if (stage_ != stage::receiving) return out_of_order();
      if (count != 4) return refuse(number, code, "the CRC takes 4 bytes");
      record_.crc_received = true;
      record_.received_crc = big_endian_32(params);
      if (record_.image.size() != record_.announced_length) {
        return refuse(number, code,
                      "CRC before the whole image (" + std::to_string(record_.image.size()) +
                          " of " + std::to_string(record_.announced_length) + " bytes)");
      }
      if (record_.received_crc != record_.computed_crc) {
        return refuse(number, code,
                      "CRC mismatch (frame " + hex32(record_.received_crc) + ", image " +
                          hex32(record_.computed_crc) + ")");
      }
      stage_ = stage::crc_matched;
      return UPD_STATUS_ACCEPTED;
    case UPD_CMD_FINISH:
      if (stage_ != stage::crc_matched) return out_of_order();
      if (count != 8 || std::memcmp(params, UPD_FINISH_TOKEN, 8) != 0)
        return refuse(number, code, "wrong finish token");
      stage_ = stage::finished;
      record_.finished = true;
      record_.accepted = true;
      record_.verdict = "accepted";
      return UPD_STATUS_ACCEPTED;
    default:
      return refuse(number, code, "unknown update command");
  }
}

uint8_t update_receiver::refuse(int32_t number, uint8_t code, const std::string& reason) {
  char head[48];
  std::snprintf(head, sizeof head, "frame %d (0x%02X) refused: ", static_cast<int>(number),
                static_cast<unsigned>(code));
  record_.verdict = head + reason;
  if (record_.first_failed_frame == 0) record_.first_failed_frame = number;
  stage_ = stage::failed;
  failure_seen_ = true;
  return UPD_STATUS_REJECTED;
}

void update_receiver::reply_lost(int32_t number) {
  if (record_.first_failed_frame == 0) record_.first_failed_frame = number;
  failure_seen_ = true;
}

void update_receiver::link_lost(int32_t number, uint8_t code) {
  if (stage_ == stage::finished || stage_ == stage::failed) return;
  if (number > 0) {
    char text[64];
    std::snprintf(text, sizeof text, "link dropped at frame %d (0x%02X)", static_cast<int>(number),
                  static_cast<unsigned>(code));
    record_.verdict = text;
    if (record_.first_failed_frame == 0) record_.first_failed_frame = number;
    failure_seen_ = true;
  } else if (record_.verdict == "in progress") {
    record_.verdict = "link down before the finish";
  } else {
    return;
  }
  stage_ = stage::failed;
}

void update_receiver::reset_stage_for_new_link() {
  if (stage_ != stage::finished && stage_ != stage::failed) stage_ = stage::idle;
}

void update_receiver::program_looked(time_point at) {
  look_ = at;
}

void update_receiver::frame_written(time_point at) {
  const time_point decided = look_.value_or(at);
  look_.reset();
  if (refusal_delivered_) {
    if (decided > refusal_returned_) ++record_.frames_after_refusal_seen;
  } else {
    decided_before_refusal_.push_back(decided);
  }
}

void update_receiver::status_delivered(int32_t transfer, bool refusal, int32_t calls,
                                       time_point returned) {
  if (transfer == 0 || transfer != record_.transfers) return;
  record_.status_notifications += calls;
  if (!refusal || refusal_delivered_) return;
  refusal_delivered_ = true;
  refusal_returned_ = returned;
  for (time_point decided : decided_before_refusal_) {
    if (decided > returned) ++record_.frames_after_refusal_seen;
  }
  decided_before_refusal_.clear();
}

const char* update_receiver::expected() const {
  switch (stage_) {
    case stage::idle:
      return "the start handshake";
    case stage::started:
      return "the 0xB1 frame";
    case stage::b1_received:
      return "the length";
    case stage::receiving:
      return "a packet or the CRC";
    case stage::crc_matched:
      return "the finish handshake";
    default:
      return "a new start handshake";
  }
}

}  // namespace sim
