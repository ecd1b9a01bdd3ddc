// The firmware image, looked at before any device is touched: a command
// that cannot send its image says so at once, not after a search and a
// connection. What it finds (size and CRC-32) is then the image every
// device must receive.
#pragma once

#include <cstdint>
#include <string>

#include "device/firmware_update.h"

struct image_facts {
  uint64_t bytes = 0;
  uint32_t crc32 = 0;  // as the update sends it (CRC-32/JAMCRC)
  image_expectation expectation() const { return image_expectation{bytes, crc32}; }
};

// False when the image cannot be sent, with a stable code ("image_not_found",
// "image_unreadable", "image_not_a_file", "image_too_large", "image_empty",
// "image_path_too_long", "image_length_unknown", "image_read_error") and the
// reason in words (the window's own texts, with the system's reason for a
// file that is there but cannot be read).
bool inspect_image(const std::string& path, image_facts& facts, std::string& code,
                   std::string& reason);

// CRC-32 "0x340BC6D9" style, as the reports show it.
std::string crc32_text(uint32_t crc);
