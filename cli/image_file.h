// The firmware image, looked at before any device is touched: a command
// that cannot send its image says so at once, not after a search and a
// connection.
#pragma once

#include <cstdint>
#include <string>

struct image_facts {
  uint64_t bytes = 0;
  uint32_t crc32 = 0;  // as the update sends it (CRC-32/JAMCRC)
};

// False with the reason (the window's own texts) when the image cannot be
// sent: no such file, not a regular file, too large, a path too long.
bool inspect_image(const std::string& path, image_facts& facts, std::string& reason);
