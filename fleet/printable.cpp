#include "fleet/printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void escape(std::string& out, unsigned char byte) {
  char text[8];
  snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(byte));
  out += text;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
      if (lead < 0x20 || lead == 0x7F) {
        escape(out, lead);
      } else {
        out.push_back(static_cast<char>(lead));
      }
      ++at;
      continue;
    }
    uint32_t code_point = 0;
    const size_t length = utf8_sequence(text, at, code_point);
    if (length == 0) {
      escape(out, lead);
      ++at;
      continue;
    }
    if (code_point >= 0x80 && code_point <= 0x9F) {
      escape(out, static_cast<unsigned char>(code_point));
    } else {
      out.append(text, at, length);
    }
    at += length;
  }
  return out;
}

size_t utf8_sequence(const std::string& text, size_t at, uint32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code_point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(at + i) & 0x3F);
  }
  const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  return code_point < minimum || surrogate || code_point > 0x10FFFF ? 0 : length;
}
