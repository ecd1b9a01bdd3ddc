#include "cli/image_file.h"

#include <cstdio>
#include <vector>

#include "device/firmware_update.h"
#include "platform/os.h"

namespace {
// The length frame carries 32 bits.
constexpr int64_t IMAGE_LENGTH_LIMIT = int64_t{1} << 32;
constexpr size_t READ_CHUNK = 64 * 1024;
// Where crc32_fold starts, as the transfer does.
constexpr uint32_t CRC32_START = 0xFFFFFFFFu;
}  // namespace

bool inspect_image(const std::string& path, image_facts& facts, std::string& reason) {
  if (path_length_in_characters(path) >= UPDATE_PATH_SIZE) {
    reason = UPD_BOX_PATH_TOO_LONG;
    return false;
  }
  open_file_result opened = open_file_result::not_found;
  FILE* image = os_open_regular_file(path.c_str(), opened);
  if (!image) {
    reason = opened == open_file_result::not_a_file ? UPD_BOX_NOT_A_FILE : UPD_BOX_FILE_NOT_FOUND;
    return false;
  }
  const int64_t length = os_file_length(image);
  if (length < 0 || length >= IMAGE_LENGTH_LIMIT) {
    fclose(image);
    reason = length < 0 ? UPD_BOX_LENGTH_UNKNOWN : UPD_BOX_IMAGE_TOO_LARGE;
    return false;
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
  if (read != facts.bytes) {
    reason = UPD_STEP_SHORT_READ;
    return false;
  }
  return true;
}
