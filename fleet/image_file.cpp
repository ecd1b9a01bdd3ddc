#include "fleet/image_file.h"

#include <cstdio>
#include <vector>

#include "platform/os.h"

namespace {
// The length frame carries 32 bits.
constexpr int64_t IMAGE_LENGTH_LIMIT = int64_t{1} << 32;
constexpr size_t READ_CHUNK = 64 * 1024;
// Where crc32_fold starts, as the transfer does.
constexpr uint32_t CRC32_START = 0xFFFFFFFFu;

bool refuse(std::string& code, std::string& reason, const char* code_text,
            const std::string& reason_text) {
  code = code_text;
  reason = reason_text;
  return false;
}

}  // namespace

std::string crc32_text(uint32_t crc) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(crc));
  return text;
}

bool inspect_image(const std::string& path, image_facts& facts, std::string& code,
                   std::string& reason) {
  if (path_length_in_characters(path) >= UPDATE_PATH_SIZE)
    return refuse(code, reason, "image_path_too_long", UPD_BOX_PATH_TOO_LONG);
  open_file_result opened = open_file_result::not_found;
  FILE* image = os_open_regular_file(path.c_str(), opened);
  if (!image) {
    switch (opened) {
      case open_file_result::not_a_file:
        return refuse(code, reason, "image_not_a_file", UPD_BOX_NOT_A_FILE);
      case open_file_result::unreadable:
        return refuse(code, reason, "image_unreadable",
                      "Cannot read the firmware image: " + os_error_text(os_last_error()));
      default:
        return refuse(code, reason, "image_not_found", UPD_BOX_FILE_NOT_FOUND);
    }
  }
  const int64_t length = os_file_length(image);
  if (length < 0 || length >= IMAGE_LENGTH_LIMIT) {
    fclose(image);
    return length < 0 ? refuse(code, reason, "image_length_unknown", UPD_BOX_LENGTH_UNKNOWN)
                      : refuse(code, reason, "image_too_large", UPD_BOX_IMAGE_TOO_LARGE);
  }
  // Sent, it would tell the device to install nothing: surely the wrong file.
  if (length == 0) {
    fclose(image);
    return refuse(code, reason, "image_empty", "The firmware image is empty");
  }
  facts.bytes = static_cast<uint64_t>(length);
  facts.crc32 = CRC32_START;
  std::vector<uint8_t> chunk(READ_CHUNK);
  uint64_t read = 0;
  for (size_t count; (count = fread(chunk.data(), 1, chunk.size(), image)) > 0;) {
    facts.crc32 = crc32_fold(facts.crc32, chunk.data(), count);
    read += count;
  }
  fclose(image);
  if (read != facts.bytes) return refuse(code, reason, "image_read_error", UPD_STEP_SHORT_READ);
  return true;
}
