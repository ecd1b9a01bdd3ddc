#include "fleet/mac_address.h"

#include <cctype>

namespace {
constexpr size_t MAC_TEXT_LENGTH = 17;  // XX:XX:XX:XX:XX:XX
}

bool is_mac_address(const std::string& text) {
  if (text.size() != MAC_TEXT_LENGTH) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (i % 3 == 2 ? c != ':' : !std::isxdigit(c)) return false;
  }
  return true;
}

std::string mac_key(const std::string& mac) {
  std::string key = mac;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

bool same_mac(const std::string& a, const std::string& b) {
  return mac_key(a) == mac_key(b);
}
